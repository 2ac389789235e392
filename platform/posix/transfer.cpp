// Byte transfers and handle classification on POSIX: read/write for the plain
// calls, pread/pwrite on the calling thread for the native ones (asynchronous
// handles included), fstat for the file type and the terminal test for the
// console mode.
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <climits>

#include "base/err.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

int fd_of(OsHandle handle) {
  return (handle < 0 || handle > INT_MAX) ? -1 : static_cast<int>(handle);
}

int transfer_error(int err) { return posix_error_from_errno(err); }

}  // namespace

int os_file_type(OsHandle handle, uint32_t* out_type) {
  *out_type = OS_FILE_TYPE_UNKNOWN;
  const int fd = fd_of(handle);
  if (fd < 0) return ERR_INVALID_HANDLE;
  struct stat st;
  if (fstat(fd, &st) != 0) return posix_error_from_errno(errno);
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || S_ISDIR(st.st_mode)) {
    *out_type = OS_FILE_TYPE_DISK;
  } else if (S_ISCHR(st.st_mode)) {
    *out_type = OS_FILE_TYPE_CHAR;
  } else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    *out_type = OS_FILE_TYPE_PIPE;
  }
  return 0;
}

int os_console_mode(OsHandle handle, uint32_t* out_mode) {
  *out_mode = 0;
  const int fd = fd_of(handle);
  struct termios t;
  if (fd < 0 || tcgetattr(fd, &t) != 0) return ERR_INVALID_HANDLE;
  // The bits that matter to a caller: echo and line input.
  *out_mode = ((t.c_lflag & ICANON) ? 0x2u : 0u) | ((t.c_lflag & ECHO) ? 0x4u : 0u);
  return 0;
}

int os_plain_read(OsHandle handle, void* buffer, uint32_t size, uint32_t* out_count) {
  *out_count = 0;
  const int fd = fd_of(handle);
  if (fd < 0) return ERR_INVALID_HANDLE;
  ssize_t n = posix_retry([&] { return read(fd, buffer, size); });
  if (n < 0) return transfer_error(errno);
  *out_count = static_cast<uint32_t>(n);
  return 0;
}

int os_plain_write(OsHandle handle, const void* data, uint32_t size, uint32_t* out_count) {
  *out_count = 0;
  const int fd = fd_of(handle);
  if (fd < 0) return ERR_INVALID_HANDLE;
  ssize_t n = posix_retry([&] { return write(fd, data, size); });
  if (n < 0) return transfer_error(errno);
  *out_count = static_cast<uint32_t>(n);
  return 0;
}

int os_native_transfer(OsHandle handle, bool write_data, bool asynchronous, void* buffer,
                       uint32_t size, const uint64_t* offset, uint32_t* out_count) {
  (void)asynchronous;  // completed on the calling thread either way
  *out_count = 0;
  const int fd = fd_of(handle);
  if (fd < 0) return ERR_INVALID_HANDLE;
  if (offset && *offset > static_cast<uint64_t>(INT64_MAX)) return ERR_INVALID_PARAMETER;
  ssize_t n;
  if (offset) {
    const off_t at = static_cast<off_t>(*offset);
    n = write_data ? posix_retry([&] { return pwrite(fd, buffer, size, at); })
                   : posix_retry([&] { return pread(fd, buffer, size, at); });
    if (n < 0 && errno == ESPIPE) offset = nullptr;  // pipes and terminals have no offset
  }
  if (!offset) {
    n = write_data ? posix_retry([&] { return write(fd, buffer, size); })
                   : posix_retry([&] { return read(fd, buffer, size); });
  }
  if (n < 0) return transfer_error(errno);
  *out_count = static_cast<uint32_t>(n);
  // The native read reports the end of the file as a condition of its own.
  if (!write_data && n == 0 && size > 0) return ERR_HANDLE_EOF;
  return 0;
}
