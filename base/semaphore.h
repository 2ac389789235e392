// A counting semaphore with first-in-first-out, cancellable, timed waits. A
// zero-filled Semaphore has count 0. Waiter records live on the waiters'
// stacks; the uncontended post and wait are one compare-and-swap each.
#pragma once

#include <cstdint>

#include "base/signal.h"

struct SemaphoreWaiter;

// A counting semaphore. Thread-safe.
struct Semaphore {
  Lock lock;               // guards the queue and the slow paths
  SemaphoreWaiter* head;   // oldest waiter
  SemaphoreWaiter* tail;   // newest waiter
  int32_t count;           // units; negative: that many waiters queued
};

// Adds one unit, or hands it to the oldest waiter.
void semaphore_post(Semaphore* s);
// Takes one unit, waiting in arrival order until one is posted, `cancel`
// (optional) is set, or `timeout_ms` passes (-1: no limit). Returns true when
// a unit was taken; false when cancelled or timed out, with the count as it
// was before the call. A post that races the time-out is never lost. Alertable.
bool semaphore_wait(Semaphore* s, Signal* cancel, int32_t timeout_ms);
