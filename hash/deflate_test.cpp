#include "hash/deflate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/err.h"
#include "hash/chunk_hash.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t MARGIN = 4096;  // a kept chunk must shrink by at least this much

Bytes random_bytes(size_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes out(n);
  for (auto& byte : out) byte = static_cast<uint8_t>(rng());
  return out;
}

// Words picked at random: compresses well, but not trivially.
Bytes text_bytes(size_t n, uint64_t seed) {
  static const char* const words[] = {"chunk ", "store ", "hash ", "map ", "copy ", "file\n",
                                      "folder ", "zero ", "digest ", "stream "};
  std::mt19937_64 rng(seed);
  Bytes out;
  while (out.size() < n) {
    const char* w = words[rng() % 10];
    out.insert(out.end(), w, w + std::char_traits<char>::length(w));
  }
  out.resize(n);
  return out;
}

Bytes compress_or_fail(const Bytes& in, size_t limit) {
  Bytes out(limit);
  size_t produced = 99;
  EXPECT_EQ(0, chunk_compress(in.data(), in.size(), out.data(), limit, &produced));
  out.resize(produced);
  return out;
}

TEST(ChunkCompress, ZeroChunksShrinkAndInflateExactly) {
  for (size_t k : {size_t{8192}, size_t{262144}, size_t{33554432}}) {
    const Bytes chunk(k, 0);
    const Bytes packed = compress_or_fail(chunk, k - MARGIN);
    ASSERT_GT(packed.size(), 0u);
    EXPECT_LT(packed.size(), k / 100) << k;

    Bytes back(k, 0xEE);
    size_t produced = 0;
    ASSERT_EQ(0, chunk_uncompress(packed.data(), packed.size(), back.data(), k, &produced)) << k;
    EXPECT_EQ(k, produced);
    EXPECT_EQ(chunk, back) << k;

    // One byte short of room: the stream holds more than the limit.
    produced = 99;
    EXPECT_NE(0, chunk_uncompress(packed.data(), packed.size(), back.data(), k - 1, &produced));
    EXPECT_EQ(0u, produced);
  }
}

TEST(ChunkCompress, TextRoundTrips) {
  const Bytes chunk = text_bytes(262144, 7);
  const Bytes packed = compress_or_fail(chunk, chunk.size() - MARGIN);
  EXPECT_LT(packed.size(), chunk.size() / 2);
  Bytes back(chunk.size());
  size_t produced = 0;
  ASSERT_EQ(0, chunk_uncompress(packed.data(), packed.size(), back.data(), back.size(), &produced));
  EXPECT_EQ(chunk.size(), produced);
  EXPECT_EQ(chunk, back);
}

// Far more threads than the streams allowed at once: every one gets its turn
// and its own result (a lost turn would hang here; a shared arena would mix
// outputs up).
TEST(ChunkCompress, ManyThreadsAtOnceEachGetTheirOwnResult) {
  constexpr int THREADS = 24;
  std::vector<Bytes> inputs;
  for (int t = 0; t < THREADS; t++) inputs.push_back(text_bytes(65536, 100 + t));
  std::vector<Bytes> back(THREADS, Bytes(65536));
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; t++) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 8; round++) {
        Bytes packed(65536);
        size_t n = 0;
        size_t m = 0;
        if (chunk_compress(inputs[t].data(), 65536, packed.data(), packed.size(), &n) != 0 ||
            chunk_uncompress(packed.data(), n, back[t].data(), 65536, &m) != 0 || m != 65536) {
          back[t].clear();
          return;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < THREADS; t++) EXPECT_EQ(back[t], inputs[t]) << "thread " << t;
}

