// The machinery the copy and the check drivers share: a job's progress
// counters, the free list of its work items, the hand-out loop and the drain.
// `Job` has a RecursiveLock `lock` that guards `free_list`, a singly linked
// list through each item's `next`, an array `items`, a Signal `item_free`
// that a returning item sets after pushing itself back, and an atomic
// `in_flight` that its worker lowers as its last touch of the job.
#pragma once

#include <atomic>
#include <cstdint>
#include <iterator>

#include "base/err.h"
#include "base/lock.h"
#include "base/runtime.h"
#include "base/signal.h"
#include "base/work_item.h"

// How often a draining driver redraws its progress line at most.
constexpr int32_t DRAIN_REDRAW_MS = 50;

// A job's progress counters: workers add to them while the driver reads them
// for the progress line; neither orders anything else.
inline uint64_t counter_load(const uint64_t& counter) {
  return std::atomic_ref<const uint64_t>(counter).load(std::memory_order_relaxed);
}
inline void counter_add(uint64_t& counter, uint64_t value) {
  std::atomic_ref<uint64_t>(counter).fetch_add(value, std::memory_order_relaxed);
}

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

// A driver's hand-out loop. While `more()` and not `stopped()`, it takes a
// free item (waiting for one when all are out), lets `fill(item)` give it
// the next piece, and starts it on `work`; then it drains. A set `cancel`
// and a worker that cannot be started go to `fail(rc)`, which must make
// `stopped()` true. `report(final)` draws the progress line once per turn,
// and once more after the drain (final: only if the count moved since).
template <typename Job, typename More, typename Fill, typename Stopped, typename Fail,
          typename Report>
void drive_items(Job* job, Signal* cancel, void (*work)(void*), More more, Fill fill,
                 Stopped stopped, Fail fail, Report report) {
  for (;;) {
    report(false);
    if (!more() || stopped()) {
      if (!drain_step(job, DRAIN_REDRAW_MS)) continue;
      report(true);
      return;
    }
    if (cancel && signal_is_set(cancel)) {
      fail(ERR_CANCELLED);
      continue;
    }
    signal_reset(&job->item_free);
    auto item = free_list_pop(job);
    if (!item) {
      (void)signal_wait(&job->item_free, nullptr, -1);
      item = free_list_pop(job);
      if (!item) continue;
    }
    fill(item);
    job->in_flight.fetch_add(1);
    if (!work_item_run(work, item)) {
      // No worker could be started: the item never ran, so it goes back.
      free_list_push(job, item);
      job->in_flight.fetch_sub(1);
      fail(ERR_OUTOFMEMORY);
    }
  }
}
