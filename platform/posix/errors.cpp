// The one table from errno values to Windows error numbers, and the path
// check that tells a missing file from a missing folder on its way.
#include <sys/stat.h>

#include <climits>
#include <cstring>

#include "base/err.h"
#include "platform/posix/internal.h"

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

int posix_error_for_path(int err, const char* path) {
  if (err != ENOENT || path == nullptr) return posix_error_from_errno(err);
  char parent[PATH_MAX + 1];
  size_t n = strlen(path);
  if (n > PATH_MAX) return ERR_FILE_NOT_FOUND;
  memcpy(parent, path, n + 1);
  while (n > 1 && parent[n - 1] == '/') parent[--n] = 0;
  while (n > 0 && parent[n - 1] != '/') --n;
  if (n == 0) return ERR_FILE_NOT_FOUND;  // relative name in the current folder
  while (n > 1 && parent[n - 1] == '/') --n;
  parent[n] = 0;
  struct stat st;
  if (stat(parent, &st) != 0 || !S_ISDIR(st.st_mode)) return ERR_PATH_NOT_FOUND;
  return ERR_FILE_NOT_FOUND;
}
