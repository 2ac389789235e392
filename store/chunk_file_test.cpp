#include "store/chunk_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "base/runtime.h"
#include "base/test_folder.h"
#include "base/transfer.h"
#include "hash/chunk_hash.h"
#include "hash/deflate.h"

namespace {

namespace fs = std::filesystem;

// K page-aligned bytes, as the pipeline hands them over.
struct PageBuffer {
  size_t size;
  uint8_t* data;
  explicit PageBuffer(size_t n) : size(n), data(static_cast<uint8_t*>(page_alloc(n))) {}
  ~PageBuffer() { page_free(data, size); }
  PageBuffer(const PageBuffer&) = delete;
  PageBuffer& operator=(const PageBuffer&) = delete;
};

// A store of its own in a fresh folder.
struct TestStore {
  TestFolder dir;
  ScratchPool pool;
  StoreInfo* store = nullptr;
  TestStore(uint64_t k, uint64_t compression, uint64_t levels = 2, uint64_t digits = 2) {
    EXPECT_EQ(
        store_create(&store, &pool, nullptr, dir.path.c_str(), k, compression, levels, digits), 0);
  }
  ~TestStore() { store_release(store); }
  uint64_t k() const { return store->chunk_size; }
};

std::vector<uint8_t> hash_of(const uint8_t* data, size_t k) {
  ChunkHasher* hasher = nullptr;
  EXPECT_EQ(chunk_hasher_new(&hasher), 0);
  std::vector<uint8_t> h(CHUNK_HASH_SIZE);
  chunk_hash(hasher, data, k, h.data());
  chunk_hasher_destroy(hasher);
  return h;
}

std::string path_of(const StoreInfo* store, const std::vector<uint8_t>& hash) {
  char path[CHUNK_FILE_PATH_SIZE];
  EXPECT_NE(chunk_file_path(store, hash.data(), path, sizeof path, nullptr), 0u);
  return path;
}

// Every file in the store's dictionary (everything but `_info`).
std::vector<fs::path> dictionary_files(const StoreInfo* store) {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::recursive_directory_iterator(store->path, ec)) {
    if (!e.is_directory() && e.path().filename() != "_info") files.push_back(e.path());
  }
  return files;
}

enum Fill { ZEROS, RANDOM, HALF };  // highly compressible, incompressible, about half

void fill(uint8_t* data, size_t k, Fill how, uint32_t seed) {
  std::mt19937 random(seed);
  for (size_t i = 0; i < k; ++i) {
    const bool noise = how == RANDOM || (how == HALF && i % 2 == 0);
    data[i] = noise ? static_cast<uint8_t>(random()) : 0;
  }
  std::memcpy(data, &seed, sizeof seed);  // distinct chunks for distinct seeds
}

uint64_t size_on_disk(const std::string& path) {
  std::error_code ec;
  return fs::file_size(path, ec);
}

