#include "base/wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "base/signal.h"

namespace {

TEST(WaitBlock, SignalledBeforeWaitReturnsAtOnce) {
  for (int32_t timeout : {-1, 0, 5000}) {
    WaitBlock b{};
    wait_block_signal(&b);
    const uint64_t t0 = tick_ms();
    EXPECT_TRUE(wait_block_wait(&b, timeout, false));
    EXPECT_LT(tick_ms() - t0, 100u);
    EXPECT_EQ(b.node, nullptr);  // no event was needed
  }
}

TEST(WaitBlock, TimesOutWithoutSignal) {
  WaitBlock b{};
  const uint64_t t0 = tick_ms();
  EXPECT_FALSE(wait_block_wait(&b, 40, false));
  EXPECT_GE(tick_ms() - t0, 39u);
  EXPECT_EQ(b.state, 0);
}

TEST(WaitBlock, SignalFromAnotherThreadWakesUnlimitedWait) {
  WaitBlock b{};
  std::thread t([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    wait_block_signal(&b);
  });
  EXPECT_TRUE(wait_block_wait(&b, -1, false));
  t.join();
}

// A time-out racing its signal: the wait may report either outcome, but a
// signal counted while the owner waited must give true, and it must not leave
// the borrowed event set for the next wait that takes the same node. Blocks
// are on the heap and freed as soon as the wait reports the signal, so a
// signaller touching a block after waking its owner is caught by ASan.
TEST(WaitBlock, TimedWaitRacingItsSignalNeverLosesIt) {
  std::atomic<WaitBlock*> pending{nullptr};
  std::atomic<bool> stop{false};
  std::atomic<int> done{0};
  std::thread signaller([&] {
    std::mt19937 rng(3);
    while (!stop.load()) {
      WaitBlock* b = pending.exchange(nullptr);
      if (!b) continue;
      for (unsigned spin = rng() % 2000; spin; --spin) std::atomic_signal_fence(std::memory_order_seq_cst);
      wait_block_signal(b);
      done.fetch_add(1);
    }
  });
  int trues = 0, falses = 0;
  for (int i = 0; i < 5000; ++i) {
    auto* b = new WaitBlock{};
    const int expected_done = done.load() + 1;
    pending.store(b);
    const bool got = wait_block_wait(b, i % 2, false);
    if (got) {
      ++trues;
      delete b;
      while (done.load() != expected_done) std::this_thread::yield();
    } else {
      ++falses;
      while (done.load() != expected_done) std::this_thread::yield();
      EXPECT_EQ(b->state, 1) << "a timed-out block must record the late signal";
      delete b;
    }
    // The node went back to this thread's cache, where the next wait takes it
    // again; a stale set would show here.
    EventNode* node = event_node_take(nullptr);
    ASSERT_NE(node, nullptr);
    ASSERT_EQ(os_event_wait(event_node_handle(node), 0, false), OS_WAIT_TIMEOUT) << "iteration " << i;
    event_node_recycle(node);
  }
  stop = true;
  signaller.join();
  EXPECT_EQ(trues + falses, 5000);
  EXPECT_GT(trues, 0);
  EXPECT_GT(falses, 0);
}

}  // namespace
