// Advisory whole-file locks on POSIX: flock.
#include <sys/file.h>

#include <cerrno>

#include "base/err.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

int os_file_lock(OsHandle handle, bool exclusive) {
  if (handle < 0) return ERR_INVALID_HANDLE;
  const int fd = static_cast<int>(handle);
  const int how = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
  if (posix_retry([&] { return flock(fd, how); }) == 0) return 0;
  if (errno == EWOULDBLOCK) return ERR_LOCK_VIOLATION;
  // A file system without locks (a network one mounted without them).
  if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return ERR_NOT_SUPPORTED;
  return posix_error_from_errno(errno);
}

void os_file_unlock(OsHandle handle) {
  if (handle >= 0) (void)flock(static_cast<int>(handle), LOCK_UN);
}
