// The semaphore. Counts move by compare-and-swap when no one waits; otherwise
// everything happens under the lock, so a waiter that gives up either is still
// queued (and a post hands it the unit) or has already left the queue.
#include "base/semaphore.h"

#include <atomic>
#include <cstddef>

#include "base/lock.h"
#include "base/wait.h"

struct SemaphoreWaiter {
  Semaphore* semaphore;
  SignalObserver on_cancel;
  SemaphoreWaiter* prev;
  SemaphoreWaiter* next;
  WaitBlock wait;
  int32_t woken;   // 0 until the first of post or cancel claims the wake-up
  uint8_t posted;  // 1 when a unit was handed to this waiter
};

namespace {

std::atomic_ref<int32_t> count_of(Semaphore* s) { return std::atomic_ref<int32_t>(s->count); }

void wake_once(SemaphoreWaiter* w) {
  int32_t expected = 0;
  if (std::atomic_ref<int32_t>(w->woken).compare_exchange_strong(expected, 1,
                                                                 std::memory_order_acq_rel)) {
    wait_block_signal(&w->wait);
  }
}

void on_cancel(SignalObserver* o) {
  auto* w = reinterpret_cast<SemaphoreWaiter*>(reinterpret_cast<char*>(o) -
                                               offsetof(SemaphoreWaiter, on_cancel));
  wake_once(w);
  std::atomic_ref<void (*)(SignalObserver*)>(o->callback).store(nullptr, std::memory_order_release);
}

void unlink(Semaphore* s, SemaphoreWaiter* w) {
  if (w->prev) w->prev->next = w->next; else s->head = w->next;
  if (w->next) w->next->prev = w->prev; else s->tail = w->prev;
  w->prev = w->next = nullptr;
}

}  // namespace

void semaphore_post(Semaphore* s) {
  auto count = count_of(s);
  int32_t n = count.load(std::memory_order_relaxed);
  if (n >= 0 && count.compare_exchange_strong(n, n + 1, std::memory_order_release,
                                              std::memory_order_relaxed)) {
    return;
  }
  lock_acquire(&s->lock);
  if (count.fetch_add(1, std::memory_order_acq_rel) + 1 > 0) {
    lock_release(&s->lock);
    return;
  }
  SemaphoreWaiter* w = s->head;
  unlink(s, w);
  w->posted = 1;
  wake_once(w);
  lock_release(&s->lock);
}

bool semaphore_wait(Semaphore* s, Signal* cancel, int32_t timeout_ms) {
  auto count = count_of(s);
  int32_t n = count.load(std::memory_order_relaxed);
  if (n - 1 >= 0 && count.compare_exchange_strong(n, n - 1, std::memory_order_acquire,
                                                  std::memory_order_relaxed)) {
    return true;
  }
  SemaphoreWaiter w{};
  w.semaphore = s;
  w.posted = 1;
  if (!runtime_started()) runtime_start();
  lock_acquire(&s->lock);
  if (count.fetch_sub(1, std::memory_order_acq_rel) > 0) {
    lock_release(&s->lock);
    return true;
  }
  w.posted = 0;
  w.prev = s->tail;
  if (s->tail) s->tail->next = &w; else s->head = &w;
  s->tail = &w;
  lock_release(&s->lock);

  if (cancel) {
    if (!signal_add_observer(cancel, on_cancel, &w.on_cancel)) on_cancel(&w.on_cancel);
  }
  (void)wait_block_wait(&w.wait, timeout_ms, true);
  if (cancel && !signal_remove_observer(cancel, &w.on_cancel)) {
    signal_observer_await(&w.on_cancel);
  }
  lock_acquire(&s->lock);
  const bool taken = w.posted != 0;
  if (!taken) {
    unlink(s, &w);
    count.fetch_add(1, std::memory_order_acq_rel);
  }
  lock_release(&s->lock);
  return taken;
}
