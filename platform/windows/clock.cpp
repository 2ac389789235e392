// The millisecond clock, sleeps and the thread id.
#include "platform/windows/win_internal.h"

uint64_t os_tick_ms() { return GetTickCount64(); }

void os_sleep_ms(uint32_t ms, bool alertable) {
  LARGE_INTEGER interval;
  // Relative intervals are negative; the most negative one never ends.
  interval.QuadPart = ms == OS_WAIT_INFINITE ? INT64_MIN : -static_cast<LONGLONG>(ms) * 10000;
  NtDelayExecution(alertable ? TRUE : FALSE, &interval);
}

uint64_t os_thread_id() {
  // Read from the thread's own block: no system call.
  return GetCurrentThreadId();
}