TEST(ChunkFile, PathsFollowTheFolderShape) {
  ScratchPool pool;
  StoreInfo store{};
  store.path = "/s/.zuvo";
  store.path_length = 8;
  std::vector<uint8_t> hash(32);
  for (int i = 0; i < 32; ++i) hash[i] = static_cast<uint8_t>(i * 37);
  hash[0] = 0x3f;
  hash[1] = 0xa9;
  hash[2] = 0xc0;
  char name[65];
  for (int i = 0; i < 32; ++i) std::snprintf(name + 2 * i, 3, "%02x", hash[i]);
  const std::string n(name);
  std::vector<uint8_t> low = hash;
  low[0] = 0x00;
  low[1] = 0xff;
  const std::string ln = "00ff" + n.substr(4);
  const struct {
    uint8_t levels, digits;
    const std::vector<uint8_t>* hash;
    std::string path;
    uint32_t folder_length;
  } cases[] = {
      {2, 2, &hash, "/s/.zuvo/3f/a9/" + n, 14},
      {1, 4, &low, "/s/.zuvo/00ff/" + ln, 13},
      {3, 1, &low, "/s/.zuvo/0/0/f/" + ln, 14},
      {3, 4, &hash, "/s/.zuvo/3fa9/c0" + n.substr(6, 2) + "/" + n.substr(8, 4) + "/" + n, 23},
      {1, 1, &hash, "/s/.zuvo/3/" + n, 10},
  };
  for (const auto& c : cases) {
    store.folder_levels = c.levels;
    store.folder_digits = c.digits;
    char path[CHUNK_FILE_PATH_SIZE];
    uint32_t folder_length = 0;
    EXPECT_EQ(chunk_file_path(&store, c.hash->data(), path, sizeof path, &folder_length),
              c.path.size());
    // The store's own path is kept; the dictionary part is joined with the
    // platform's separator.
    EXPECT_EQ(std::string(path), c.path.substr(0, 8) + native_path(c.path.substr(8)));
    EXPECT_EQ(folder_length, c.folder_length) << c.path;
  }
  // The longest store path still fits the path buffer.
  const std::string longest = "/" + std::string(STORE_PATH_MAX - 1, 'x') + "/.zuvo";
  store.path = longest.c_str();
  store.path_length = longest.size();
  store.folder_levels = 3;
  store.folder_digits = 4;
  char path[CHUNK_FILE_PATH_SIZE];
  EXPECT_EQ(chunk_file_path(&store, hash.data(), path, sizeof path, nullptr),
            longest.size() + 15 + 65);
  EXPECT_EQ(chunk_file_path(&store, hash.data(), path, longest.size() + 80, nullptr), 0u);
  store.folder_levels = 4;
  EXPECT_EQ(chunk_file_path(&store, hash.data(), path, sizeof path, nullptr), 0u);
}

// Stores each kind of chunk into fresh stores of each kind, checks what lands
// on disk, reads it back, and stores it again without writing anything.
TEST(ChunkFile, StoresAndReadsBack) {
  const struct {
    uint64_t k, compression;
    Fill fill;
    bool kept_compressed;
  } cases[] = {
      {4096, 0, ZEROS, false}, {4096, 0, RANDOM, false},  {4096, 1, ZEROS, false},
      {4096, 1, HALF, false},  {65536, 0, ZEROS, false},  {65536, 1, ZEROS, true},
      {65536, 1, HALF, true},  {65536, 1, RANDOM, false}, {16384, 1, HALF, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "K " << c.k << " compression " << c.compression << " fill " << c.fill);
    TestStore s(c.k, c.compression);
    PageBuffer data(c.k), back(c.k);
    fill(data.data, c.k, c.fill, 7);
    const std::vector<uint8_t> hash = hash_of(data.data, c.k);
    const std::string path = path_of(s.store, hash);
    ScratchPool pool;
    const char* err = "unset";
    ChunkFile cf;
    chunk_file_init(&cf);
    ASSERT_EQ(chunk_file_write(s.store, &pool, &err, &cf, hash.data(), data.data), 0) << err;
    EXPECT_EQ(err, nullptr);
    EXPECT_EQ(cf.created, 1);
    const uint64_t size = size_on_disk(path);
    if (c.kept_compressed) {
      EXPECT_GT(size, 0u);
      EXPECT_LE(size, c.k - 4096);
    } else {
      EXPECT_EQ(size, c.k);
    }
    EXPECT_EQ(dictionary_files(s.store).size(), 1u) << "a temporary file was left";

    ChunkFile reader;
    chunk_file_init(&reader);
    ASSERT_EQ(chunk_file_read(s.store, &pool, &err, &reader, hash.data(), back.data), 0) << err;
    EXPECT_EQ(std::memcmp(back.data, data.data, c.k), 0);

    // Again, through the same object and through a new one: nothing written.
    for (ChunkFile* again : {&cf, &reader}) {
      ASSERT_EQ(chunk_file_write(s.store, &pool, &err, again, hash.data(), data.data), 0);
      EXPECT_EQ(again->created, 0);
    }
    EXPECT_EQ(size_on_disk(path), size);
    EXPECT_EQ(dictionary_files(s.store).size(), 1u);
    EXPECT_EQ(chunk_file_sync(s.store, &pool, &err, hash.data()), 0) << err;
    chunk_file_destroy(&cf);
    chunk_file_destroy(&reader);
  }
}

