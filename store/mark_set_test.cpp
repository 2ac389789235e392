#include "store/mark_set.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace {

std::vector<uint8_t> hash_of(uint32_t n) {
  std::vector<uint8_t> h(MARK_SET_HASH_SIZE, 0);
  std::mt19937 rng(n);
  for (auto& b : h) b = static_cast<uint8_t>(rng());
  return h;
}

// Repeats spread over many compactions must still leave each hash once, and
// lookups must find exactly the hashes added.
TEST(MarkSet, KeepsEachHashOnceAcrossCompactions) {
  MarkSet set{};
  std::set<std::vector<uint8_t>> added;
  std::mt19937 rng(15);
  for (int i = 0; i < 50000; i++) {
    const auto h = hash_of(rng() % 7000);
    ASSERT_EQ(mark_set_add(&set, h.data()), 0);
    added.insert(h);
  }
  // Compaction kept the room near the distinct count, not the 50000 adds.
  EXPECT_LE(set.capacity, 3 * added.size());
  mark_set_finish(&set);
  ASSERT_EQ(set.count, added.size());
  size_t i = 0;
  for (const auto& h : added) {
    EXPECT_EQ(std::memcmp(mark_set_at(&set, i++), h.data(), MARK_SET_HASH_SIZE), 0);
    EXPECT_TRUE(mark_set_contains(&set, h.data()));
  }
  for (uint32_t n = 7000; n < 7100; n++) EXPECT_FALSE(mark_set_contains(&set, hash_of(n).data()));
  mark_set_free(&set);
  EXPECT_FALSE(mark_set_contains(&set, hash_of(1).data()));
}

}  // namespace
