// Thread start, finish and reaping. Finished threads are joined only when the
// finished records outnumber half the list plus two, and outside the list's
// lock, so that starting a thread rarely waits for another one.
#include "base/thread.h"

#include <atomic>

#include "base/lock.h"
#include "base/signal.h"

namespace {

std::atomic_ref<int32_t> generation_of(ThreadRecord* r) {
  return std::atomic_ref<int32_t>(r->generation);
}
std::atomic_ref<OsHandle> handle_of(ThreadRecord* r) { return std::atomic_ref<OsHandle>(r->handle); }

void record_finish(RuntimeBlock* rb, ThreadRecord* r) {
  if (r->exit_callback) r->exit_callback(r->exit_data);
  lock_acquire(&rb->threads_lock);
  generation_of(r).store(
      std::atomic_ref<int32_t>(rb->finish_generation).load(std::memory_order_relaxed),
      std::memory_order_release);
  rb->finished_count += 1;
  lock_release(&rb->threads_lock);
}

void trampoline(void* argument) {
  auto* r = static_cast<ThreadRecord*>(argument);
  r->routine(r->argument);
  os_thread_raise_priority();
  record_finish(runtime_block(), r);
}

// Joins a record that has a handle, whose thread has finished or is about to.
void join_record(RuntimeBlock* rb, ThreadRecord* r) {
  const OsHandle h = handle_of(r).load(std::memory_order_acquire);
  std::atomic_ref<int32_t> current(rb->finish_generation);
  for (;;) {
    if (os_thread_wait(h, 0) == OS_WAIT_SIGNALED) {
      // Ended without finishing: the routine left the thread abruptly.
      if (generation_of(r).load(std::memory_order_acquire) == 0) record_finish(rb, r);
      break;
    }
    if (generation_of(r).load(std::memory_order_acquire) == 0) {
      if (os_thread_wait(h, 50) == OS_WAIT_SIGNALED) {
        if (generation_of(r).load(std::memory_order_acquire) == 0) record_finish(rb, r);
        break;
      }
      if (generation_of(r).load(std::memory_order_acquire) == 0) continue;
    }
    // Finished but not yet ended: a few short waits, shared among all joins
    // through the generation, then let it go.
    while (current.load(std::memory_order_relaxed) - generation_of(r).load(std::memory_order_relaxed) <
           5) {
      if (os_thread_wait(h, 10) == OS_WAIT_SIGNALED) break;
      current.fetch_add(1, std::memory_order_relaxed);
    }
    break;
  }
  os_thread_close(h);
  page_free(r, sizeof(ThreadRecord));
}

}  // namespace

bool thread_start(void (*routine)(void*), void* argument, void (*exit_callback)(void*),
                  void* exit_data, size_t stack_size) {
  if (!runtime_started()) runtime_start();
  RuntimeBlock* rb = runtime_block();
  if (!rb) return false;
  auto* r = static_cast<ThreadRecord*>(page_alloc(sizeof(ThreadRecord)));
  if (!r) return false;
  *r = ThreadRecord{nullptr, routine, argument, exit_callback, exit_data, OS_NO_HANDLE, 0};

  ThreadRecord* to_join = nullptr;
  lock_acquire(&rb->threads_lock);
  r->next = rb->threads;
  rb->threads = r;
  rb->thread_count += 1;
  if (!signal_is_set(signal_get(SIGNAL_SHUTDOWN)) &&
      rb->finished_count > rb->thread_count / 2 + 2) {
    for (ThreadRecord** link = &rb->threads; *link;) {
      ThreadRecord* x = *link;
      if (handle_of(x).load(std::memory_order_relaxed) != OS_NO_HANDLE &&
          generation_of(x).load(std::memory_order_relaxed) != 0) {
        *link = x->next;
        x->next = to_join;
        to_join = x;
        rb->thread_count -= 1;
        rb->finished_count -= 1;
      } else {
        link = &x->next;
      }
    }
  }
  lock_release(&rb->threads_lock);

  const OsHandle h = os_thread_create(trampoline, r, stack_size);
  if (h == OS_NO_HANDLE) {
    // The record stays on the list, finished and without a handle, until exit.
    r->exit_callback = nullptr;
    record_finish(rb, r);
  } else {
    handle_of(r).store(h, std::memory_order_release);
  }
  while (to_join) {
    ThreadRecord* next = to_join->next;
    join_record(rb, to_join);
    to_join = next;
  }
  return h != OS_NO_HANDLE;
}

void threads_reap_all() {
  RuntimeBlock* rb = runtime_block();
  if (!rb) return;
  signal_set(signal_get(SIGNAL_SHUTDOWN));
  lock_acquire(&rb->threads_lock);
  while (ThreadRecord* r = rb->threads) {
    rb->threads = r->next;
    rb->thread_count -= 1;
    lock_release(&rb->threads_lock);
    for (uint32_t rounds = 0;;) {
      if (handle_of(r).load(std::memory_order_acquire) != OS_NO_HANDLE) {
        join_record(rb, r);
        break;
      }
      if (generation_of(r).load(std::memory_order_acquire) != 0) {
        page_free(r, sizeof(ThreadRecord));
        break;
      }
      // Its creator is about to store the handle.
      spin_pause(&rounds);
    }
    lock_acquire(&rb->threads_lock);
    rb->finished_count -= 1;
  }
  lock_release(&rb->threads_lock);
  signal_set(signal_get(SIGNAL_SHUTDOWN_DONE));
}

void threads_count(int32_t* out_records, int32_t* out_finished) {
  RuntimeBlock* rb = runtime_block();
  int32_t records = 0, finished = 0;
  if (rb) {
    lock_acquire(&rb->threads_lock);
    records = rb->thread_count;
    finished = rb->finished_count;
    lock_release(&rb->threads_lock);
  }
  if (out_records) *out_records = records;
  if (out_finished) *out_finished = finished;
}
