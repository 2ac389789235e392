// The monotonic millisecond clock, sleeps and the thread id.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <ctime>

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

uint64_t os_tick_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

namespace {
std::atomic<uint64_t> g_sleeps{0};
}  // namespace

uint64_t os_sleep_count() { return g_sleeps.load(std::memory_order_relaxed); }

void os_yield() { sched_yield(); }

void os_sleep_ms(uint32_t ms, bool /*alertable*/) {
  g_sleeps.fetch_add(1, std::memory_order_relaxed);
  if (ms == OS_WAIT_INFINITE) {
    for (;;) {
      timespec forever{1000000, 0};
      clock_nanosleep(CLOCK_MONOTONIC, 0, &forever, nullptr);
    }
  }
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += ms / 1000;
  deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  // An absolute deadline lets an interrupted sleep resume without drift.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

uint64_t os_thread_id() {
  // Cached: locks read it on every acquisition and must not enter the kernel.
  static thread_local uint64_t id = 0;
  if (id == 0) id = static_cast<uint64_t>(syscall(SYS_gettid));
  return id;
}
