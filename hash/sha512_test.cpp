#include "hash/sha512.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

// Every accelerated variant must agree with the portable one from any state,
// for odd and even block counts (pairs plus a single tail block), and for
// input at any alignment.
TEST(Sha512Compress, AcceleratedMatchesPortable) {
  std::mt19937_64 rng(12345);
  std::vector<uint8_t> data(SHA512_BLOCK_SIZE * 64 + 8);
  for (auto& byte : data) byte = static_cast<uint8_t>(rng());
  int tested = 0;
  for (int i = SHA512_IMPL_PORTABLE + 1; i < SHA512_IMPL_COUNT; i++) {
    const auto impl = static_cast<Sha512Impl>(i);
    if (!sha512_impl_supported(impl)) continue;
    tested++;
    const Sha512CompressFn fast = sha512_compress_fn(impl);
    for (size_t blocks : {1, 2, 3, 4, 7, 16, 33, 64}) {
      for (size_t offset : {0, 1, 8}) {
        uint64_t expected[SHA512_STATE_WORDS];
        for (auto& word : expected) word = rng();
        uint64_t got[SHA512_STATE_WORDS];
        std::memcpy(got, expected, sizeof got);
        sha512_compress_portable(expected, data.data() + offset, blocks);
        fast(got, data.data() + offset, blocks);
        EXPECT_EQ(0, std::memcmp(expected, got, sizeof got))
            << sha512_impl_name(impl) << ": " << blocks << " blocks at offset " << offset;
      }
    }
  }
  if (tested == 0) GTEST_SKIP() << "processor runs no accelerated variant";
}

// Zero blocks leave the state alone in every variant.
TEST(Sha512Compress, NoBlocksLeavesState) {
  for (int i = 0; i < SHA512_IMPL_COUNT; i++) {
    const auto impl = static_cast<Sha512Impl>(i);
    if (!sha512_impl_supported(impl)) continue;
    uint64_t state[SHA512_STATE_WORDS];
    std::memcpy(state, SHA512_INITIAL_STATE, sizeof state);
    sha512_compress_fn(impl)(state, nullptr, 0);
    EXPECT_EQ(0, std::memcmp(state, SHA512_INITIAL_STATE, sizeof state)) << sha512_impl_name(impl);
  }
}

}  // namespace
