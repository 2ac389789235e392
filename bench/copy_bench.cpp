// Plain copies and restores through copy_file with buffered and unbuffered
// (O_DIRECT where the file system takes it) destinations, to choose the
// pipeline's default. Data: 256 MiB of random bytes in the page cache.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/file.h"
#include "copy/copy_pipeline.h"
#include "platform/platform.h"
#include "store/store.h"

namespace {

constexpr size_t SIZE = 256u << 20;

struct Data {
  std::string dir;
  std::string source;
  std::string map;
  Data() {
    os_process_setup();
    dir = (std::filesystem::temp_directory_path() / "zuvo_copy_bench").string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    source = dir + "/source.bin";
    std::vector<char> bytes(SIZE);
    std::mt19937_64 rng(1);
    for (size_t i = 0; i < SIZE; i += 8) *reinterpret_cast<uint64_t*>(&bytes[i]) = rng();
    std::ofstream(source, std::ios::binary).write(bytes.data(), SIZE);
    ScratchPool pool;
    if (store_create(nullptr, &pool, nullptr, (dir + "/s").c_str(), 262144, 0, 1, 2) != 0) std::abort();
    map = dir + "/s/source.bin";
    if (copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, source.c_str(), map.c_str(),
                  nullptr, nullptr) != 0) {
      std::abort();
    }
  }
  ~Data() { std::filesystem::remove_all(dir); }
};

Data& data() {
  static Data d;
  return d;
}

void run(benchmark::State& state, bool restore) {
  const bool unbuffered = state.range(0) != 0;
  const bool previous = copy_set_unbuffered_for_test(unbuffered);
  const std::string out = data().dir + "/out.bin";
  const std::string& from = restore ? data().map : data().source;
  for (auto _ : state) {
    state.PauseTiming();
    std::remove(out.c_str());
    state.ResumeTiming();
    ScratchPool pool;
    if (copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, from.c_str(), out.c_str(),
                  nullptr, nullptr) != 0) {
      state.SkipWithError("copy failed");
    }
  }
  copy_set_unbuffered_for_test(previous);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * SIZE));
  state.SetLabel(unbuffered ? "unbuffered" : "buffered");
}

void BM_PlainCopy(benchmark::State& state) { run(state, false); }
void BM_Restore(benchmark::State& state) { run(state, true); }

BENCHMARK(BM_PlainCopy)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Restore)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
