#include "base/signal.h"

#include "base/semaphore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Recorder {
  SignalObserver observer;
  std::vector<int>* calls;
  int id;
};

void record_call(SignalObserver* o) {
  auto* r = reinterpret_cast<Recorder*>(o);
  r->calls->push_back(r->id);
  o->callback = nullptr;
}

TEST(Signal, ObserversAreOneShotAndCalledInRegistrationOrder) {
  for (bool use_reset : {false, true}) {
    Signal s{};  // zero-filled: a regular signal, not set
    std::vector<int> calls;
    Recorder r[3] = {{{}, &calls, 0}, {{}, &calls, 1}, {{}, &calls, 2}};
    for (auto& x : r) ASSERT_TRUE(signal_add_observer(&s, record_call, &x.observer));
    ASSERT_TRUE(signal_remove_observer(&s, &r[1].observer));
    if (use_reset) signal_reset(&s); else signal_set(&s);  // a reset on a clear signal still notifies
    EXPECT_EQ(calls, (std::vector<int>{0, 2}));
    EXPECT_FALSE(signal_remove_observer(&s, &r[0].observer));
    EXPECT_EQ(signal_is_set(&s), !use_reset);
    if (use_reset) signal_reset(&s); else signal_set(&s);
    EXPECT_EQ(calls.size(), 2u) << "observers are removed by the notification";
  }
}

TEST(Signal, AddObserverOnSetSignalLinksNothing) {
  Signal s{};
  signal_set(&s);
  std::vector<int> calls;
  Recorder r{{}, &calls, 0};
  EXPECT_FALSE(signal_add_observer(&s, record_call, &r.observer));
  EXPECT_FALSE(signal_remove_observer(&s, &r.observer));
  signal_reset(&s);
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(signal_is_set(&s));
}

TEST(Signal, WellKnownTable) {
  EXPECT_EQ(signal_get(25), signal_get(SIGNAL_ALWAYS));
  EXPECT_EQ(signal_get(21), signal_get(SIGNAL_ALWAYS));
  EXPECT_NE(signal_get(20), signal_get(SIGNAL_ALWAYS));
  Signal* always = signal_get(25);
  EXPECT_TRUE(signal_is_set(always));
  signal_reset(always);
  EXPECT_TRUE(signal_is_set(always));
  Signal* never = signal_get(SIGNAL_NEVER);
  signal_set(never);
  EXPECT_FALSE(signal_is_set(never));
  EXPECT_TRUE(signal_is_set(signal_get(SIGNAL_STARTED)));
  EXPECT_FALSE(signal_is_set(signal_get(SIGNAL_SHUTDOWN)));
}

TEST(Signal, WaitOutcomes) {
  Signal set{}, clear{}, cancel_set{};
  signal_set(&set);
  signal_set(&cancel_set);
  const uint64_t t0 = tick_ms();
  EXPECT_TRUE(signal_wait(&set, nullptr, -1));
  EXPECT_TRUE(signal_wait(&set, &cancel_set, -1));
  EXPECT_FALSE(signal_wait(&clear, &cancel_set, -1));
  EXPECT_LT(tick_ms() - t0, 100u) << "none of these may block";
  EXPECT_FALSE(signal_wait(&clear, nullptr, 30));
  EXPECT_GE(tick_ms() - t0, 29u);
  EXPECT_FALSE(signal_wait(signal_get(SIGNAL_NEVER), signal_get(SIGNAL_ALWAYS), -1));
}

TEST(Signal, WaitWokenBySetResetOrCancelFromAnotherThread) {
  enum { SET, RESET, CANCEL };
  for (int how : {SET, RESET, CANCEL}) {
    Signal s{}, cancel{};
    std::thread other([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (how == SET) signal_set(&s);
      if (how == RESET) signal_reset(&s);
      if (how == CANCEL) signal_set(&cancel);
    });
    EXPECT_EQ(signal_wait(&s, &cancel, 10000), how != CANCEL) << how;
    other.join();
  }
}

