// The free list of a job's work items, shared by the copy and the check
// drivers: `Job` has a RecursiveLock `lock` that guards `free_list`, a
// singly linked list through each item's `next`, an array `items`, a Signal
// `item_free` that a returning item sets after pushing itself back, and an
// atomic `in_flight` that its worker lowers as its last touch of the job.
#pragma once

#include <cstdint>
#include <iterator>

#include "base/lock.h"
#include "base/runtime.h"
#include "base/signal.h"

// Takes the first free item, or null when every item is out.
template <typename Job>
auto free_list_pop(Job* job) -> decltype(job->free_list) {
  rlock_acquire(&job->lock);
  auto item = job->free_list;
  if (item) job->free_list = item->next;
  rlock_release(&job->lock);
  return item;
}

// Gives an item back.
template <typename Job, typename Item>
void free_list_push(Job* job, Item* item) {
  rlock_acquire(&job->lock);
  item->next = job->free_list;
  job->free_list = item;
  rlock_release(&job->lock);
}

// How many items are back.
template <typename Job>
int free_list_count(Job* job) {
  int count = 0;
  rlock_acquire(&job->lock);
  for (auto item = job->free_list; item; item = item->next) ++count;
  rlock_release(&job->lock);
  return count;
}

// One step of a driver's drain. Returns true once every item is back and its
// worker has let go of the job; otherwise waits for the next item back, at
// most `redraw_ms` (which only keeps a progress line's clock moving).
template <typename Job>
bool drain_step(Job* job, int32_t redraw_ms) {
  // An item still out is pushed back after this reset, under the lock, and
  // sets the signal then: the wait below cannot miss it.
  signal_reset(&job->item_free);
  if (free_list_count(job) < static_cast<int>(std::size(job->items))) {
    (void)signal_wait(&job->item_free, nullptr, redraw_ms);
    return false;
  }
  // Every item is back; their workers are a few instructions from their last
  // touch of the job.
  for (uint32_t rounds = 0; job->in_flight.load() != 0;) spin_pause(&rounds);
  return true;
}
