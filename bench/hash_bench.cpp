// Throughput of the chunk hash (each compression function variant) and of
// level-9 chunk compression, on 256 KiB chunks, single-threaded.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "hash/chunk_hash.h"
#include "hash/deflate.h"

namespace {

constexpr size_t CHUNK = 262144;

std::vector<uint8_t> random_chunk() {
  std::mt19937_64 rng(42);
  std::vector<uint8_t> out(CHUNK);
  for (auto& byte : out) byte = static_cast<uint8_t>(rng());
  return out;
}

// Words picked at random, with some numbers: compresses to roughly a third.
std::vector<uint8_t> text_chunk() {
  static const char* const words[] = {"chunk ", "store ", "hash ", "map ", "copy ", "file\n",
                                      "folder ", "zero ", "digest ", "stream ", "the ", "of "};
  std::mt19937_64 rng(7);
  std::vector<uint8_t> out;
  while (out.size() < CHUNK) {
    const char* w = words[rng() % 12];
    out.insert(out.end(), w, w + std::char_traits<char>::length(w));
    if (rng() % 4 == 0) {
      const std::string n = std::to_string(rng() % 100000) + " ";
      out.insert(out.end(), n.begin(), n.end());
    }
  }
  out.resize(CHUNK);
  return out;
}

// `impl` is a variant, or SHA512_IMPL_COUNT for the one chunk_hasher_new picks.
void BM_ChunkHash(benchmark::State& state, Sha512Impl impl) {
  if (impl != SHA512_IMPL_COUNT && !sha512_impl_supported(impl)) {
    state.SkipWithError("processor cannot run this variant");
    return;
  }
  ChunkHasher* hasher = nullptr;
  const int rc = impl == SHA512_IMPL_COUNT ? chunk_hasher_new(&hasher)
                                           : chunk_hasher_new_with(impl, &hasher);
  if (rc != 0) {
    state.SkipWithError("no hasher");
    return;
  }
  const std::vector<uint8_t> chunk = random_chunk();
  uint8_t out[CHUNK_HASH_SIZE];
  for (auto _ : state) {
    chunk_hash(hasher, chunk.data(), chunk.size(), out);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * CHUNK);
  if (impl == SHA512_IMPL_COUNT) state.SetLabel(sha512_impl_name(sha512_impl_best()));
  chunk_hasher_destroy(hasher);
}

enum SampleKind { SAMPLE_ZEROS, SAMPLE_TEXT, SAMPLE_RANDOM };

void BM_ChunkCompress(benchmark::State& state, SampleKind kind) {
  const std::vector<uint8_t> chunk = kind == SAMPLE_ZEROS  ? std::vector<uint8_t>(CHUNK, 0)
                                     : kind == SAMPLE_TEXT ? text_chunk()
                                                           : random_chunk();
  std::vector<uint8_t> out(CHUNK - 4096);
  size_t produced = 0;
  int rc = 0;
  for (auto _ : state) {
    rc = chunk_compress(chunk.data(), chunk.size(), out.data(), out.size(), &produced);
    benchmark::DoNotOptimize(rc);
  }
  state.counters["result"] = rc;
  state.counters["ratio"] = rc == 0 ? static_cast<double>(produced) / CHUNK : 1.0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * CHUNK);
}

void BM_ChunkUncompress(benchmark::State& state) {
  const std::vector<uint8_t> chunk = text_chunk();
  std::vector<uint8_t> packed(CHUNK), back(CHUNK);
  size_t produced = 0;
  if (chunk_compress(chunk.data(), chunk.size(), packed.data(), packed.size(), &produced) != 0) {
    state.SkipWithError("sample did not compress");
    return;
  }
  packed.resize(produced);
  for (auto _ : state) {
    const int rc = chunk_uncompress(packed.data(), packed.size(), back.data(), back.size(), &produced);
    benchmark::DoNotOptimize(rc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * CHUNK);
}

}  // namespace

BENCHMARK_CAPTURE(BM_ChunkHash, portable, SHA512_IMPL_PORTABLE);
BENCHMARK_CAPTURE(BM_ChunkHash, avx2, SHA512_IMPL_AVX2);
BENCHMARK_CAPTURE(BM_ChunkHash, avx512, SHA512_IMPL_AVX512);
BENCHMARK_CAPTURE(BM_ChunkHash, chosen, SHA512_IMPL_COUNT);
BENCHMARK_CAPTURE(BM_ChunkCompress, zeros, SAMPLE_ZEROS);
BENCHMARK_CAPTURE(BM_ChunkCompress, compressible, SAMPLE_TEXT);
BENCHMARK_CAPTURE(BM_ChunkCompress, random, SAMPLE_RANDOM);
BENCHMARK(BM_ChunkUncompress);

BENCHMARK_MAIN();
