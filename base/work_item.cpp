// Pool workers park on a WorkerSlot on their own stack, linked into the idle
// list. A hand-over is one pool-lock acquisition and one semaphore post. At
// shutdown the pool closes and every parked worker is woken without work,
// which ends it.
#include "base/work_item.h"

#include <atomic>

#include "base/lock.h"
#include "base/semaphore.h"
#include "base/signal.h"
#include "base/thread.h"

namespace {

constexpr size_t WORKER_STACK_SIZE = 196608;

struct WorkerSlot {
  void (*function)(void*);  // null: no work, end the thread
  void* argument;
  Semaphore wake;
  WorkerSlot* next;         // next idle slot
};

struct WorkPool {
  Lock lock;             // guards idle and closed
  WorkerSlot* idle;      // most recently parked first
  uint8_t closed;        // set once at shutdown
  uint32_t once;         // 1 once the shutdown hook is registered
  SignalObserver hook;   // on SIGNAL_SHUTDOWN
};

WorkPool g_pool;

void shutdown_hook(SignalObserver* o) {
  lock_acquire(&g_pool.lock);
  WorkerSlot* slot = g_pool.idle;
  g_pool.idle = nullptr;
  g_pool.closed = 1;
  lock_release(&g_pool.lock);
  while (slot) {
    // A woken worker's frame may end at once.
    WorkerSlot* next = slot->next;
    semaphore_post(&slot->wake);
    slot = next;
  }
  std::atomic_ref<void (*)(SignalObserver*)>(o->callback).store(nullptr, std::memory_order_release);
}

void worker(void* argument) {
  auto* creator = static_cast<WorkerSlot*>(argument);
  WorkerSlot self{creator->function, creator->argument, Semaphore{}, nullptr};
  semaphore_post(&creator->wake);
  for (;;) {
    self.function(self.argument);
    self.function = nullptr;
    lock_acquire(&g_pool.lock);
    if (g_pool.closed) {
      semaphore_post(&self.wake);
    } else {
      self.next = g_pool.idle;
      g_pool.idle = &self;
    }
    lock_release(&g_pool.lock);
    (void)semaphore_wait(&self.wake, nullptr, -1);
    if (!self.function) return;
  }
}

}  // namespace

bool work_item_run(void (*function)(void*), void* argument) {
  lock_acquire(&g_pool.lock);
  WorkerSlot* slot = g_pool.idle;
  if (slot) g_pool.idle = slot->next;
  lock_release(&g_pool.lock);
  if (slot) {
    slot->function = function;
    slot->argument = argument;
    semaphore_post(&slot->wake);
    return true;
  }
  uint32_t expected = 0;
  if (std::atomic_ref<uint32_t>(g_pool.once).compare_exchange_strong(expected, 1,
                                                                     std::memory_order_acq_rel)) {
    if (!signal_add_observer(signal_get(SIGNAL_SHUTDOWN), shutdown_hook, &g_pool.hook)) {
      shutdown_hook(&g_pool.hook);
    }
  }
  WorkerSlot start{function, argument, Semaphore{}, nullptr};
  if (!thread_start(worker, &start, nullptr, nullptr, WORKER_STACK_SIZE)) return false;
  (void)semaphore_wait(&start.wake, nullptr, -1);
  return true;
}
