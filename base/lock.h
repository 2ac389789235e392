// Locks: the FIFO hand-over Lock, its re-entrant variant and a small table of
// locks chosen by address for one-time initialisation of static objects. An
// uncontended acquisition or release is one compare-and-swap.
#pragma once

#include "base/runtime.h"

// Acquires `lock`, waiting behind earlier waiters in arrival order.
// REQUIRES: the calling thread does not hold it.
void lock_acquire(Lock* lock);
// Releases `lock`, handing it to the oldest waiter if there is one.
// REQUIRES: the calling thread holds it.
void lock_release(Lock* lock);

// Acquires `lock`, or deepens the calling thread's ownership of it.
void rlock_acquire(RecursiveLock* lock);
// Undoes one rlock_acquire; the last one releases the lock.
// REQUIRES: the calling thread holds it.
void rlock_release(RecursiveLock* lock);

// Acquires the table lock chosen by `address`.
void address_lock(const void* address);
// Releases the table lock chosen by `address`. REQUIRES: same thread as the lock.
void address_unlock(const void* address);
