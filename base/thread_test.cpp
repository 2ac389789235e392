#include "base/thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "base/semaphore.h"
#include "base/signal.h"

namespace {

struct Probe {
  std::atomic<int> ran{0};
  std::atomic<int> exited{0};
  void* exit_data_seen = nullptr;
  Semaphore done{};
};

void probe_routine(void* a) {
  auto* p = static_cast<Probe*>(a);
  p->ran.fetch_add(1);
}
void probe_exit(void* a) {
  auto* p = static_cast<Probe*>(a);
  p->exit_data_seen = a;
  p->exited.fetch_add(1);
  semaphore_post(&p->done);
}

TEST(Thread, RoutineAndExitCallbackRun) {
  Probe p;
  ASSERT_TRUE(thread_start(probe_routine, &p, probe_exit, &p, 0));
  ASSERT_TRUE(semaphore_wait(&p.done, nullptr, 10000));
  EXPECT_EQ(p.ran.load(), 1);
  EXPECT_EQ(p.exited.load(), 1);
  EXPECT_EQ(p.exit_data_seen, &p);
}

int32_t records() {
  int32_t n = 0;
  threads_count(&n, nullptr);
  return n;
}

void await_finished(int32_t n) {
  for (;;) {
    int32_t finished = 0;
    threads_count(nullptr, &finished);
    if (finished == n) return;
    sleep_ms(1);
  }
}

void hold_routine(void* a) { (void)semaphore_wait(static_cast<Semaphore*>(a), nullptr, -1); }

// Finished records are joined in a batch once they exceed half the list plus
// two: six of seven are, five of six are not.
TEST(Thread, LazyReapingThreshold) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    int finished_before;
    int32_t records_after;
  } cases[] = {{6, 1}, {5, 6}};
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          for (int i = 0; i < c.finished_before; ++i) {
            if (!thread_start([](void*) {}, nullptr, nullptr, nullptr, 0)) std::exit(2);
          }
          await_finished(c.finished_before);
          Semaphore hold{};
          if (!thread_start(hold_routine, &hold, nullptr, nullptr, 0)) std::exit(3);
          const int32_t after = records();
          semaphore_post(&hold);
          if (after != c.records_after) {
            std::fprintf(stderr, "records %d\n", static_cast<int>(after));
            std::exit(4);
          }
          std::exit(0);
        },
        testing::ExitedWithCode(0), "");
  }
}

std::atomic<int> g_exit_callbacks{0};
std::atomic<uint64_t> g_abrupt_callback_thread{0};

void slow_routine(void*) { sleep_ms(150); }
void count_exit(void*) {
  if (g_exit_callbacks.fetch_add(1) + 1 == 3) std::fprintf(stderr, "all 3 finished\n");
}
void abrupt_routine(void*) { os_thread_exit(); }
void abrupt_exit(void*) {
  if (os_thread_id() == g_abrupt_callback_thread.load()) std::fprintf(stderr, "abrupt callback on reaper\n");
}

// Process exit joins every thread, and a thread that never returned from its
// routine gets its exit callback on the joining thread.
TEST(Thread, ExitReapsEveryThread) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        for (int i = 0; i < 3; ++i) {
          if (!thread_start(slow_routine, nullptr, count_exit, nullptr, 0)) std::exit(2);
        }
        std::exit(0);
      },
      testing::ExitedWithCode(0), "all 3 finished");
  EXPECT_EXIT(
      {
        g_abrupt_callback_thread = os_thread_id();
        if (!thread_start(abrupt_routine, nullptr, abrupt_exit, nullptr, 0)) std::exit(2);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "abrupt callback on reaper");
  EXPECT_EXIT(
      {
        for (int i = 0; i < 3; ++i) {
          if (!thread_start(slow_routine, nullptr, nullptr, nullptr, 0)) std::exit(2);
        }
        threads_reap_all();
        const bool ok = records() == 0 && signal_is_set(signal_get(SIGNAL_SHUTDOWN)) &&
                        signal_is_set(signal_get(SIGNAL_SHUTDOWN_DONE));
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