std::atomic<int> g_file_creates{0};
std::atomic<int> g_folder_creates{0};

int counting_create(const OsNativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                    uint32_t disposition, uint32_t options, OsHandle* out_handle,
                    uint32_t* out_information) {
  if (disposition != OS_DISPOSITION_OPEN && disposition != OS_DISPOSITION_OVERWRITE) {
    ++((options & OS_OPTION_DIRECTORY) ? g_folder_creates : g_file_creates);
  }
  return FILE_PLATFORM_REAL.create(name, access, share, attributes, disposition, options,
                                   out_handle, out_information);
}

// Each create is a round trip on a network file system. A chunk whose folders
// were missing had its temporary file tried first, which failed, then the
// folders made and the file tried again; the chunk's own lookup already says
// that its folder is missing.
TEST(ChunkFile, MakesMissingFoldersBeforeItsOneTemporaryFile) {
  TestStore s(4096, 0);
  PageBuffer data(4096);
  fill(data.data, 4096, RANDOM, 3);
  const std::vector<uint8_t> hash = hash_of(data.data, 4096);
  FilePlatform counting = FILE_PLATFORM_REAL;
  counting.create = counting_create;
  const FilePlatform* previous = file_platform_swap_for_test(&counting);
  // First with both folder levels missing, then with the folders there.
  for (const int folders : {2, 0}) {
    g_file_creates = 0;
    g_folder_creates = 0;
    ScratchPool pool;
    const char* err = nullptr;
    ChunkFile cf;
    chunk_file_init(&cf);
    EXPECT_EQ(chunk_file_write(s.store, &pool, &err, &cf, hash.data(), data.data), 0) << err;
    EXPECT_EQ(cf.created, 1);
    chunk_file_destroy(&cf);
    EXPECT_EQ(g_file_creates, 1) << folders;
    EXPECT_EQ(g_folder_creates, folders);
    fs::remove(path_of(s.store, hash));
  }
  file_platform_swap_for_test(previous);
}

// A publish that was never flushed can leave an empty or cut file under the
// chunk's name after a power loss. Writers used to take any file under the
// name as the stored chunk, so every later chunk map depended on the damaged
// file; a file whose size no stored chunk can have is now replaced.
TEST(ChunkFile, WriterReplacesAChunkFileLeftEmptyOrCutByAPowerLoss) {
  for (const uint64_t compression : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "compression " << compression);
    TestStore s(65536, compression);
    PageBuffer data(65536), back(65536);
    fill(data.data, 65536, HALF, 3);
    const std::vector<uint8_t> hash = hash_of(data.data, 65536);
    const std::string path = path_of(s.store, hash);
    ScratchPool pool;
    const char* err = nullptr;
    ChunkFile cf;
    chunk_file_init(&cf);
    ASSERT_EQ(chunk_file_write(s.store, &pool, &err, &cf, hash.data(), data.data), 0) << err;
    chunk_file_close(&cf);
    const uint64_t good_size = size_on_disk(path);
    // Sizes no stored chunk has: empty, and (raw) one block short or
    // (compressed) longer than a stream may be while shorter than a chunk.
    for (const uint64_t damaged : {uint64_t{0}, uint64_t{65536 - 2048}}) {
      fs::resize_file(path, damaged);
      ASSERT_EQ(chunk_file_write(s.store, &pool, &err, &cf, hash.data(), data.data), 0) << err;
      EXPECT_EQ(cf.created, 1) << "size " << damaged;
      chunk_file_close(&cf);
      EXPECT_EQ(size_on_disk(path), good_size);
      ASSERT_EQ(chunk_file_read(s.store, &pool, &err, &cf, hash.data(), back.data), 0) << err;
      EXPECT_EQ(std::memcmp(back.data, data.data, 65536), 0);
      chunk_file_close(&cf);
    }
    EXPECT_EQ(dictionary_files(s.store).size(), 1u) << "a temporary file was left";
    chunk_file_destroy(&cf);
  }
}

