// The FIFO lock. Waiters push LockWaiter records from their own stacks onto
// the lock word, newest first; the chain ends in the owner's thread id. The
// releaser walks to the oldest waiter, makes its id the chain's end and wakes
// it: the lock changes hands without ever being free, so waiters are served
// strictly in arrival order.
#include "base/lock.h"

#include <atomic>

#include "base/wait.h"

namespace {

struct LockWaiter {
  uint64_t thread_id;
  uint64_t next;  // the lock word this waiter replaced: an older waiter or the owner's id
  WaitBlock wait;
};

Lock g_address_locks[16];

Lock* address_entry(const void* address) {
  return &g_address_locks[runtime_hash(reinterpret_cast<uintptr_t>(address)) & 15];
}

inline std::atomic_ref<uint64_t> word_of(uint64_t& w) { return std::atomic_ref<uint64_t>(w); }

}  // namespace

void lock_acquire(Lock* lock) {
  if (!runtime_started()) runtime_start();
  const uint64_t self = os_thread_id();
  if (runtime_block()) {
    auto word = word_of(lock->word);
    uint64_t seen = 0;
    if (!word.compare_exchange_strong(seen, self, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
      LockWaiter waiter{self, 0, WaitBlock{}};
      for (;;) {
        seen = word.load(std::memory_order_relaxed);
        if (seen == 0) {
          if (word.compare_exchange_weak(seen, self, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
            break;
          }
          continue;
        }
        word_of(waiter.next).store(seen, std::memory_order_relaxed);
        if (word.compare_exchange_weak(seen, reinterpret_cast<uint64_t>(&waiter),
                                       std::memory_order_release, std::memory_order_relaxed)) {
          // The releaser hands the lock over before it signals.
          (void)wait_block_wait(&waiter.wait, -1, false);
          break;
        }
      }
    }
  }
  std::atomic_ref<uint64_t>(lock->owner).store(self, std::memory_order_relaxed);
}

void lock_release(Lock* lock) {
  std::atomic_ref<uint64_t> owner(lock->owner);
  const uint64_t self = owner.load(std::memory_order_relaxed);
  owner.store(0, std::memory_order_relaxed);
  if (!runtime_block()) return;
  auto word = word_of(lock->word);
  uint64_t seen = self;
  if (word.compare_exchange_strong(seen, 0, std::memory_order_release,
                                   std::memory_order_relaxed)) {
    return;
  }
  for (;;) {
    // Only the lock word can change under us (new waiters arrive at the head);
    // the links between waiters belong to the owner.
    uint64_t* link = &lock->word;
    auto* oldest = reinterpret_cast<LockWaiter*>(word.load(std::memory_order_acquire));
    for (;;) {
      const uint64_t next = word_of(oldest->next).load(std::memory_order_acquire);
      if (next == self) break;
      link = &oldest->next;
      oldest = reinterpret_cast<LockWaiter*>(next);
    }
    uint64_t expected = reinterpret_cast<uint64_t>(oldest);
    if (word_of(*link).compare_exchange_strong(expected, oldest->thread_id,
                                               std::memory_order_acq_rel,
                                               std::memory_order_relaxed)) {
      wait_block_signal(&oldest->wait);
      return;
    }
  }
}

void rlock_acquire(RecursiveLock* lock) {
  if (std::atomic_ref<uint64_t>(lock->lock.owner).load(std::memory_order_relaxed) !=
      os_thread_id()) {
    lock_acquire(&lock->lock);
  }
  lock->depth += 1;
}

void rlock_release(RecursiveLock* lock) {
  lock->depth -= 1;
  if (lock->depth == 0) lock_release(&lock->lock);
}

void address_lock(const void* address) { lock_acquire(address_entry(address)); }

void address_unlock(const void* address) { lock_release(address_entry(address)); }
