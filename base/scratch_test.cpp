#include "base/scratch.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// Records the sizes the pool asks of its heap, and can refuse.
struct RecordingHeap {
  std::vector<size_t> obtained;
  int live = 0;
  bool refuse = false;
  PoolHeap heap{obtain, give_back, this};

  static void* obtain(void* ctx, size_t size) {
    auto* self = static_cast<RecordingHeap*>(ctx);
    if (self->refuse) return nullptr;
    self->obtained.push_back(size);
    self->live++;
    // Fill with garbage so that missing zeroing shows.
    void* p = std::malloc(size);
    std::memset(p, 0xA5, size);
    return p;
  }
  static void give_back(void* ctx, void* block) {
    static_cast<RecordingHeap*>(ctx)->live--;
    std::free(block);
  }
};

bool all_zero(const void* p, size_t n) {
  const auto* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; i++)
    if (b[i]) return false;
  return true;
}

TEST(ScratchPool, FirstBlockCarriesSpareRoomForFollowingRequests) {
  RecordingHeap h;
  ScratchPool pool(&h.heap);
  void* a = allocate(&pool, 1);
  ASSERT_EQ(h.obtained.size(), 1u);
  EXPECT_EQ(h.obtained[0], 16u + 288u + 24u);  // spare = 2 * 16 + 256
  void* b = allocate(&pool, 288);
  EXPECT_EQ(h.obtained.size(), 1u);  // served from the same block
  EXPECT_EQ(static_cast<char*>(b), static_cast<char*>(a) + 16);
  EXPECT_TRUE(all_zero(b, 288));
  EXPECT_EQ(pool.handed_out, 16u + 288u);
  allocate(&pool, 1);
  EXPECT_EQ(h.obtained.size(), 2u);  // the block is exhausted now
}

TEST(ScratchPool, LargeRequestGetsOwnBlockLinkedBehindRoomierFirst) {
  RecordingHeap h;
  ScratchPool pool(&h.heap);
  allocate(&pool, 1);
  PoolTrailer* first = pool.blocks;
  void* big = allocate(&pool, 0x10000);
  ASSERT_EQ(h.obtained.size(), 2u);
  EXPECT_EQ(h.obtained[1], 0x10000u + 24u);
  EXPECT_EQ(pool.blocks, first);  // the first block still has room: stays in front
  ASSERT_NE(first->next, nullptr);
  EXPECT_EQ(first->next->start, big);
  EXPECT_EQ(first->next->free, 0u);
  EXPECT_TRUE(all_zero(big, 0x10000));
}

TEST(ScratchPool, SpareRoomGrowsWithVolumeAndIsCapped) {
  RecordingHeap h;
  ScratchPool pool(&h.heap);
  for (int i = 0; i < 2000; i++) ASSERT_NE(allocate(&pool, 1000), nullptr);
  // The pool handed out ~2 MB with few heap requests, none beyond the cap.
  EXPECT_LT(h.obtained.size(), 30u);
  for (size_t s : h.obtained) EXPECT_LE(s, 1008u + 0x1FE00u + 24u);
}

TEST(ScratchPool, ReleaseAllFreesEverythingAndPoolIsReusable) {
  RecordingHeap h;
  {
    ScratchPool pool(&h.heap);
    release_all(&pool);  // empty pool: nothing happens
    EXPECT_EQ(h.live, 0);
    for (int i = 0; i < 100; i++) allocate(&pool, 5000);
    EXPECT_GT(h.live, 1);
    release_all(&pool);
    EXPECT_EQ(h.live, 0);
    EXPECT_EQ(pool.blocks, nullptr);
    EXPECT_EQ(pool.handed_out, 0u);
    EXPECT_NE(allocate(&pool, 10), nullptr);
    EXPECT_EQ(h.live, 1);
  }
  EXPECT_EQ(h.live, 0);  // the destructor released the rest
}

TEST(ScratchPool, HeapFailureIsCountedAndKeptAcrossRelease) {
  RecordingHeap h;
  ScratchPool pool(&h.heap);
  h.refuse = true;
  EXPECT_EQ(allocate(&pool, 10), nullptr);
  EXPECT_EQ(allocate(&pool, 10), nullptr);
  EXPECT_EQ(pool.failures, 2u);
  release_all(&pool);
  EXPECT_EQ(pool.failures, 2u);
  h.refuse = false;
  EXPECT_NE(allocate(&pool, 10), nullptr);
}

TEST(HeapAllocator, ReturnsZeroFilledMemory) {
  auto* p = static_cast<unsigned char*>(allocate(&g_heap_allocator, 4096));
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(all_zero(p, 4096));
  heap_free(p);
}

}  // namespace