TEST(Signal, ManyWaitersAllWake) {
  Signal s{};
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&] {
      if (signal_wait(&s, nullptr, 10000)) woken.fetch_add(1);
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  signal_set(&s);
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken.load(), 8);
}

TEST(Signal, EventNodeArmFiresOnSetAndDisarmClears) {
  Signal s{};
  EventNode* node = event_node_take(nullptr);
  ASSERT_NE(node, nullptr);
  event_node_arm(node, &s);
  EXPECT_EQ(os_event_wait(event_node_handle(node), 0, false), OS_WAIT_TIMEOUT);
  signal_set(&s);
  EXPECT_EQ(os_event_wait(event_node_handle(node), 0, false), OS_WAIT_SIGNALED);
  EXPECT_EQ(node->fired, 1);
  event_node_disarm(node, &s);
  EXPECT_EQ(node->armed, 0);
  EXPECT_EQ(node->fired, 0);
  EXPECT_EQ(os_event_wait(event_node_handle(node), 0, false), OS_WAIT_TIMEOUT);
  // Armed on a signal that is set already: fires at once.
  event_node_arm(node, &s);
  EXPECT_EQ(os_event_wait(event_node_handle(node), 0, false), OS_WAIT_SIGNALED);
  event_node_disarm(node, &s);
  // Disarmed before any notification: unlinked, event untouched.
  Signal other{};
  event_node_arm(node, &other);
  event_node_disarm(node, &other);
  EXPECT_EQ(node->armed, 0);
  signal_set(&other);
  EXPECT_EQ(os_event_wait(event_node_handle(node), 0, false), OS_WAIT_TIMEOUT);
  event_node_recycle(node);
  event_node_arm(nullptr, &s);
  EXPECT_EQ(event_node_handle(nullptr), OS_NO_HANDLE);
}

// A hand-over between threads must wake the waiter as soon as the other side
// is done; a wait that slept a fixed time while its wake-up was already on the
// way would show up here as a sleep. Ping-pong through signals (each waiter
// with a cancel signal linked too) and through semaphores, then cancels that
// race the posts.
TEST(Signal, HandOversBetweenThreadsNeverSleep) {
  constexpr int ROUNDS = 3000;
  Signal ping{}, pong{}, cancel{};
  Semaphore to_b{}, to_a{};
  const uint64_t sleeps_before = os_sleep_count();
  std::thread b([&] {
    for (int i = 0; i < ROUNDS; ++i) {
      while (!signal_wait(&ping, &cancel, -1)) {
      }
      signal_reset(&ping);
      signal_set(&pong);
    }
    for (int i = 0; i < ROUNDS; ++i) {
      ASSERT_TRUE(semaphore_wait(&to_b, &cancel, -1));
      semaphore_post(&to_a);
    }
    for (int i = 0; i < ROUNDS / 10; ++i) {
      ASSERT_TRUE(semaphore_wait(&to_b, nullptr, -1));
      signal_set(&cancel);
      semaphore_post(&to_a);
    }
  });
  for (int i = 0; i < ROUNDS; ++i) {
    signal_set(&ping);
    while (!signal_wait(&pong, &cancel, -1)) {
    }
    signal_reset(&pong);
  }
  for (int i = 0; i < ROUNDS; ++i) {
    semaphore_post(&to_b);
    ASSERT_TRUE(semaphore_wait(&to_a, &cancel, -1));
  }
  for (int i = 0; i < ROUNDS / 10; ++i) {
    signal_reset(&cancel);
    semaphore_post(&to_b);
    // Either the post or the cancel ends this wait; a cancelled wait leaves
    // the unit for the next one.
    if (!semaphore_wait(&to_a, &cancel, -1)) {
      ASSERT_TRUE(semaphore_wait(&to_a, nullptr, -1));
    }
  }
  b.join();
  EXPECT_EQ(os_sleep_count() - sleeps_before, 0u);
}

}  // namespace
