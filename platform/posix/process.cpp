// Process-wide services: exit handlers and the fatal exit.
#include "platform/platform.h"

#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "platform/posix/internal.h"

namespace {

// Whether a tracer is attached: /proc/self/status carries "TracerPid:\t<pid>".
bool debugger_attached() {
  int fd = posix_retry([] { return open("/proc/self/status", O_RDONLY | O_CLOEXEC); });
  if (fd < 0) return false;
  char buf[4096];
  size_t used = 0;
  for (;;) {
    ssize_t n = posix_retry([&] { return read(fd, buf + used, sizeof buf - 1 - used); });
    if (n <= 0) break;
    used += static_cast<size_t>(n);
    if (used == sizeof buf - 1) break;
  }
  close(fd);
  buf[used] = 0;
  const char* field = std::strstr(buf, "TracerPid:");
  if (!field) return false;
  field += std::strlen("TracerPid:");
  while (*field == ' ' || *field == '\t') ++field;
  return *field >= '1' && *field <= '9';
}

}  // namespace

bool os_exit_handler_add(void (*handler)()) { return std::atexit(handler) == 0; }

void os_fatal_exit(const char* text, size_t length) {
  while (length > 0) {
    ssize_t n = posix_retry([&] { return write(1, text, length); });
    if (n <= 0) break;
    text += n;
    length -= static_cast<size_t>(n);
  }
  if (debugger_attached()) raise(SIGTRAP);
  _exit(255);
}