// One object moves between stores of different chunk sizes: the work buffer
// must follow the store (a stale smaller buffer would be overrun).
TEST(ChunkFile, FollowsTheStoreItIsUsedWith) {
  TestStore small(4096, 1), large(65536, 1);
  PageBuffer data(65536), back(65536);
  fill(data.data, 65536, HALF, 3);
  const std::vector<uint8_t> h_small = hash_of(data.data, 4096);
  const std::vector<uint8_t> h_large = hash_of(data.data, 65536);
  ChunkFile cf;
  chunk_file_init(&cf);
  ScratchPool pool;
  ASSERT_EQ(chunk_file_write(small.store, &pool, nullptr, &cf, h_small.data(), data.data), 0);
  ASSERT_EQ(chunk_file_write(large.store, &pool, nullptr, &cf, h_large.data(), data.data), 0);
  ASSERT_EQ(chunk_file_read(small.store, &pool, nullptr, &cf, h_small.data(), back.data), 0);
  EXPECT_EQ(std::memcmp(back.data, data.data, 4096), 0);
  ASSERT_EQ(chunk_file_read(large.store, &pool, nullptr, &cf, h_large.data(), back.data), 0);
  EXPECT_EQ(std::memcmp(back.data, data.data, 65536), 0);
  EXPECT_EQ(cf.work_size, 65536u);
  chunk_file_destroy(&cf);
}

// Damaged, short and missing chunk files fail with the number and text of
// the step that found them.
TEST(ChunkFile, ReadFailures) {
  PageBuffer zeros(16384);
  std::memset(zeros.data, 0, 16384);
  std::vector<uint8_t> stream(16384);
  size_t half_stream = 0, big_stream = 0;
  PageBuffer big(32768);
  std::memset(big.data, 0, 32768);
  ASSERT_EQ(chunk_compress(zeros.data, 8192, stream.data(), stream.size(), &half_stream), 0);
  std::vector<uint8_t> big_bytes(16384);
  ASSERT_EQ(chunk_compress(big.data, 32768, big_bytes.data(), big_bytes.size(), &big_stream), 0);
  PageBuffer noisy(16384);
  fill(noisy.data, 16384, HALF, 9);
  std::vector<uint8_t> noisy_stream(16384);
  size_t noisy_length = 0;
  ASSERT_EQ(
      chunk_compress(noisy.data, 16384, noisy_stream.data(), noisy_stream.size(), &noisy_length),
      0);

  const std::string missing = "Missing source chunk file";
  const std::string read = "Read failed from source chunk file";
  const std::string inflate = "Decompression failed for source chunk file";
  const struct {
    const char* what;
    uint64_t k, compression;
    bool make_folder;
    std::string content;  // "<none>": no file
    int rc;
    std::string text;
  } cases[] = {
      {"short raw", 4096, 0, true, std::string(2048, 'a'), ERR_HANDLE_EOF, read},
      {"empty raw", 4096, 0, true, "", ERR_HANDLE_EOF, read},
      {"no file", 4096, 0, true, "<none>", ERR_FILE_NOT_FOUND, missing},
      {"no folder", 4096, 1, false, "<none>", ERR_PATH_NOT_FOUND, missing},
      {"garbage", 16384, 1, true, std::string(100, '\xff'), ERR_BAD_FORMAT, inflate},
      {"half a chunk", 16384, 1, true,
       std::string(reinterpret_cast<char*>(stream.data()), half_stream), ERR_CRC, inflate},
      {"cut short", 16384, 1, true,
       std::string(reinterpret_cast<char*>(noisy_stream.data()), noisy_length / 2), ERR_BAD_FORMAT,
       inflate},
      {"two chunks", 16384, 1, true,
       std::string(reinterpret_cast<char*>(big_bytes.data()), big_stream), -1, inflate},
      {"empty compressed", 16384, 1, true, "", ERR_CRC, inflate},
  };
  std::vector<uint8_t> hash(32, 0x5a);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TestStore s(c.k, c.compression);
    const std::string path = path_of(s.store, hash);
    if (c.make_folder) fs::create_directories(fs::path(path).parent_path());
    if (c.content != "<none>") std::ofstream(path, std::ios::binary) << c.content;
    PageBuffer out(c.k);
    ScratchPool pool;
    const char* err = nullptr;
    ChunkFile cf;
    chunk_file_init(&cf);
    const int rc = chunk_file_read(s.store, &pool, &err, &cf, hash.data(), out.data);
    if (c.rc < 0) {
      EXPECT_NE(rc, 0);
    } else {
      EXPECT_EQ(rc, c.rc);
    }
    EXPECT_STREQ(err, (c.text + " \"" + path + "\"").c_str());
    // No pool: the same failure without a text.
    const char* none = "unset";
    EXPECT_EQ(chunk_file_read(s.store, nullptr, &none, &cf, hash.data(), out.data), rc);
    EXPECT_EQ(none, nullptr);
    chunk_file_destroy(&cf);
  }
}

