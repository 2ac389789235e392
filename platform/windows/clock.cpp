// The millisecond clock, sleeps and the thread id.
#include "platform/windows/internal.h"

#include <atomic>

uint64_t os_tick_ms() { return GetTickCount64(); }

namespace {
std::atomic<uint64_t> g_sleeps{0};
}  // namespace

uint64_t os_sleep_count() { return g_sleeps.load(std::memory_order_relaxed); }

void os_yield() { SwitchToThread(); }

void os_sleep_ms(uint32_t ms, bool alertable) {
  g_sleeps.fetch_add(1, std::memory_order_relaxed);
  LARGE_INTEGER interval;
  // Relative intervals are negative; the most negative one never ends.
  interval.QuadPart = ms == OS_WAIT_INFINITE ? INT64_MIN : -static_cast<LONGLONG>(ms) * 10000;
  NtDelayExecution(alertable ? TRUE : FALSE, &interval);
}

uint64_t os_thread_id() {
  // Read from the thread's own block: no system call.
  return GetCurrentThreadId();
}
