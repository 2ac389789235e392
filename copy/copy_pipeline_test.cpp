#include "copy/copy_pipeline.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "base/runtime.h"
#include "base/test_folder.h"
#include "base/transfer.h"
#include "hash/chunk_hash.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

void write_all(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

std::vector<uint8_t> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every file under a chunk name holds what its name promises (raw stores), and
// no temporary file is left anywhere in the store.
void expect_store_sound(const std::string& store, size_t k) {
  ChunkHasher* hasher = nullptr;
  ASSERT_EQ(chunk_hasher_new(&hasher), 0);
  for (const auto& entry : fs::recursive_directory_iterator(store)) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.rfind(".zuvo-tmp", 0), std::string::npos) << entry.path();
    if (!entry.is_regular_file() || name.size() != 64) continue;
    const auto data = read_all(entry.path().string());
    ASSERT_EQ(data.size(), k) << entry.path();
    uint8_t hash[CHUNK_HASH_SIZE];
    chunk_hash(hasher, data.data(), k, hash);
    char hex[65];
    for (int i = 0; i < 32; i++) std::snprintf(hex + 2 * i, 3, "%02x", hash[i]);
    EXPECT_EQ(name, std::string(hex, 64));
  }
  chunk_hasher_destroy(hasher);
}

// A platform double that fails transfers of one direction after a number of calls.
std::atomic<int> g_calls{0};
int g_fail_after = 0;
bool g_fail_writes = true;
int g_fail_error = 112;

int failing_transfer(OsHandle handle, bool write, bool asynchronous, void* buffer, uint32_t size,
                     const uint64_t* offset, uint32_t* out_count) {
  if (write == g_fail_writes && g_calls.fetch_add(1) >= g_fail_after) {
    *out_count = 0;
    return g_fail_error;
  }
  return TRANSFER_PLATFORM_REAL.native_transfer(handle, write, asynchronous, buffer, size, offset,
                                                out_count);
}

int failing_plain_write(OsHandle, const void*, uint32_t, uint32_t* out_count) {
  *out_count = 0;
  return 112;
}

struct Faults {
  TransferPlatform table = TRANSFER_PLATFORM_REAL;
  const TransferPlatform* previous;
  explicit Faults(TransferPlatform t) : table(t) { previous = transfer_platform_swap_for_test(&table); }
  ~Faults() { transfer_platform_swap_for_test(previous); }
};

struct CopyScene {
  TestFolder tmp;
  std::string store;
  std::vector<uint8_t> data;
  std::string source;
  std::string map;
  std::vector<uint8_t> old_map;
  static constexpr size_t K = 65536;
  CopyScene() {
    store = tmp.at("s");
    ScratchPool pool;
    EXPECT_EQ(store_create(nullptr, &pool, nullptr, store.c_str(), K, 0, 1, 2), 0);
    data = random_bytes(20 * K + 123, 5);
    source = tmp.at("src.bin");
    write_all(source, data);
    // An existing chunk map destination of other data.
    write_all(tmp.at("old.bin"), random_bytes(3 * K, 9));
    map = store + "/file.bin";
    EXPECT_EQ(copy(tmp.at("old.bin"), map), 0);
    old_map = read_all(map);
  }
  int copy(const std::string& from, const std::string& to,
           uint32_t options = COPY_DEFAULT_OPTIONS) {
    ScratchPool pool;
    const char* text = nullptr;
    const int rc = copy_file(&pool, &text, nullptr, options, from.c_str(), to.c_str(), nullptr,
                             nullptr);
    last_text = text ? text : "";
    return rc;
  }
  std::string last_text;
};

TEST(CopyPipeline, FailingChunkWriteKeepsTheOldMapAndLeavesNoPartialChunk) {
  for (int after : {0, 3, 11}) {
    CopyScene s;
    g_calls = 0;
    g_fail_after = after;
    g_fail_writes = true;
    TransferPlatform t = TRANSFER_PLATFORM_REAL;
    t.native_transfer = failing_transfer;
    {
      Faults f(t);
      EXPECT_EQ(s.copy(s.source, s.map), 112) << after;
    }
    EXPECT_EQ(s.last_text.rfind(
                  "Write failed to dest chunk file \"" + native_path(s.store + "/.zuvo/"), 0),
              0u)
        << s.last_text;
    EXPECT_EQ(read_all(s.map), s.old_map);
    expect_store_sound(s.store, CopyScene::K);
    // And the same copy afterwards completes and restores.
    ASSERT_EQ(s.copy(s.source, s.map), 0);
    ASSERT_EQ(s.copy(s.map, s.tmp.at("back.bin")), 0);
    EXPECT_EQ(read_all(s.tmp.at("back.bin")), s.data);
  }
}

