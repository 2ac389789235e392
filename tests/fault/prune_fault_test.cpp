// prune run in-process over the fault-injecting platform: every open and
// every read it makes is failed in turn. Whatever fails, no chunk that a map
// lists is deleted, and a chunk map that cannot be opened or read stops the
// prune before it deletes anything. A map moved while prune reads the tree
// is found where it went.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/test_folder.h"
#include "base/transfer.h"
#include "copy/copy_pipeline.h"
#include "frame/command.h"
#include "platform/fault/fault_platform.h"
#include "tests/fault/fault_tables.h"
#include "store/chunk_file.h"
#include "store/chunk_map.h"
#include "store/commands.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t K = 8192;

void write_chunks(const std::string& path, uint32_t first, uint32_t count) {
  std::ofstream out(path, std::ios::binary);
  for (uint32_t c = first; c < first + count; c++) {
    std::mt19937 rng(c);
    for (uint64_t i = 0; i < K; i++) out.put(static_cast<char>(rng()));
  }
}

std::set<std::string> dictionary(const std::string& store) {
  std::set<std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(store + "/.zuvo")) {
    if (e.is_regular_file() && e.path().filename() != "_info") files.insert(e.path().string());
  }
  return files;
}

// The chunk file paths that the map at `path` lists.
std::vector<std::string> listed_chunks(const std::string& path) {
  ScratchPool pool;
  ChunkMap* map = nullptr;
  StoreInfo* store = nullptr;
  std::vector<std::string> paths;
  if (chunk_map_open(&map, &pool, nullptr, path.c_str()) != 0 ||
      store_locate(&store, &pool, nullptr, path.c_str()) != 0) {
    ADD_FAILURE() << "cannot read " << path;
  } else {
    for (uint64_t i = 0; i < map->chunk_count; i++) {
      char chunk[CHUNK_FILE_PATH_SIZE];
      if (chunk_file_path(store, map->image + CHUNK_MAP_HEADER_SIZE + 32 * i, chunk, sizeof chunk,
                          nullptr) != 0) {
        paths.push_back(chunk);
      }
    }
  }
  chunk_map_release(map);
  store_release(store);
  return paths;
}

TEST(PruneFaults, ListedChunksSurviveAndAnUnreadableMapStopsEverything) {
  // The template: maps a and b share two chunks; a is deleted, so a clean
  // prune removes a's other two chunks.
  TestFolder t;
  ScratchPool pool;
  const std::string store = t.at("s");
  ASSERT_EQ(store_create(nullptr, &pool, nullptr, store.c_str(), K, 0, 1, 2), 0);
  write_chunks(t.at("a.bin"), 1, 4);
  write_chunks(t.at("b.bin"), 3, 4);
  for (const char* name : {"a.bin", "b.bin"}) {
    ASSERT_EQ(copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, t.at(name).c_str(),
                        (store + "/" + name).c_str(), nullptr, nullptr),
              0);
  }
  fs::remove(store + "/a.bin");
  const std::string map = store + "/b.bin";
  const std::vector<std::string> listed = listed_chunks(map);
  ASSERT_EQ(listed.size(), 4u);
  const std::set<std::string> before = dictionary(store);
  ASSERT_EQ(before.size(), 6u);

  const std::string run = t.at("run");
  const std::string run_store = run + "/s";
  int map_failures = 0;
  for (int kind : {FAULT_OPEN, FAULT_READ}) {
    for (uint64_t n = 1;; n++) {
      fs::remove_all(run);
      fs::create_directories(run);
      fs::copy(store, run_store, fs::copy_options::recursive);
      const std::string capture = t.at("stdout.txt");
      OsHandle out = OS_NO_HANDLE;
      ASSERT_EQ(create_file(&out, capture.c_str(), OPEN_TRUNCATE), 0);
      const OsHandle saved = os_standard_handle(1);
      os_standard_handle_set(1, out);
      std::string word = "prune", folder = run_store;
      char* argv[] = {word.data(), folder.data(), nullptr};
      FaultRecord record{};
      bool fired;
      int result;
      {
        FaultTables tables;
        fault_arm(kind, n, 5);
        result = prune_command(2, argv);
        fired = fault_fired(&record);
      }
      os_standard_handle_set(1, saved);
      close_handle(out);
      if (!fired) {
        EXPECT_EQ(result, 0) << fault_kind_name(kind) << " " << n;
        EXPECT_EQ(dictionary(run_store).size(), 4u);
        break;
      }
      const std::set<std::string> after = dictionary(run_store);
      for (const std::string& chunk : listed) {
        const std::string moved = run_store + chunk.substr(store.size());
        EXPECT_TRUE(after.count(moved)) << fault_kind_name(kind) << " " << n << " lost " << moved;
      }
      if (std::string(record.path) == run_store + "/b.bin") {
        map_failures++;
        EXPECT_NE(result, 0) << fault_kind_name(kind) << " " << n;
        EXPECT_EQ(after.size(), before.size()) << fault_kind_name(kind) << " " << n;
      }
    }
  }
  // The map was opened and read, and each of those failures was tried.
  EXPECT_GE(map_failures, 3);
}

