// ScratchPool block management and the HeapAllocator.
#include "base/scratch.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint64_t TRAILER_SIZE = sizeof(PoolTrailer);
static_assert(TRAILER_SIZE == 24, "the pool trailer is three 64-bit fields");
constexpr uint64_t SPARE_MAX = 0x1FE00;
constexpr uint64_t LARGE_REQUEST = 0xFF00;

void* heap_obtain(const PoolHeap* heap, size_t size) {
  if (heap) return heap->obtain(heap->context, size);
  return std::malloc(size);
}

void heap_give_back(const PoolHeap* heap, void* block) {
  if (heap) {
    heap->give_back(heap->context, block);
    return;
  }
  std::free(block);
}

void* pool_allocate(Allocator* self, size_t size) {
  auto* pool = static_cast<ScratchPool*>(self);
  const uint64_t rounded = (static_cast<uint64_t>(size) + 15) & ~uint64_t{15};
  PoolTrailer* first = pool->blocks;
  char* result;
  if (first && first->free >= rounded) {
    result = reinterpret_cast<char*>(first) - first->free;
    first->free -= rounded;
  } else {
    // Blocks grow with the pool's volume so that many small requests cost few
    // heap calls; a large request gets a block of its own.
    uint64_t spare = 2 * (static_cast<uint64_t>(pool->handed_out) + rounded) + 256;
    if (spare > SPARE_MAX) spare = SPARE_MAX;
    if (first && first->free >= LARGE_REQUEST) spare = 0;
    if (rounded > LARGE_REQUEST) spare = 0;
    char* start = static_cast<char*>(heap_obtain(pool->heap, rounded + spare + TRAILER_SIZE));
    if (!start) {
      pool->failures++;
      return nullptr;
    }
    auto* trailer = reinterpret_cast<PoolTrailer*>(start + rounded + spare);
    trailer->start = start;
    trailer->free = spare;
    // Keep the block with the most room in front.
    if (first && first->free > spare) {
      trailer->next = first->next;
      first->next = trailer;
    } else {
      trailer->next = first;
      pool->blocks = trailer;
    }
    result = start;
  }
  std::memset(result, 0, size);
  pool->handed_out += static_cast<uint32_t>(rounded);
  return result;
}

void* heap_allocate(Allocator*, size_t size) { return std::calloc(size ? size : 1, 1); }

const AllocatorOps POOL_OPS = {pool_allocate};
const AllocatorOps HEAP_OPS = {heap_allocate};

}  // namespace

HeapAllocator g_heap_allocator{{&HEAP_OPS}};

ScratchPool::ScratchPool() : Allocator{&POOL_OPS} {}
ScratchPool::ScratchPool(const PoolHeap* h) : Allocator{&POOL_OPS}, heap(h) {}
ScratchPool::~ScratchPool() { release_all(this); }

void release_all(ScratchPool* pool) {
  PoolTrailer* block = pool->blocks;
  pool->blocks = nullptr;
  pool->handed_out = 0;
  while (block) {
    PoolTrailer* next = block->next;
    heap_give_back(pool->heap, block->start);
    block = next;
  }
}

void heap_free(void* block) { std::free(block); }
