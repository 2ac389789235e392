// Terminal width and file system flushes on POSIX.
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

uint32_t os_console_width(OsHandle handle) {
  if (handle < 0 || !isatty(static_cast<int>(handle))) return 0;
  struct winsize size;
  if (ioctl(static_cast<int>(handle), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

int os_file_system_sync(OsHandle handle) {
  if (handle < 0) return 6;
  // syncfs writes back the whole file system: every chunk file this copy
  // stored, the dictionary folders and the map, in one call.
  if (syncfs(static_cast<int>(handle)) != 0) return posix_error_from_errno(errno);
  return 0;
}
