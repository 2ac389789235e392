// Console control state and the request handler. The platform delivers the
// requests on a thread of its own; the handler only sets SIGNAL_INTERRUPT.
#include "base/console_ctl.h"

#include <atomic>

#include "base/lock.h"
#include "base/signal.h"
#include "platform/platform.h"

namespace {

struct ConsoleControl {
  RecursiveLock lock;         // guards everything below
  uint8_t setup_done;
  uint8_t handler_installed;
};

ConsoleControl g_console;

bool published(uint8_t& byte) {
  return std::atomic_ref<uint8_t>(byte).load(std::memory_order_acquire) != 0;
}
void publish(uint8_t& byte) { std::atomic_ref<uint8_t>(byte).store(1, std::memory_order_seq_cst); }

void common_setup() {
  if (published(g_console.setup_done)) return;
  rlock_acquire(&g_console.lock);
  if (!published(g_console.setup_done)) {
    (void)signal_get(SIGNAL_NEVER);
    publish(g_console.setup_done);
  }
  rlock_release(&g_console.lock);
}

}  // namespace

int console_control_request(uint32_t request) {
  switch (request) {
    case OS_CONSOLE_INTERRUPT:
    case OS_CONSOLE_BREAK:
    case OS_CONSOLE_LOGOFF:
    case OS_CONSOLE_SHUTDOWN:
      signal_set(signal_get(SIGNAL_INTERRUPT));
      return OS_CONSOLE_HANDLED;
    case OS_CONSOLE_CLOSE:
      signal_set(signal_get(SIGNAL_INTERRUPT));
      return OS_CONSOLE_HOLD;
    default:
      return OS_CONSOLE_NOT_HANDLED;
  }
}

void console_control_start() {
  common_setup();
  if (published(g_console.handler_installed)) return;
  rlock_acquire(&g_console.lock);
  if (!published(g_console.handler_installed)) {
    (void)os_console_control_install(console_control_request);
    publish(g_console.handler_installed);
  }
  rlock_release(&g_console.lock);
}