// Writes that fail, and writes that are abandoned, leave no file behind under
// any name; the next attempt stores the chunk normally.
TEST(ChunkFile, FailedAndAbandonedWritesLeaveNothing) {
  static std::atomic<int> failing{0};
  static TransferPlatform faulty;
  faulty = TRANSFER_PLATFORM_REAL;
  faulty.native_transfer = [](OsHandle handle, bool write, bool asynchronous, void* buffer,
                              uint32_t size, const uint64_t* offset, uint32_t* out_count) {
    if (write && failing.load()) {
      *out_count = 0;
      return int{ERR_DISK_FULL};
    }
    return TRANSFER_PLATFORM_REAL.native_transfer(handle, write, asynchronous, buffer, size, offset,
                                                  out_count);
  };
  for (uint64_t compression : {0, 1}) {
    SCOPED_TRACE(compression);
    TestStore s(16384, compression);
    PageBuffer data(16384);
    fill(data.data, 16384, HALF, 11);
    const std::vector<uint8_t> hash = hash_of(data.data, 16384);
    const std::string path = path_of(s.store, hash);
    ScratchPool pool;
    const char* err = nullptr;
    ChunkFile cf;
    chunk_file_init(&cf);

    failing = 1;
    const TransferPlatform* before = transfer_platform_swap_for_test(&faulty);
    const int rc = chunk_file_write(s.store, &pool, &err, &cf, hash.data(), data.data);
    transfer_platform_swap_for_test(before);
    failing = 0;
    EXPECT_EQ(rc, ERR_DISK_FULL);
    EXPECT_STREQ(err, ("Write failed to dest chunk file \"" + path + "\"").c_str());
    EXPECT_EQ(cf.created, 0);
    EXPECT_TRUE(dictionary_files(s.store).empty());

    // Opened for writing, then given up: closing removes the temporary file.
    ASSERT_EQ(chunk_file_open(s.store, &pool, &err, &cf, hash.data(), true), 0);
    EXPECT_EQ(cf.created, 1);
    EXPECT_EQ(dictionary_files(s.store).size(), 1u);
    EXPECT_FALSE(fs::exists(path)) << "visible before it is written";
    chunk_file_close(&cf);
    EXPECT_TRUE(dictionary_files(s.store).empty());
    EXPECT_EQ(chunk_file_sync(s.store, &pool, &err, hash.data()), ERR_FILE_NOT_FOUND);
    EXPECT_STREQ(err, ("Unable to sync chunk file \"" + path + "\"").c_str());

    ASSERT_EQ(chunk_file_write(s.store, &pool, &err, &cf, hash.data(), data.data), 0);
    EXPECT_EQ(cf.created, 1);
    EXPECT_EQ(dictionary_files(s.store).size(), 1u);
    EXPECT_TRUE(fs::exists(path));
    chunk_file_destroy(&cf);
  }
}

