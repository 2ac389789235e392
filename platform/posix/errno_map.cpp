// The one table from errno values to Windows error numbers.
#include "platform/posix/posix_internal.h"

#include "base/err.h"

namespace {

struct ErrnoEntry {
  int err;
  int code;
};

const ErrnoEntry ERRNO_TABLE[] = {
    {ENOENT, ERR_FILE_NOT_FOUND},
    {ENOTDIR, ERR_PATH_NOT_FOUND},
    {EEXIST, ERR_ALREADY_EXISTS},
    {EACCES, ERR_ACCESS_DENIED},
    {EPERM, ERR_ACCESS_DENIED},
    {EISDIR, ERR_ACCESS_DENIED},
    {EBADF, ERR_INVALID_HANDLE},
    {ENOMEM, ERR_OUTOFMEMORY},
    {EXDEV, ERR_NOT_SAME_DEVICE},
    {EROFS, ERR_WRITE_PROTECT},
    {EINVAL, ERR_INVALID_PARAMETER},
    {ENOSPC, ERR_DISK_FULL},
    {EDQUOT, ERR_DISK_FULL},
    {EPIPE, ERR_BROKEN_PIPE},
    {ETIMEDOUT, ERR_SEM_TIMEOUT},
    {ENOTEMPTY, ERR_DIR_NOT_EMPTY},
    {ENAMETOOLONG, ERR_FILENAME_EXCED_RANGE},
    {EFBIG, ERR_FILE_TOO_LARGE},
    {EIO, ERR_IO_DEVICE},
    {ELOOP, ERR_CANT_RESOLVE_FILENAME},
    {EMFILE, ERR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERR_TOO_MANY_OPEN_FILES},
    {EBUSY, ERR_BUSY},
    {ETXTBSY, ERR_SHARING_VIOLATION},
    {ENOTSUP, ERR_NOT_SUPPORTED},
};

}  // namespace

int posix_error_from_errno(int err) {
  for (const ErrnoEntry& e : ERRNO_TABLE) {
    if (e.err == err) return e.code;
  }
  return ERR_GEN_FAILURE;
}