// Stores written before the deflate library changed hold zlib's streams (level
// 9, 32 KiB window): testdata/zlib-chunk-16384.bin is such a chunk file, taken
// from a store with 16 KiB chunks, holding zeros, text and random bytes. It
// must inflate to exactly the chunk its name promised.
TEST(ChunkUncompress, ReadsChunkFilesWrittenByZlib) {
  std::ifstream in(std::string(ZUVO_SOURCE_DIR) + "/hash/testdata/zlib-chunk-16384.bin", std::ios::binary);
  const Bytes stream((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(9481u, stream.size());
  Bytes chunk(16384);
  size_t produced = 0;
  ASSERT_EQ(0, chunk_uncompress(stream.data(), stream.size(), chunk.data(), chunk.size(), &produced));
  ASSERT_EQ(chunk.size(), produced);
  ChunkHasher* hasher = nullptr;
  ASSERT_EQ(0, chunk_hasher_new(&hasher));
  uint8_t hash[CHUNK_HASH_SIZE];
  chunk_hash(hasher, chunk.data(), chunk.size(), hash);
  chunk_hasher_destroy(hasher);
  std::string name;
  for (uint8_t b : hash) name += "0123456789abcdef"[b >> 4], name += "0123456789abcdef"[b & 15];
  EXPECT_EQ("a60c0908781a7eb396739e10bff118aca33f83a7cdd58d6f2ce91ee1492c4fa0", name);
}

// The estimate must let through every chunk that deflates well enough,
// including random data whose saving lies only in repeats, and stop random
// and nearly random chunks whatever the chunk size.
TEST(ChunkCompress, PromisingOnlyWhereTheSavingIsInReach) {
  const size_t k = 262144;
  Bytes repeats = random_bytes(k, 21);  // 16 KiB copied 20 KiB further on, twice
  std::copy(repeats.begin(), repeats.begin() + 16384, repeats.begin() + 20480);
  std::copy(repeats.begin() + 100000, repeats.begin() + 116384, repeats.begin() + 130000);
  Bytes sparse = random_bytes(k, 22);  // 6 KiB of zeros among random bytes
  std::fill(sparse.begin() + 50000, sparse.begin() + 56144, 0);
  Bytes far = random_bytes(k, 23);  // a copy beyond deflate's reach saves nothing
  std::copy(far.begin(), far.begin() + 16384, far.begin() + 100000);
  struct Case {
    const char* what;
    Bytes input;
    bool promising;
  };
  const Case cases[] = {
      {"text", text_bytes(k, 8), true},
      {"zeros", Bytes(k, 0), true},
      {"random bytes repeated within reach", repeats, true},
      {"zeros among random bytes", sparse, true},
      {"random", random_bytes(k, 24), false},
      {"random, large chunk", random_bytes(8388608, 25), false},
      {"random bytes repeated out of reach", far, false},
      {"smallest chunk, text", text_bytes(4096, 9), false},
  };
  for (const Case& c : cases) {
    const size_t n = c.input.size();
    const size_t limit = n > MARGIN ? n - MARGIN : 0;
    EXPECT_EQ(c.promising, chunk_compress_promising(c.input.data(), n, limit)) << c.what;
    // Where it says yes here the stream really fits; where no, it does not.
    Bytes out(limit + 1);
    size_t produced = 0;
    const bool fits = chunk_compress(c.input.data(), n, out.data(), limit, &produced) == 0;
    EXPECT_EQ(c.promising, fits) << c.what;
  }
  // With room for the input itself anything is worth a try.
  const Bytes noise = random_bytes(8192, 26);
  EXPECT_TRUE(chunk_compress_promising(noise.data(), noise.size(), noise.size()));
}

TEST(ChunkCompress, OutputThatDoesNotFitIsRefused) {
  struct Case {
    const char* what;
    Bytes input;
    size_t limit;
  };
  const Case cases[] = {
      {"random chunk", random_bytes(262144, 1), 262144 - MARGIN},
      {"random chunk, room to spare", random_bytes(65536, 2), 65536 - 1},
      {"smallest zero chunk", Bytes(4096, 0), 0},
      {"one byte, no room", Bytes(1, 'x'), 0},
      {"text, one byte of room", text_bytes(4096, 3), 1},
  };
  for (const Case& c : cases) {
    Bytes out(c.limit + 1);
    size_t produced = 99;
    const int rc = chunk_compress(c.input.data(), c.input.size(), out.data(), c.limit, &produced);
    EXPECT_NE(0, rc) << c.what;
    EXPECT_EQ(0u, produced) << c.what;
    if (c.limit != 0) {
      EXPECT_EQ(ERR_HANDLE_DISK_FULL, rc) << c.what;
    }
  }
}

TEST(ChunkCompress, EmptyInputGivesNothing) {
  uint8_t out[4];
  size_t produced = 99;
  EXPECT_EQ(0, chunk_compress(nullptr, 0, out, sizeof out, &produced));
  EXPECT_EQ(0u, produced);
  produced = 99;
  EXPECT_EQ(0, chunk_uncompress(nullptr, 0, out, sizeof out, &produced));
  EXPECT_EQ(0u, produced);
}

TEST(ChunkUncompress, TruncatedStreamsNeverSucceed) {
  const Bytes chunk = text_bytes(16384, 11);
  const Bytes packed = compress_or_fail(chunk, chunk.size());
  Bytes back(chunk.size());
  for (size_t n = 1; n < packed.size(); n++) {
    size_t produced = 99;
    const int rc = chunk_uncompress(packed.data(), n, back.data(), back.size(), &produced);
    ASSERT_TRUE(rc == ERR_BAD_FORMAT || rc == ERR_HANDLE_DISK_FULL)
        << "cut to " << n << " of " << packed.size() << " bytes gave " << rc;
    ASSERT_EQ(0u, produced);
  }
}

TEST(ChunkUncompress, MalformedStreamsAreBadFormat) {
  struct Case {
    const char* what;
    Bytes stream;
  };
  const Case cases[] = {
      {"reserved block type", {0x07, 0x00, 0x00}},
      {"stored block length check fails", {0x01, 0x05, 0x00, 0x00, 0x00, 'a', 'b', 'c', 'd', 'e'}},
      {"distance before the start", {0x03, 0x02, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    uint8_t out[64];
    size_t produced = 99;
    EXPECT_EQ(ERR_BAD_FORMAT,
              chunk_uncompress(c.stream.data(), c.stream.size(), out, sizeof out, &produced))
        << c.what;
    EXPECT_EQ(0u, produced) << c.what;
  }
}

// Our streams must be plain raw deflate that any decoder reads, and streams
// from another encoder must inflate here: checked against python3's zlib.
TEST(ChunkCompress, IndependentDecoderAgrees) {
  if (std::system("python3 -c \"import zlib\" >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 with zlib not available";
  }
  const Bytes chunk = text_bytes(262144, 5);
  const Bytes packed = compress_or_fail(chunk, chunk.size() - MARGIN);

  const std::string base = testing::TempDir() + "zuvo_deflate_" +
                           std::to_string(std::random_device{}()) + "_";
  const std::string plain = base + "plain", ours = base + "ours", theirs = base + "theirs";
  std::ofstream(plain, std::ios::binary)
      .write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
  std::ofstream(ours, std::ios::binary)
      .write(reinterpret_cast<const char*>(packed.data()), static_cast<std::streamsize>(packed.size()));
  const std::string script =
      "import sys, zlib\n"
      "plain = open(sys.argv[1], 'rb').read()\n"
      "d = zlib.decompressobj(-15)\n"
      "out = d.decompress(open(sys.argv[2], 'rb').read())\n"
      "if not d.eof or d.unused_data or out != plain: sys.exit(3)\n"
      "c = zlib.compressobj(6, zlib.DEFLATED, -15)\n"
      "open(sys.argv[3], 'wb').write(c.compress(plain) + c.flush())\n";
  const std::string cmd = "python3 -c \"" + script + "\" '" + plain + "' '" + ours + "' '" + theirs + "'";
  const int rc = std::system(cmd.c_str());

  std::ifstream in(theirs, std::ios::binary);
  const Bytes foreign((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(plain.c_str());
  std::remove(ours.c_str());
  std::remove(theirs.c_str());
  ASSERT_EQ(0, rc) << "python3's zlib did not read our stream back as the original";

  Bytes back(chunk.size());
  size_t produced = 0;
  ASSERT_EQ(0, chunk_uncompress(foreign.data(), foreign.size(), back.data(), back.size(), &produced));
  EXPECT_EQ(chunk.size(), produced);
  EXPECT_EQ(chunk, back);
}

}  // namespace
