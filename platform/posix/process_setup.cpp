// Process preparation for the file services on POSIX.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

void os_process_setup() {
  // A write to a pipe whose reader has gone must fail with EPIPE (109), not
  // end the process.
  signal(SIGPIPE, SIG_IGN);
  // Handles 0 to 2 are never closed and count as "no handle" in places; keep
  // them taken so that no file is ever opened as one of them.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      int opened = open("/dev/null", O_RDWR);
      if (opened >= 0 && opened != fd) close(opened);
    }
  }
}
