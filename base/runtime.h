// The bottom of the program's concurrency runtime: page memory, the
// millisecond clock, sleeps, the fatal error report, and the process-wide
// RuntimeBlock with its per-thread-hash caches of event nodes. Locks live in
// lock.h, one-shot waits in wait.h, signals in signal.h; all of them are plain
// records that are valid when zero-filled.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// An observer of a Signal (see signal.h); declared here because an EventNode
// begins with one. Owned by whoever registers it, usually on its stack.
struct SignalObserver {
  void (*callback)(SignalObserver* self);  // cleared by the callback as its last access
  SignalObserver** back;                   // the pointer that points at this observer; null when unlinked
  SignalObserver* next;                    // next observer on the signal's list
};

// A kernel event with its bookkeeping, cached and reused per thread hash; never
// freed before process exit.
struct EventNode {
  SignalObserver observer;  // lets the node watch a Signal directly (event_node_arm)
  OsHandle event;           // manual-reset event, not signalled while cached
  uint8_t armed;            // registered on a signal
  uint8_t fired;            // the signal's callback has set the event
  EventNode* free_next;     // next node on the cache's free list
};

// One cache of free event nodes, alone on its cache line.
struct alignas(64) EventCache {
  uint64_t owner;         // thread holding the ticket lock; 0 when free
  uint64_t ticket;        // bits 20-30 next ticket, bits 8-18 ticket served
  EventNode* free_head;   // first cached node
};

struct ThreadRecord;

// A lock that hands ownership to its oldest waiter. Zero-filled is unlocked.
// Not re-entrant; only the owner releases it.
struct Lock {
  uint64_t owner;  // owner's thread id, 0 when not held
  uint64_t word;   // 0 free; the owner's id when nobody waits; else the newest LockWaiter
};

// A Lock that its owner may take again; ownership ends when depth returns to 0.
struct RecursiveLock {
  Lock lock;
  int32_t depth;
};

constexpr int RUNTIME_EVENT_CACHES = 32;

// The process-wide runtime state, created once by runtime_start.
struct RuntimeBlock {
  EventCache caches[RUNTIME_EVENT_CACHES];
  void* raw;                  // start of the allocation the block was carved from
  size_t raw_size;            // its size in bytes
  int32_t thread_count;       // thread records on the list
  int32_t finished_count;     // finished records on the list
  int32_t finish_generation;  // starts at 1; raised while joining
  ThreadRecord* threads;      // newest record first
  Lock threads_lock;          // guards the four fields above (the generation is also raised atomically)
};

// Thomas Wang's 64-to-32-bit integer hash; spreads thread ids over the event
// caches and node addresses over index priorities.
uint32_t runtime_hash(uint64_t key);

// Creates the RuntimeBlock once, creates the well-known signals and registers
// the runtime's exit handler. Safe to call from any thread, any number of times.
void runtime_start();
// The runtime's exit handler: reaps every thread, then frees the event caches
// and the block. Afterwards locks only record owners and waits poll. Registered
// by runtime_start; tests call it to reach that state.
void runtime_exit();
// The process-wide block pointer and start-up byte; read them through the two
// functions below, which every lock operation calls inline.
extern RuntimeBlock* g_runtime_block;
extern uint8_t g_runtime_started;

// Whether start-up has completed (the block may still be missing if its
// allocation failed).
inline bool runtime_started() {
  return std::atomic_ref<uint8_t>(g_runtime_started).load(std::memory_order_acquire) != 0;
}
// The RuntimeBlock, or null when there is none.
inline RuntimeBlock* runtime_block() {
  return std::atomic_ref<RuntimeBlock*>(g_runtime_block).load(std::memory_order_acquire);
}

// Takes an event node from the calling thread's cache, or makes one. Returns
// null when there is no RuntimeBlock or no node could be made. `out_cache`
// (optional) receives the cache the node belongs to.
EventNode* event_node_take(EventCache** out_cache);
// Clears armed and fired and pushes `node` on `cache` (null: the calling
// thread's cache); null nodes are ignored. REQUIRES: the event is not signalled.
void event_node_push(EventNode* node, EventCache* cache);
// event_node_push on the calling thread's cache.
void event_node_recycle(EventNode* node);

// Returns `size` bytes of memory, or null. Sizes below 4096 come from the heap,
// larger ones are whole committed pages. Thread-safe.
void* page_alloc(size_t size);
// Frees memory from page_alloc; null is ignored. REQUIRES: `size` as allocated.
void page_free(void* address, size_t size);

// Milliseconds since an arbitrary origin, never decreasing.
uint64_t tick_ms();
// The processors this process may run on (at least 1), asked once.
uint32_t processor_count();

// Widens a 32-bit millisecond counter that wraps every 2^32 ms into a 64-bit
// one, for systems whose only clock is 32 bits wide. Correct as long as it is
// read at least once every 2^31 ms. Thread-safe.
struct TickExtender {
  uint32_t (*read32)();  // the 32-bit clock
  Lock lock;             // serialises the base's advance
  uint64_t base;         // high bits, advanced by 2^31 at each half wrap
};
// Returns the extended reading of `x`'s clock.
uint64_t tick_extend(TickExtender* x);

// Sleeps `ms` milliseconds, alertably; values of 0x7FFFFFFF and above (read as
// unsigned, so also -1) sleep without limit.
void sleep_ms(int32_t ms);

// One step of a wait for another thread that is only a few instructions from
// done (a callback about to clear its field, a creator about to store a
// handle): spins at first, then yields the processor. It never sleeps for a
// fixed time, so the waiter goes on as soon as the other side has finished.
// `rounds` starts at 0 and belongs to the waiting loop.
void spin_pause(uint32_t* rounds);

// Prints "FATAL: <file>:<line> <message>" (the file cut after its last '/') to
// standard output, stops in an attached debugger and ends the process with
// exit code 255. Never returns.
[[noreturn]] void fatal_error(const char* file, int line, const char* message);
