// Manual-reset events on a 32-bit futex word. The word is 0 (clear), 1 (set)
// or 2 (clear, with sleepers), so that setting an event nobody waits on takes
// no system call.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/internal.h"

namespace {

constexpr uint32_t EVENT_CLEAR = 0;
constexpr uint32_t EVENT_SET = 1;
constexpr uint32_t EVENT_SLEEPERS = 2;

uint32_t* event_word(OsHandle event) { return reinterpret_cast<uint32_t*>(event); }

long futex(uint32_t* word, int op, uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, word, op, value, timeout, nullptr, FUTEX_BITSET_MATCH_ANY);
}

}  // namespace

OsHandle os_event_create() {
  // A word of its own cache line would waste memory; events are few.
  auto* word = static_cast<uint32_t*>(std::calloc(1, sizeof(uint32_t)));
  if (!word) return OS_NO_HANDLE;
  return reinterpret_cast<OsHandle>(word);
}

void os_event_set(OsHandle event) {
  std::atomic_ref<uint32_t> w(*event_word(event));
  if (w.exchange(EVENT_SET, std::memory_order_acq_rel) == EVENT_SLEEPERS) {
    futex(event_word(event), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
  }
}

void os_event_clear(OsHandle event) {
  std::atomic_ref<uint32_t> w(*event_word(event));
  uint32_t expected = EVENT_SET;
  // A clear event keeps its sleepers mark so that the next set wakes them.
  w.compare_exchange_strong(expected, EVENT_CLEAR, std::memory_order_acq_rel);
}

int os_event_wait(OsHandle event, uint32_t timeout_ms, bool /*alertable*/) {
  uint32_t* word = event_word(event);
  std::atomic_ref<uint32_t> w(*word);
  if (w.load(std::memory_order_acquire) == EVENT_SET) return OS_WAIT_SIGNALED;
  if (timeout_ms == 0) return OS_WAIT_TIMEOUT;
  timespec deadline{};
  if (timeout_ms != OS_WAIT_INFINITE) {
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  for (;;) {
    uint32_t v = w.load(std::memory_order_acquire);
    if (v == EVENT_SET) return OS_WAIT_SIGNALED;
    if (v == EVENT_CLEAR &&
        !w.compare_exchange_strong(v, EVENT_SLEEPERS, std::memory_order_acq_rel)) {
      continue;
    }
    // The absolute monotonic deadline makes EINTR and spurious wakes harmless.
    long rc = futex(word, FUTEX_WAIT_BITSET_PRIVATE, EVENT_SLEEPERS,
                    timeout_ms == OS_WAIT_INFINITE ? nullptr : &deadline);
    if (rc == -1 && errno == ETIMEDOUT) {
      return w.load(std::memory_order_acquire) == EVENT_SET ? OS_WAIT_SIGNALED : OS_WAIT_TIMEOUT;
    }
  }
}

void os_event_close(OsHandle event) {
  if (event == OS_NO_HANDLE) return;
  std::free(event_word(event));
}
