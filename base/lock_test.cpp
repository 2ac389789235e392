#include "base/lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

uint64_t lock_word(Lock* l) {
  return std::atomic_ref<uint64_t>(l->word).load(std::memory_order_acquire);
}

// Waits until the lock word differs from `before`: a new waiter has queued.
void await_word_change(Lock* l, uint64_t before) {
  while (lock_word(l) == before) std::this_thread::yield();
}

// Two contenders and a third queued behind them are served in arrival order,
// and each sees the lock held exclusively.
TEST(Lock, HandsOverToWaitersInArrivalOrder) {
  for (int round = 0; round < 50; ++round) {
    Lock lock{};
    std::atomic<int> next{0};
    int order[3] = {-1, -1, -1};
    int inside = 0;
    lock_acquire(&lock);
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i) {
      const uint64_t before = lock_word(&lock);
      threads.emplace_back([&, i] {
        lock_acquire(&lock);
        ++inside;
        order[next.fetch_add(1)] = i;
        EXPECT_EQ(inside, 1);
        --inside;
        lock_release(&lock);
      });
      await_word_change(&lock, before);
    }
    lock_release(&lock);
    for (auto& t : threads) t.join();
    EXPECT_EQ(order[0], 0);
    EXPECT_EQ(order[1], 1);
    EXPECT_EQ(order[2], 2);
    EXPECT_EQ(lock.word, 0u);
    EXPECT_EQ(lock.owner, 0u);
  }
}

TEST(Lock, NoLostUpdatesUnderContention) {
  Lock lock{};
  RecursiveLock rlock{};
  uint64_t plain = 0, nested = 0;
  constexpr int THREADS = 4, ROUNDS = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < ROUNDS; ++i) {
        lock_acquire(&lock);
        plain += 1;
        lock_release(&lock);
        rlock_acquire(&rlock);
        rlock_acquire(&rlock);
        nested += 1;
        rlock_release(&rlock);
        nested += 1;
        rlock_release(&rlock);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(plain, uint64_t{THREADS} * ROUNDS);
  EXPECT_EQ(nested, uint64_t{THREADS} * ROUNDS * 2);
  EXPECT_EQ(rlock.depth, 0);
}

TEST(Lock, RecursiveOwnershipEndsAtDepthZero) {
  RecursiveLock r{};
  std::atomic<bool> got{false};
  rlock_acquire(&r);
  rlock_acquire(&r);
  rlock_acquire(&r);
  EXPECT_EQ(r.depth, 3);
  const uint64_t before = lock_word(&r.lock);
  std::thread other([&] {
    rlock_acquire(&r);
    got = true;
    rlock_release(&r);
  });
  await_word_change(&r.lock, before);
  rlock_release(&r);
  rlock_release(&r);
  EXPECT_FALSE(got.load());
  EXPECT_EQ(r.depth, 1);
  rlock_release(&r);
  other.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(r.depth, 0);
}

TEST(Lock, AddressLocksExcludeEachOther) {
  static int guarded_object;
  uint64_t counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        address_lock(&guarded_object);
        counter += 1;
        address_unlock(&guarded_object);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 15000u);
}

}  // namespace