// Many writers meeting the same chunk: exactly one stores it, the others find
// it stored, and one whole file remains.
TEST(ChunkFile, ConcurrentWritersStoreOneFile) {
  constexpr int THREADS = 12, ROUNDS = 20;
  for (uint64_t compression : {0, 1}) {
    TestStore s(16384, compression);
    std::vector<PageBuffer*> chunks;
    std::vector<std::vector<uint8_t>> hashes;
    for (int r = 0; r < ROUNDS; ++r) {
      chunks.push_back(new PageBuffer(16384));
      fill(chunks.back()->data, 16384, r % 2 ? HALF : RANDOM, 100 + r);
      hashes.push_back(hash_of(chunks.back()->data, 16384));
    }
    std::atomic<int> stored[ROUNDS] = {};
    std::atomic<int> failures{0};
    std::atomic<int> arrived{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < THREADS; ++t) {
      threads.emplace_back([&] {
        ChunkFile cf;
        chunk_file_init(&cf);
        for (int r = 0; r < ROUNDS; ++r) {
          // Start each round together, to meet at the same chunk.
          arrived.fetch_add(1);
          while (arrived.load() < THREADS * (r + 1)) std::this_thread::yield();
          if (chunk_file_write(s.store, nullptr, nullptr, &cf, hashes[r].data(), chunks[r]->data) !=
              0) {
            failures.fetch_add(1);
          } else if (cf.created) {
            stored[r].fetch_add(1);
          }
        }
        chunk_file_destroy(&cf);
      });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    PageBuffer back(16384);
    ChunkFile reader;
    chunk_file_init(&reader);
    for (int r = 0; r < ROUNDS; ++r) {
      EXPECT_EQ(stored[r].load(), 1) << "round " << r;
      ASSERT_EQ(chunk_file_read(s.store, nullptr, nullptr, &reader, hashes[r].data(), back.data),
                0);
      EXPECT_EQ(std::memcmp(back.data, chunks[r]->data, 16384), 0);
    }
    chunk_file_destroy(&reader);
    EXPECT_EQ(dictionary_files(s.store).size(), size_t{ROUNDS});
    for (PageBuffer* p : chunks) delete p;
  }
}

// Our compressed chunk files are plain raw deflate streams: an independent
// decoder inflates them to exactly the chunk whose hash names them.
TEST(ChunkFile, CompressedFilesInflateElsewhere) {
  if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  TestStore s(65536, 1);
  ScratchPool pool;
  ChunkFile cf;
  chunk_file_init(&cf);
  std::string paths;
  for (Fill how : {ZEROS, HALF}) {
    PageBuffer data(65536);
    fill(data.data, 65536, how, 21);
    const std::vector<uint8_t> hash = hash_of(data.data, 65536);
    ASSERT_EQ(chunk_file_write(s.store, &pool, nullptr, &cf, hash.data(), data.data), 0);
    const std::string path = path_of(s.store, hash);
    ASSERT_LT(size_on_disk(path), 65536u - 4096) << "not kept compressed";
    paths += " '" + path + "'";
  }
  chunk_file_destroy(&cf);
  const std::string script =
      "import hashlib,os,sys,zlib\n"
      "for p in sys.argv[1:]:\n"
      "  o=zlib.decompressobj(-15)\n"
      "  d=o.decompress(open(p,'rb').read())\n"
      "  ok=o.eof and not o.unused_data and len(d)==65536 and "
      "hashlib.sha512(d).hexdigest()[:64]==os.path.basename(p)\n"
      "  if not ok: sys.exit(1)\n";
  const std::string script_path = s.dir.at("check.py");
  std::ofstream(script_path) << script;
  EXPECT_EQ(std::system(("python3 '" + script_path + "'" + paths).c_str()), 0) << paths;
}

// ---- Writers killed at random moments ----

constexpr uint64_t CRASH_K = 16384;
constexpr int CRASH_CHUNKS = 12;

struct CrashChunks {
  std::vector<PageBuffer*> data;
  std::vector<std::vector<uint8_t>> hashes;
  CrashChunks() {
    for (int i = 0; i < CRASH_CHUNKS; ++i) {
      data.push_back(new PageBuffer(CRASH_K));
      fill(data.back()->data, CRASH_K, static_cast<Fill>(i % 3), 500 + i);
      hashes.push_back(hash_of(data.back()->data, CRASH_K));
    }
  }
  ~CrashChunks() {
    for (PageBuffer* p : data) delete p;
  }
};

// Stores every chunk once, and returns the microseconds that took.
int64_t store_all(const StoreInfo* store, const CrashChunks& chunks) {
  const auto start = std::chrono::steady_clock::now();
  ChunkFile cf;
  chunk_file_init(&cf);
  for (int i = 0; i < CRASH_CHUNKS; ++i) {
    EXPECT_EQ(chunk_file_write(store, nullptr, nullptr, &cf, chunks.hashes[i].data(),
                               chunks.data[i]->data),
              0);
  }
  chunk_file_destroy(&cf);
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// The exit code of a child ended mid-write.
constexpr int KILLED_EXIT = 137;

// The child: stores the chunks over and over until a thread of its own ends
// the whole process at once after `delay_us`. _Exit stops every thread where
// it stands and runs no clean-up, as a kill does, on every platform.
[[noreturn]] void store_until_killed(const StoreInfo* store, const CrashChunks& chunks,
                                     int64_t delay_us) {
  std::thread([delay_us] {
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    std::_Exit(KILLED_EXIT);
  }).detach();
  ChunkFile cf;
  chunk_file_init(&cf);
  for (int i = 0;; i = (i + 1) % CRASH_CHUNKS) {
    (void)chunk_file_write(store, nullptr, nullptr, &cf, chunks.hashes[i].data(),
                           chunks.data[i]->data);
  }
}

struct Scan {
  int chunks = 0;
  int temps = 0;
  std::vector<std::string> bad;
};

// Every file under a chunk name must hold exactly the chunk its name promises.
Scan scan_store(const StoreInfo* store) {
  Scan scan;
  PageBuffer out(store->chunk_size);
  ChunkFile cf;
  chunk_file_init(&cf);
  for (const fs::path& p : dictionary_files(store)) {
    const std::string name = p.filename().string();
    if (name.rfind(".zuvo-tmp-", 0) == 0) {
      ++scan.temps;
      continue;
    }
    std::vector<uint8_t> hash(32);
    bool hex = name.size() == 64;
    for (size_t i = 0; hex && i < 32; ++i) {
      unsigned byte = 0;
      hex = std::sscanf(name.c_str() + 2 * i, "%2x", &byte) == 1;
      hash[i] = static_cast<uint8_t>(byte);
    }
    if (!hex || path_of(store, hash) != p.string()) {
      scan.bad.push_back("stray " + p.string());
      continue;
    }
    const int rc = chunk_file_read(store, nullptr, nullptr, &cf, hash.data(), out.data);
    if (rc != 0) {
      scan.bad.push_back("unreadable (" + std::to_string(rc) + ", " +
                         std::to_string(size_on_disk(p.string())) + " bytes) " + name);
    } else if (hash_of(out.data, store->chunk_size) != hash) {
      scan.bad.push_back("wrong content " + name);
    } else {
      ++scan.chunks;
    }
  }
  chunk_file_destroy(&cf);
  return scan;
}

// A writer killed at any moment leaves only whole chunk files under chunk
// names (and perhaps a temporary file), and the next writer completes the
// store. The fault this pins: a chunk file created under its own name and
// then written is left partial by a kill, and every later copy trusts it.
TEST(ChunkFileCrash, KilledWritersLeaveOnlyWholeChunks) {
  GTEST_FLAG_SET(death_test_style, "fast");
  if (OS_WINDOWS_NAMES) {
    // The child must write into this process's store; a re-run program
    // would make a temporary folder and a store of its own.
    GTEST_SKIP() << "death tests on Windows run the program anew instead of forking";
  }
  const CrashChunks chunks;
  TestFolder root;
  // The kill moments spread over the time a whole pass takes on this build.
  int64_t pass_us = 0;
  for (uint64_t compression : {0, 1}) {
    TestStore probe(CRASH_K, compression);
    pass_us = std::max(pass_us, store_all(probe.store, chunks));
  }
  const int max_runs =
      std::getenv("ZUVO_CRASH_RUNS") ? std::atoi(std::getenv("ZUVO_CRASH_RUNS")) : 400;
  constexpr int MIN_RUNS = 150;
  constexpr int64_t BUDGET_MS = 10000;
  std::mt19937 random(12345);
  const auto start = std::chrono::steady_clock::now();
  int runs = 0, partial = 0, temps = 0, failures = 0;
  int64_t window_us = pass_us + pass_us / 4;
  for (; runs < max_runs; ++runs) {
    const int64_t elapsed_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
    if (runs >= MIN_RUNS && elapsed_ms > BUDGET_MS) break;
    const std::string folder = root.at("r" + std::to_string(runs));
    fs::create_directory(folder);
    ScratchPool pool;
    StoreInfo* store = nullptr;
    ASSERT_EQ(store_create(&store, &pool, nullptr, folder.c_str(), CRASH_K, runs % 2, 2, 1), 0);
    const int64_t delay_us = std::uniform_int_distribution<int64_t>(0, window_us)(random);
    EXPECT_EXIT(store_until_killed(store, chunks, delay_us), testing::ExitedWithCode(KILLED_EXIT), "");

    const Scan after_kill = scan_store(store);
    for (const std::string& b : after_kill.bad) ADD_FAILURE() << "run " << runs << ": " << b;
    failures += static_cast<int>(after_kill.bad.size());
    if (after_kill.chunks > 0 && after_kill.chunks < CRASH_CHUNKS) ++partial;
    // The first pass may have run slower or faster than the children do (a
    // cold machine): a kill that came after the end narrows the window, one
    // before anything was stored widens it.
    if (after_kill.chunks == CRASH_CHUNKS) window_us = std::max<int64_t>(window_us * 3 / 4, 200);
    if (after_kill.chunks == 0) window_us += window_us / 4;
    temps += after_kill.temps;

    // The next writer finds what the killed one left and completes the store.
    store_all(store, chunks);
    const Scan after = scan_store(store);
    EXPECT_TRUE(after.bad.empty()) << "run " << runs;
    EXPECT_EQ(after.chunks, CRASH_CHUNKS) << "run " << runs;
    store_release(store);
    std::error_code ec;
    fs::remove_all(folder, ec);
  }
  std::printf(
      "[ crash    ] %d runs (pass %lld us), %d stopped part-way, %d temporary files left, "
      "%d damaged\n",
      runs, static_cast<long long>(pass_us), partial, temps, failures);
  EXPECT_GE(runs, std::min(max_runs, MIN_RUNS));
  EXPECT_GT(partial, runs / 8) << "the kills should mostly land while chunks are being stored";
}

}  // namespace
