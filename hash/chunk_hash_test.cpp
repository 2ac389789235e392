#include "hash/chunk_hash.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/err.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

struct NistVector {
  Bytes msg;
  Bytes md;
};

// The byte-oriented short-message vectors: "Len = bits", "Msg = hex",
// "MD = hex"; a zero-length message still carries "Msg = 00".
std::vector<NistVector> load_nist_vectors() {
  std::ifstream in(std::string(ZUVO_SOURCE_DIR) + "/hash/testdata/SHA512ShortMsg.rsp");
  std::vector<NistVector> out;
  std::string line;
  size_t bits = 0;
  NistVector v;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("Len = ", 0) == 0) {
      bits = std::stoul(line.substr(6));
    } else if (line.rfind("Msg = ", 0) == 0) {
      v.msg = from_hex(line.substr(6));
      v.msg.resize(bits / 8);
    } else if (line.rfind("MD = ", 0) == 0) {
      v.md = from_hex(line.substr(5));
      out.push_back(v);
    }
  }
  return out;
}

// The chunk hash of 262144 zero bytes, from an independent SHA-512 tool.
const char* const ZERO_CHUNK_HASH =
    "9dd0c30167fbeaf68dfbbad8e1af552a7a1fcae120b6e04f1b41fa76c76d5a78";

// The FIPS 180 example: one million bytes 'a'.
const char* const MILLION_A_DIGEST =
    "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973eb"
    "de0ff244877ea60a4cb0432ce577c31beb009c5c2c49aa2e4eadb217ad8cc09b";

class ChunkHasherTest : public testing::TestWithParam<Sha512Impl> {
 protected:
  void SetUp() override {
    if (!sha512_impl_supported(GetParam())) {
      GTEST_SKIP() << "processor cannot run " << sha512_impl_name(GetParam());
    }
    ASSERT_EQ(0, chunk_hasher_new_with(GetParam(), &hasher_));
  }
  void TearDown() override { chunk_hasher_destroy(hasher_); }

  // Digest of `data` fed in pieces whose sizes cycle through `pieces`.
  Bytes digest(const uint8_t* data, size_t size, const std::vector<size_t>& pieces,
               size_t out_length = SHA512_DIGEST_SIZE) {
    chunk_hasher_init(hasher_);
    size_t done = 0;
    for (size_t i = 0; done < size; i++) {
      const size_t n = std::min(pieces[i % pieces.size()], size - done);
      chunk_hasher_update(hasher_, data + done, n);
      done += n;
    }
    Bytes out(out_length);
    chunk_hasher_final(hasher_, out.data(), out_length);
    return out;
  }

  ChunkHasher* hasher_ = nullptr;
};

TEST_P(ChunkHasherTest, NistShortMessagesWholeAndRagged) {
  const std::vector<NistVector> vectors = load_nist_vectors();
  ASSERT_EQ(129u, vectors.size());
  // Ragged feeds cross the 128-byte block boundary at every offset class and
  // mix empty updates in.
  const std::vector<std::vector<size_t>> feeds = {{1 << 20}, {1}, {3, 0, 7}, {5, 120, 1}, {127, 2}};
  for (const NistVector& v : vectors) {
    for (const auto& feed : feeds) {
      EXPECT_EQ(v.md, digest(v.msg.data(), v.msg.size(), feed))
          << "message of " << v.msg.size() << " bytes, first piece " << feed[0];
    }
  }
}

TEST_P(ChunkHasherTest, LongMessageOverManyBlocks) {
  // 7812 whole blocks and a 64-byte tail: odd block counts and unaligned
  // pieces reach the multi-block path of every variant.
  const Bytes million(1000000, 'a');
  const Bytes expected = from_hex(MILLION_A_DIGEST);
  EXPECT_EQ(expected, digest(million.data(), million.size(), {1 << 20}));
  EXPECT_EQ(expected, digest(million.data(), million.size(), {1000}));
  EXPECT_EQ(expected, digest(million.data(), million.size(), {129, 384, 4096 * 3 + 5}));
}

TEST_P(ChunkHasherTest, OutLengthTruncatesOrPadsWithZeros) {
  const Bytes msg = from_hex("9083");
  const Bytes full = digest(msg.data(), msg.size(), {2});
  for (size_t out_length : {size_t{0}, size_t{1}, size_t{32}, size_t{63}, size_t{64}, size_t{80}}) {
    // A guard area after the out buffer must stay untouched.
    Bytes out(out_length + 16, 0xA5);
    chunk_hasher_init(hasher_);
    chunk_hasher_update(hasher_, msg.data(), msg.size());
    chunk_hasher_final(hasher_, out.data(), out_length);
    for (size_t i = 0; i < out_length; i++) {
      EXPECT_EQ(i < 64 ? full[i] : 0, out[i]) << "out length " << out_length << " byte " << i;
    }
    for (size_t i = out_length; i < out.size(); i++) {
      EXPECT_EQ(0xA5, out[i]) << "out length " << out_length << " wrote past the end at " << i;
    }
  }
}

TEST_P(ChunkHasherTest, ChunkHashOfPaddedPieceAndChangedLastByte) {
  constexpr size_t K = 262144;
  Bytes chunk(K, 0);
  uint8_t whole[CHUNK_HASH_SIZE];
  chunk_hash(hasher_, chunk.data(), K, whole);
  EXPECT_EQ(from_hex(ZERO_CHUNK_HASH), Bytes(whole, whole + CHUNK_HASH_SIZE));

  // The last piece of a file: 1000 zero bytes from the file, then the zeros
  // that pad it to K, taken in from a buffer at an odd address.
  Bytes pad(K + 1, 0);
  chunk_hasher_init(hasher_);
  chunk_hasher_update(hasher_, chunk.data(), 1000);
  chunk_hasher_update(hasher_, pad.data() + 1, K - 1000);
  uint8_t padded[CHUNK_HASH_SIZE];
  chunk_hasher_final(hasher_, padded, CHUNK_HASH_SIZE);
  EXPECT_EQ(0, std::memcmp(whole, padded, CHUNK_HASH_SIZE));

  chunk[K - 1] = 1;
  uint8_t changed[CHUNK_HASH_SIZE];
  chunk_hash(hasher_, chunk.data(), K, changed);
  EXPECT_NE(0, std::memcmp(whole, changed, CHUNK_HASH_SIZE));
}

INSTANTIATE_TEST_SUITE_P(AllVariants, ChunkHasherTest,
                         testing::Values(SHA512_IMPL_PORTABLE, SHA512_IMPL_AVX2, SHA512_IMPL_AVX512),
                         [](const testing::TestParamInfo<Sha512Impl>& info) {
                           return std::string(sha512_impl_name(info.param));
                         });

TEST(ChunkHasher, UnsupportedVariantIsRefused) {
  ChunkHasher* hasher = reinterpret_cast<ChunkHasher*>(&hasher);
  EXPECT_EQ(ERR_NOT_SUPPORTED, chunk_hasher_new_with(SHA512_IMPL_COUNT, &hasher));
  EXPECT_EQ(nullptr, hasher);
}

}  // namespace
