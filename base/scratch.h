// Allocators: the per-call ScratchPool that owns every text and small record an
// operation hands back to its caller, and the HeapAllocator for data that lives
// as long as the process. Both sit behind one allocator interface so that the
// pool-returning operations accept either.
#pragma once

#include <cstddef>
#include <cstdint>

struct Allocator;

// The table of operations of an allocator kind; one shared constant per kind.
struct AllocatorOps {
  // Returns at least `size` bytes whose first `size` bytes are zero, or null.
  void* (*allocate)(Allocator* self, size_t size);
};

// Base of every allocator: its first member points to its kind's table.
struct Allocator {
  const AllocatorOps* ops;
};

// Returns `size` zero-filled bytes owned by `a`, or null when memory is exhausted.
inline void* allocate(Allocator* a, size_t size) { return a->ops->allocate(a, size); }

// Where a ScratchPool obtains and returns its blocks. Tests swap it in to watch
// the block sizes; null means the general heap.
struct PoolHeap {
  void* (*obtain)(void* context, size_t size);  // null on failure
  void (*give_back)(void* context, void* block);
  void* context;
};

// The trailer at the end of each pool block (three 64-bit fields).
struct PoolTrailer {
  PoolTrailer* next;  // trailer of the next block in the list, null at the end
  void* start;        // start of this heap allocation (what is freed)
  uint64_t free;      // data bytes still available, ending where the trailer begins
};

// A bump allocator: many small allocations, freed all at once by release_all or
// when the pool leaves scope. Used by one thread at a time.
struct ScratchPool : Allocator {
  PoolTrailer* blocks = nullptr;    // first block of the list, null when empty
  uint32_t failures = 0;            // blocks that could not be obtained
  uint32_t handed_out = 0;          // bytes (rounded) handed out since the last release
  const PoolHeap* heap = nullptr;   // null: the general heap

  ScratchPool();
  explicit ScratchPool(const PoolHeap* heap);
  ~ScratchPool();
  ScratchPool(const ScratchPool&) = delete;
  ScratchPool& operator=(const ScratchPool&) = delete;
};

// Frees every block of `pool` at once; the failure count stays. The pool may be
// used again afterwards.
void release_all(ScratchPool* pool);

// The process-wide heap allocator: zero-filled blocks that the receiver owns and
// frees with heap_free. Thread-safe as the general heap is.
struct HeapAllocator : Allocator {};
extern HeapAllocator g_heap_allocator;

// Frees memory from g_heap_allocator or the heap_* operations; null is ignored.
void heap_free(void* block);
