#include "base/semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

int32_t count_of(Semaphore* s) {
  return std::atomic_ref<int32_t>(s->count).load(std::memory_order_acquire);
}

void await_count(Semaphore* s, int32_t value) {
  while (count_of(s) != value) std::this_thread::yield();
}

TEST(Semaphore, TimedOutWaitLeavesCountAsBefore) {
  Semaphore s{};
  EXPECT_FALSE(semaphore_wait(&s, nullptr, 20));
  EXPECT_EQ(count_of(&s), 0);
  // Behind a queued waiter too.
  std::atomic<bool> first{false};
  std::thread queued([&] { first = semaphore_wait(&s, nullptr, -1); });
  await_count(&s, -1);
  EXPECT_FALSE(semaphore_wait(&s, nullptr, 20));
  EXPECT_EQ(count_of(&s), -1);
  semaphore_post(&s);
  queued.join();
  EXPECT_TRUE(first.load());
  EXPECT_EQ(count_of(&s), 0);
  semaphore_post(&s);
  semaphore_post(&s);
  EXPECT_TRUE(semaphore_wait(&s, nullptr, 0));
  EXPECT_EQ(count_of(&s), 1);
}

TEST(Semaphore, WaitersAreServedFirstInFirstOut) {
  Semaphore s{};
  std::atomic<int> served{0};
  int order[3] = {-1, -1, -1};
  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      ASSERT_TRUE(semaphore_wait(&s, nullptr, -1));
      order[i] = served.fetch_add(1);
    });
    await_count(&s, -(i + 1));
  }
  for (int i = 0; i < 3; ++i) {
    semaphore_post(&s);
    while (served.load() != i + 1) std::this_thread::yield();
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(order[0], 0);
  EXPECT_EQ(order[1], 1);
  EXPECT_EQ(order[2], 2);
}

TEST(Semaphore, CancelledThroughAnotherSignal) {
  Semaphore s{};
  Signal cancel{};
  std::thread canceller([&] {
    await_count(&s, -1);
    signal_set(&cancel);
  });
  EXPECT_FALSE(semaphore_wait(&s, &cancel, -1));
  canceller.join();
  EXPECT_EQ(count_of(&s), 0);
  // Already cancelled: returns at once, but an available unit is still taken.
  EXPECT_FALSE(semaphore_wait(&s, &cancel, -1));
  semaphore_post(&s);
  EXPECT_TRUE(semaphore_wait(&s, &cancel, -1));
  EXPECT_EQ(count_of(&s), 0);
}

// Posts racing time-outs: every unit posted is either taken by a wait that
// reports true or still counted at the end.
TEST(Semaphore, PostRacingTimeoutIsNeverLost) {
  Semaphore s{};
  constexpr int ROUNDS = 4000;
  std::atomic<int> go{0};
  std::thread poster([&] {
    for (int i = 0; i < ROUNDS; ++i) {
      while (go.load() <= i) std::this_thread::yield();
      if (i % 3) std::this_thread::yield();
      semaphore_post(&s);
    }
  });
  int taken = 0;
  for (int i = 0; i < ROUNDS; ++i) {
    go.store(i + 1);
    if (semaphore_wait(&s, nullptr, i % 2)) ++taken;
  }
  poster.join();
  EXPECT_EQ(taken + count_of(&s), ROUNDS);
  while (semaphore_wait(&s, nullptr, 0)) ++taken;
  EXPECT_EQ(taken, ROUNDS);
}

TEST(Semaphore, ProducersAndConsumersBalance) {
  Semaphore s{};
  constexpr int PER_PRODUCER = 10000;
  std::atomic<int> consumed{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < 2; ++p) {
    threads.emplace_back([&] {
      for (int i = 0; i < PER_PRODUCER; ++i) semaphore_post(&s);
    });
  }
  for (int c = 0; c < 2; ++c) {
    threads.emplace_back([&] {
      for (int i = 0; i < PER_PRODUCER; ++i) {
        if (semaphore_wait(&s, nullptr, -1)) consumed.fetch_add(1);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(consumed.load(), 2 * PER_PRODUCER);
  EXPECT_EQ(count_of(&s), 0);
}

}  // namespace