TEST(CopyPipeline, FailingMapWriteKeepsTheOldMap) {
  CopyScene s;
  TransferPlatform t = TRANSFER_PLATFORM_REAL;
  t.plain_write = failing_plain_write;
  {
    Faults f(t);
    EXPECT_EQ(s.copy(s.source, s.map), 112);
  }
  EXPECT_EQ(s.last_text, "Write failed to dest file");
  EXPECT_EQ(read_all(s.map), s.old_map);
  expect_store_sound(s.store, CopyScene::K);
  // A first copy that fails leaves no file at all.
  {
    Faults f(t);
    EXPECT_EQ(s.copy(s.source, s.store + "/new.bin"), 112);
  }
  EXPECT_FALSE(fs::exists(s.store + "/new.bin"));
}

TEST(CopyPipeline, ShortSourceReadFailsWith38) {
  CopyScene s;
  // The source ends early: reads past 5 chunks come back empty.
  g_calls = 0;
  g_fail_after = 5;
  g_fail_writes = false;
  g_fail_error = 38;
  TransferPlatform t = TRANSFER_PLATFORM_REAL;
  t.native_transfer = failing_transfer;
  {
    Faults f(t);
    EXPECT_EQ(s.copy(s.source, s.map), 38);
  }
  g_fail_error = 112;
  EXPECT_EQ(s.last_text, "Read failed from source file");
  EXPECT_EQ(read_all(s.map), s.old_map);
  // A real shrink between the size check and the reads, through a plain copy.
  write_all(s.tmp.at("short.bin"), random_bytes(1000, 1));
  EXPECT_EQ(s.copy(s.tmp.at("short.bin"), s.tmp.at("plain.out")), 0);
}

int failing_plain_read(OsHandle, void*, uint32_t, uint32_t* out_count) {
  *out_count = 0;
  return g_fail_error;
}

// Fails the opens for data of names ending in g_denied_suffix with 5 (the
// copy's first look at its paths reads no data and is let through).
std::string g_denied_suffix;
int denying_create(const OsNativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                   uint32_t disposition, uint32_t options, OsHandle* out_handle,
                   uint32_t* out_information) {
  std::string text;
  if (name->bytes) {
    text = name->bytes;
  } else {
    for (const char16_t* u = name->units; *u; ++u) text += static_cast<char>(*u);
  }
  if ((access & (OS_FILE_READ_DATA | OS_FILE_WRITE_DATA)) != 0 &&
      text.ends_with(g_denied_suffix) && g_calls.fetch_add(1) < g_fail_after) {
    *out_handle = OS_NO_HANDLE;
    if (out_information) *out_information = 0;
    return 5;
  }
  return os_file_create(name, access, share, attributes, disposition, options, out_handle,
                        out_information);
}

struct FileFaults {
  FilePlatform table = FILE_PLATFORM_REAL;
  const FilePlatform* previous;
  FileFaults() {
    table.create = denying_create;
    previous = file_platform_swap_for_test(&table);
  }
  ~FileFaults() { file_platform_swap_for_test(previous); }
};

// Regression: a chunk map source that could not be opened or read whole as a
// map was copied as plain data, so a restore "succeeded" with the map file's
// own bytes and a store-to-store copy stored them as the file.
TEST(CopyPipeline, SourceMapThatCannotBeReadFailsTheCopy) {
  CopyScene s;
  const std::string out = s.tmp.at("out.bin");
  const std::string other = s.store + "/other.bin";
  for (int error : {38, 112, 1117}) {
    g_fail_error = error;
    TransferPlatform t = TRANSFER_PLATFORM_REAL;
    t.plain_read = failing_plain_read;
    {
      Faults f(t);
      EXPECT_EQ(s.copy(s.map, out), error == 1117 ? 1117 : 38) << error;
      EXPECT_EQ(s.copy(s.map, other), error == 1117 ? 1117 : 38) << error;
    }
    EXPECT_EQ(s.last_text, "Unable to read file \"" + s.map + "\"");
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(other));
  }
  g_fail_error = 112;
  // Only the first open, the one as a chunk map, is refused.
  g_denied_suffix = "file.bin";
  g_calls = 0;
  g_fail_after = 1;
  {
    FileFaults f;
    EXPECT_EQ(s.copy(s.map, out), 5);
  }
  EXPECT_FALSE(fs::exists(out));
}

// Regression: a destination store whose description could not be read was
// taken for no store, and the copy wrote plain data over its chunk map.
TEST(CopyPipeline, UnreadableDestinationStoreKeepsTheMap) {
  CopyScene s;
  g_denied_suffix = "_info";
  g_calls = 0;
  g_fail_after = 1000;
  {
    FileFaults f;
    EXPECT_EQ(s.copy(s.source, s.map), 5);
  }
  EXPECT_EQ(s.last_text, "Unable to read file \"" + native_path(s.store + "/.zuvo/_info") + "\"");
  EXPECT_EQ(read_all(s.map), s.old_map);
}

