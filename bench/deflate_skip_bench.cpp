// What skipping unpromising chunks costs a compressing store: reads files in
// chunks as an ingest does (the last one zero-filled), keeps each distinct
// chunk once, and prints the store's size when every chunk is deflated and
// when only chunks that chunk_compress_promising passes are, with the time
// each way on one core. Not a Google Benchmark: it runs once over its files.
// usage: deflate_skip_bench CHUNK_SIZE NAME FILE...
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "hash/deflate.h"

namespace {

constexpr size_t SAVING = 4096;  // a chunk is kept compressed when it saves at least this
constexpr size_t BLOCK = 4096;   // allocation unit for the size on disk

double seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Totals {
  uint64_t chunks = 0, tried = 0, packed = 0, missed = 0;
  uint64_t bytes_all = 0, bytes_skip = 0, disk_all = 0, disk_skip = 0;
  int64_t missed_saving_max = 0;  // the largest saving a skipped chunk would have had
  double estimate_s = 0, deflate_all_s = 0, deflate_skip_s = 0;
};

void add_chunk(Totals* t, const std::vector<uint8_t>& chunk, std::vector<uint8_t>* out) {
  const size_t k = chunk.size();
  double start = seconds();
  const bool promising = chunk_compress_promising(chunk.data(), k, k - SAVING);
  t->estimate_s += seconds() - start;
  start = seconds();
  size_t n = 0;
  const bool fits = chunk_compress(chunk.data(), k, out->data(), k - SAVING, &n) == 0 && n > 0;
  const double spent = seconds() - start;
  t->deflate_all_s += spent;
  const uint64_t stored = fits ? n : k;
  const uint64_t disk = (stored + BLOCK - 1) / BLOCK * BLOCK;
  t->chunks++;
  t->packed += fits;
  t->bytes_all += stored;
  t->disk_all += disk;
  if (promising) {
    t->tried++;
    t->deflate_skip_s += spent;
    t->bytes_skip += stored;
    t->disk_skip += disk;
  } else {
    t->bytes_skip += k;
    t->disk_skip += k;
    if (fits) {
      t->missed++;
      t->missed_saving_max = std::max<int64_t>(t->missed_saving_max, static_cast<int64_t>(k - n));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s CHUNK_SIZE NAME FILE...\n", argv[0]);
    return 2;
  }
  const size_t k = std::strtoull(argv[1], nullptr, 10);
  if (k <= SAVING) return 2;
  Totals t;
  std::unordered_set<size_t> seen;  // a hash of each chunk's bytes: 64 bits, collisions left to chance
  std::vector<uint8_t> chunk(k), out(k);
  uint64_t input = 0;
  for (int i = 3; i < argc; i++) {
    FILE* f = std::fopen(argv[i], "rb");
    if (!f) {
      std::fprintf(stderr, "cannot open \"%s\"\n", argv[i]);
      return 1;
    }
    for (;;) {
      std::fill(chunk.begin(), chunk.end(), 0);
      const size_t got = std::fread(chunk.data(), 1, k, f);
      if (got == 0) break;
      input += got;
      const std::string_view bytes(reinterpret_cast<const char*>(chunk.data()), k);
      if (seen.insert(std::hash<std::string_view>{}(bytes)).second) add_chunk(&t, chunk, &out);
      if (got < k) break;
    }
    std::fclose(f);
  }
  const double growth = 100.0 * (static_cast<double>(t.disk_skip) / static_cast<double>(t.disk_all) - 1);
  std::printf(
      "%-8s %7.0f MiB in %6llu chunks: store %9.1f / %9.1f MiB on disk (every chunk tried / skip), "
      "%+.4f%%; bytes %+.4f%%; tried %llu, compressed %llu, missed %llu (largest saving %lld); "
      "one core: estimate %.0f MB/s, deflate all %.0f MB/s, with skip %.0f MB/s\n",
      argv[2], static_cast<double>(input) / 1048576, static_cast<unsigned long long>(t.chunks),
      static_cast<double>(t.disk_all) / 1048576, static_cast<double>(t.disk_skip) / 1048576, growth,
      100.0 * (static_cast<double>(t.bytes_skip) / static_cast<double>(t.bytes_all) - 1),
      static_cast<unsigned long long>(t.tried), static_cast<unsigned long long>(t.packed),
      static_cast<unsigned long long>(t.missed), static_cast<long long>(t.missed_saving_max),
      static_cast<double>(t.chunks * k) / 1e6 / t.estimate_s,
      static_cast<double>(t.chunks * k) / 1e6 / t.deflate_all_s,
      static_cast<double>(t.chunks * k) / 1e6 / (t.estimate_s + t.deflate_skip_s));
  return 0;
}