// Moves `from` to `to` when the file layer first opens a file whose name
// ends in `trigger`, as someone tidying their maps during a prune would.
struct MoveOnOpen {
  std::string trigger, from, to;
  bool moved = false;
};
MoveOnOpen g_move;

bool name_ends_with(const OsNativeName* name, const std::string& tail) {
  std::string text;
  if (name->bytes) {
    text = name->bytes;
  } else {
    for (const char16_t* u = name->units; u && *u; ++u) text += *u == u'\\' ? '/' : char(*u);
  }
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int moving_create(const OsNativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                  uint32_t disposition, uint32_t options, OsHandle* out_handle,
                  uint32_t* out_information) {
  if (!g_move.moved && name_ends_with(name, g_move.trigger)) {
    g_move.moved = true;
    fs::rename(g_move.from, g_move.to);
  }
  return FILE_PLATFORM_REAL.create(name, access, share, attributes, disposition, options,
                                   out_handle, out_information);
}

TEST(PruneFaults, AMapMovedBehindTheWalkKeepsItsChunks) {
  // The walk reads folder a, then z. While it reads a's map, z's map moves
  // into a, whose listing it has already taken.
  TestFolder t;
  ScratchPool pool;
  const std::string store = t.at("s");
  ASSERT_EQ(store_create(nullptr, &pool, nullptr, store.c_str(), K, 0, 1, 2), 0);
  fs::create_directories(store + "/a");
  fs::create_directories(store + "/z");
  write_chunks(t.at("a.bin"), 1, 2);
  write_chunks(t.at("b.bin"), 3, 2);
  for (const char* name : {"a/a.bin", "z/b.bin"}) {
    ASSERT_EQ(copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS,
                        t.at(fs::path(name).filename().string()).c_str(),
                        (store + "/" + name).c_str(), nullptr, nullptr),
              0);
  }
  g_move = {"/a/a.bin", store + "/z/b.bin", store + "/a/b.bin"};
  FilePlatform moving = FILE_PLATFORM_REAL;
  moving.create = moving_create;
  const FilePlatform* previous = file_platform_swap_for_test(&moving);
  std::string word = "prune", folder = store;
  char* argv[] = {word.data(), folder.data(), nullptr};
  const int result = prune_command(2, argv);
  file_platform_swap_for_test(previous);
  ASSERT_TRUE(g_move.moved);
  EXPECT_EQ(result, 0);
  for (const std::string& chunk : listed_chunks(store + "/a/b.bin")) {
    EXPECT_TRUE(fs::exists(chunk)) << "lost " << chunk;
  }
  EXPECT_EQ(dictionary(store).size(), 4u);
}

}  // namespace