TEST(CopyPipeline, ChunkSizeMismatchFailsBeforeAnyChunk) {
  CopyScene s;
  ScratchPool pool;
  const std::string small = s.tmp.at("small");
  ASSERT_EQ(store_create(nullptr, &pool, nullptr, small.c_str(), 4096, 0, 1, 2), 0);
  g_calls = 0;
  g_fail_after = 0;
  g_fail_writes = false;  // any read of a chunk would fail the test's count below
  TransferPlatform t = TRANSFER_PLATFORM_REAL;
  t.native_transfer = failing_transfer;
  {
    Faults f(t);
    EXPECT_EQ(s.copy(s.map, small + "/x.bin"), 87);
  }
  EXPECT_EQ(s.last_text, "Mismatched source and dest file chunk size");
  EXPECT_EQ(g_calls.load(), 0);
  EXPECT_FALSE(fs::exists(small + "/x.bin"));
}

TEST(CopyPipeline, CancelledBeforeTheFirstChunk) {
  CopyScene s;
  Signal cancel{};
  signal_set(&cancel);
  ScratchPool pool;
  const char* text = nullptr;
  EXPECT_EQ(copy_file(&pool, &text, &cancel, COPY_DEFAULT_OPTIONS, s.source.c_str(),
                      s.map.c_str(), nullptr, nullptr),
            1223);
  EXPECT_STREQ(text, "cancelled");
  EXPECT_EQ(read_all(s.map), s.old_map);
  expect_store_sound(s.store, CopyScene::K);
}

// Grows the source by a byte at its first read, as a writer would.
std::string g_growing;
std::atomic<bool> g_grown{false};
int growing_transfer(OsHandle handle, bool write, bool asynchronous, void* buffer, uint32_t size,
                     const uint64_t* offset, uint32_t* out_count) {
  if (!write && !g_grown.exchange(true)) std::ofstream(g_growing, std::ios::app) << 'x';
  return TRANSFER_PLATFORM_REAL.native_transfer(handle, write, asynchronous, buffer, size, offset,
                                                out_count);
}

// A source written to during the copy fails with a number of its own (its
// own exit code), keeps the old map, and still counts what was done: every
// chunk read and stored, the short last one included.
TEST(CopyPipeline, SourceChangedDuringTheCopyIsToldApartAndCounted) {
  CopyScene s;
  g_growing = s.source;
  g_grown = false;
  TransferPlatform t = TRANSFER_PLATFORM_REAL;
  t.native_transfer = growing_transfer;
  ScratchPool pool;
  CopyCounts counts{};
  {
    Faults f(t);
    EXPECT_EQ(copy_file_counted(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, s.source.c_str(),
                                s.map.c_str(), nullptr, nullptr, &counts),
              ERR_SOURCE_CHANGED);
  }
  EXPECT_EQ(read_all(s.map), s.old_map);
  EXPECT_EQ(counts.done, s.data.size());
  EXPECT_EQ(counts.sr, s.data.size());
  EXPECT_EQ(counts.dw, s.data.size());
  EXPECT_EQ(counts.chunks, 21u);
  EXPECT_EQ(counts.chunks_new, 21u);
  // The same data again finds every chunk stored.
  write_all(s.source, s.data);
  ASSERT_EQ(copy_file_counted(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, s.source.c_str(),
                              s.map.c_str(), nullptr, nullptr, &counts),
            0);
  EXPECT_EQ(counts.dw, 0u);
  EXPECT_EQ(counts.chunks, 21u);
  EXPECT_EQ(counts.chunks_new, 0u);
}

TEST(CopyPipeline, BufferedAndUnbufferedDestinationsAgree) {
  CopyScene s;
  for (bool unbuffered : {false, true}) {
    const bool previous = copy_set_unbuffered_for_test(unbuffered);
    const std::string out = s.tmp.at(unbuffered ? "u.out" : "b.out");
    EXPECT_EQ(s.copy(s.source, out), 0);
    EXPECT_EQ(read_all(out), s.data);
    EXPECT_EQ(s.copy(s.map, out), 0);  // restore over it
    EXPECT_EQ(read_all(out), read_all(s.tmp.at("old.bin")));
    copy_set_unbuffered_for_test(previous);
  }
}

}  // namespace

// Regression: when the last chunks finished between the driver's progress
// call and its drain check, the copy ended without drawing the final line,
// so the progress ended below 100% on a complete copy (seen under load).
TEST(CopyPipeline, LastProgressCallShowsTheWholeCopy) {
  CopyScene s;
  struct Seen {
    uint64_t total = 0, done = 0, calls = 0;
  };
  const CopyProgress record = [](void* context, uint64_t total, uint64_t done, uint64_t, uint64_t,
                                 uint64_t) {
    auto* seen = static_cast<Seen*>(context);
    seen->total = total;
    seen->done = done;
    ++seen->calls;
    // A slow console: the chunks in flight finish while the line is drawn.
    if (done < total) sleep_ms(2);
  };
  for (int round = 0; round < 20; ++round) {
    Seen seen;
    ScratchPool pool;
    const std::string out = s.tmp.at("out" + std::to_string(round % 2));
    ASSERT_EQ(copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, s.source.c_str(),
                        out.c_str(), record, &seen),
              0);
    ASSERT_GT(seen.calls, 0u);
    ASSERT_EQ(seen.done, seen.total) << "round " << round;
    ASSERT_EQ(seen.total, s.data.size());
  }
}
