// prune run in-process over the fault-injecting platform: every open and
// every read it makes is failed in turn. Whatever fails, no chunk that a map
// lists is deleted, and a chunk map that cannot be opened or read stops the
// prune before it deletes anything. Maps moved, renamed over, added or
// deleted while prune reads the tree: every map there keeps its chunks.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/err.h"
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
      // A failure the map's reading gets round (asking what kind of file it
      // is) changes nothing; any other stops the prune with nothing deleted.
      if (std::string(record.path) == run_store + "/b.bin" && result != 0) {
        map_failures++;
        EXPECT_EQ(after.size(), before.size()) << fault_kind_name(kind) << " " << n;
      }
    }
  }
  // The map was opened and read, and each of those failures was tried.
  EXPECT_GE(map_failures, 3);
}

// Runs `act` when the file layer opens a file or folder whose name ends in
// `trigger` for the `nth` time (before the open, or just after it), as
// someone tidying their maps during a prune would.
struct ActOnOpen {
  std::string trigger;
  std::function<void()> act;
  int nth = 1;
  bool after = false;
  bool fired = false;
};
ActOnOpen g_on_open;

bool name_ends_with(const OsNativeName* name, const std::string& tail) {
  std::string text;
  if (name->bytes) {
    text = name->bytes;
  } else {
    for (const char16_t* u = name->units; u && *u; ++u) text += *u == u'\\' ? '/' : char(*u);
  }
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

int acting_create(const OsNativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                  uint32_t disposition, uint32_t options, OsHandle* out_handle,
                  uint32_t* out_information) {
  const bool now = !g_on_open.fired && !g_on_open.trigger.empty() &&
                   name_ends_with(name, g_on_open.trigger) && --g_on_open.nth == 0;
  if (now && !g_on_open.after) g_on_open.act();
  const int rc = FILE_PLATFORM_REAL.create(name, access, share, attributes, disposition, options,
                                           out_handle, out_information);
  if (now && g_on_open.after) g_on_open.act();
  g_on_open.fired = g_on_open.fired || now;
  return rc;
}

int prune_acting(const std::string& store) {
  FilePlatform acting = FILE_PLATFORM_REAL;
  acting.create = acting_create;
  const FilePlatform* previous = file_platform_swap_for_test(&acting);
  std::string word = "prune", folder = store;
  char* argv[] = {word.data(), folder.data(), nullptr};
  const int result = prune_command(2, argv);
  file_platform_swap_for_test(previous);
  return result;
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
  g_on_open = {"/a/a.bin", [&] { fs::rename(store + "/z/b.bin", store + "/a/b.bin"); }};
  const int result = prune_acting(store);
  ASSERT_TRUE(g_on_open.fired);
  EXPECT_EQ(result, 0);
  for (const std::string& chunk : listed_chunks(store + "/a/b.bin")) {
    EXPECT_TRUE(fs::exists(chunk)) << "lost " << chunk;
  }
  EXPECT_EQ(dictionary(store).size(), 4u);
}

// What others do to the tree while prune reads it, and what must be left.
struct TreeRace {
  const char* what;
  std::vector<std::string> maps;  // in the store, two chunks of their own each
  std::function<void(const std::string& store, const std::string& out)> prepare;
  std::string trigger;  // below the store; empty: nothing happens during the prune
  int nth;              // of its opens; 2 and up: just after the open
  std::function<void(const std::string& store, const std::string& out)> act;
  int result;
  std::vector<std::string> kept;  // of `maps`: their chunks survive
  size_t chunks_after;
};

TEST(PruneFaults, TreeChangedDuringTheWalkKeepsEveryMapThatIsThere) {
  const std::vector<TreeRace> races = {
      {"the only map moves from a folder not read yet into one read already",
       {"a/x", "z/m"},
       [](const std::string& s, const std::string&) { fs::remove(s + "/a/x"); },
       "/z", 1,
       [](const std::string& s, const std::string&) { fs::rename(s + "/z/m", s + "/a/m"); },
       0, {"z/m"}, 2},
      {"once b is read, mv x b: a map of the same size and time",
       {"b", "x"},
       [](const std::string& s, const std::string& out) {
         fs::last_write_time(s + "/x", fs::last_write_time(s + "/b"));
         fs::rename(s + "/x", out + "/x");
       },
       "/b", 2,
       [](const std::string& s, const std::string& out) { fs::rename(out + "/x", s + "/b"); },
       0, {"b", "x"}, 4},
      {"the folder of the only map is renamed behind the walk",
       {"m/x", "z/y"},
       [](const std::string& s, const std::string&) { fs::remove(s + "/m/x"); },
       "/m", 1,
       [](const std::string& s, const std::string&) { fs::rename(s + "/z", s + "/b"); },
       0, {"z/y"}, 2},
      {"a map is added where the walk has been and the only one is deleted",
       {"a/x", "z/old", "new"},
       [](const std::string& s, const std::string& out) {
         fs::remove(s + "/a/x");
         fs::rename(s + "/new", out + "/new");
       },
       "/z", 1,
       [](const std::string& s, const std::string& out) {
         fs::rename(out + "/new", s + "/a/new");
         fs::remove(s + "/z/old");
       },
       0, {"new"}, 2},
      {"a whole map under a temporary name, and a cut one",
       {"m", "cut"},
       [](const std::string& s, const std::string&) {
         fs::rename(s + "/m", s + "/.zuvo-tmp-x");
         fs::resize_file(s + "/cut", 100);
         fs::rename(s + "/cut", s + "/a/.zuvo-tmp-y");
       },
       "", 0, nullptr, 0, {"m"}, 2},
      {"a link whose target cannot be reached",
       {"m", "gone"},
       [](const std::string& s, const std::string& out) {
         fs::remove(s + "/gone");
         fs::create_symlink(out + "/nowhere", s + "/a/lost");
       },
       "", 0, nullptr, ERR_ACCESS_DENIED, {"m", "gone"}, 4},
  };
  uint32_t seed = 1;
  for (const TreeRace& race : races) {
    SCOPED_TRACE(race.what);
    TestFolder t;
    ScratchPool pool;
    const std::string store = t.at("s"), out = t.at("out");
    ASSERT_EQ(store_create(nullptr, &pool, nullptr, store.c_str(), K, 0, 1, 2), 0);
    fs::create_directories(store + "/a");
    fs::create_directories(out);
    std::map<std::string, std::vector<std::string>> listed;
    for (const std::string& map : race.maps) {
      fs::create_directories(fs::path(store + "/" + map).parent_path());
      write_chunks(t.at("data"), seed, 2);
      seed += 2;
      ASSERT_EQ(copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, t.at("data").c_str(),
                          (store + "/" + map).c_str(), nullptr, nullptr),
                0);
      listed[map] = listed_chunks(store + "/" + map);
    }
    race.prepare(store, out);
    g_on_open = {race.trigger.empty() ? "" : store + race.trigger, [&] { race.act(store, out); },
                 race.nth, race.nth > 1};
    EXPECT_EQ(prune_acting(store), race.result);
    EXPECT_EQ(g_on_open.fired, !race.trigger.empty());
    for (const std::string& map : race.kept) {
      for (const std::string& chunk : listed[map]) EXPECT_TRUE(fs::exists(chunk)) << map;
    }
    EXPECT_EQ(dictionary(store).size(), race.chunks_after);
    if (race.result == 0) {
      EXPECT_FALSE(fs::exists(store + "/.zuvo-tmp-x"));
      EXPECT_FALSE(fs::exists(store + "/a/.zuvo-tmp-y"));
    }
  }
}

// Deletions in two chunk folders fail; the later folder fails first.
std::string g_fail_early, g_fail_late;

int failing_remove(const OsNativeName* name) {
  const std::string path = name->bytes ? name->bytes : "";
  if (path.rfind(g_fail_late, 0) == 0) return ERR_SHARING_VIOLATION;
  if (path.rfind(g_fail_early, 0) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return ERR_ACCESS_DENIED;
  }
  return FILE_PLATFORM_REAL.remove(name);
}

TEST(PruneFaults, ADeleteErrorAmongManyFoldersIsTheEarliestAndCountsStayExact) {
  // The sweep deletes in several folders at once: whichever fails first in
  // time, the error reported is the earliest folder's, every folder before it
  // is swept whole, and the summary counts what is gone.
  TestFolder t;
  ScratchPool pool;
  const std::string store = t.at("s");
  ASSERT_EQ(store_create(nullptr, &pool, nullptr, store.c_str(), K, 0, 1, 2), 0);
  write_chunks(t.at("a.bin"), 100, 64);
  ASSERT_EQ(copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, t.at("a.bin").c_str(),
                      (store + "/a.bin").c_str(), nullptr, nullptr),
            0);
  std::set<std::string> chunks;
  for (const std::string& chunk : listed_chunks(store + "/a.bin")) chunks.insert(chunk);
  std::set<std::string> folders;
  for (const std::string& chunk : chunks) folders.insert(fs::path(chunk).parent_path().string());
  ASSERT_GE(folders.size(), 20u);
  fs::remove(store + "/a.bin");
  g_fail_early = *std::next(folders.begin(), 3) + "/";
  g_fail_late = *std::prev(folders.end(), 2) + "/";
  const std::string first_failing = *chunks.lower_bound(g_fail_early);

  const std::string capture = t.at("stdout.txt");
  OsHandle out = OS_NO_HANDLE;
  ASSERT_EQ(create_file(&out, capture.c_str(), OPEN_TRUNCATE), 0);
  const OsHandle saved = os_standard_handle(1);
  os_standard_handle_set(1, out);
  FilePlatform failing = FILE_PLATFORM_REAL;
  failing.remove = failing_remove;
  const FilePlatform* previous = file_platform_swap_for_test(&failing);
  std::string word = "prune", folder = store;
  char* argv[] = {word.data(), folder.data(), nullptr};
  const int result = prune_command(2, argv);
  file_platform_swap_for_test(previous);
  os_standard_handle_set(1, saved);
  close_handle(out);

  EXPECT_EQ(result, ERR_ACCESS_DENIED);
  EXPECT_EQ(exit_code_for_error(result), 5);
  size_t gone = 0;
  for (const std::string& chunk : chunks) {
    const bool exists = fs::exists(chunk);
    gone += !exists;
    if (chunk < g_fail_early) {
      EXPECT_FALSE(exists) << chunk;
    } else if (chunk.rfind(g_fail_early, 0) == 0 || chunk.rfind(g_fail_late, 0) == 0) {
      EXPECT_TRUE(exists) << chunk;
    }
  }
  std::ifstream in(capture);
  const std::string printed((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string removed = "chunk files removed: " + std::to_string(gone) + " (" +
                              std::to_string(gone * K) + " bytes freed)\n";
  const std::string error = "ERROR: Unable to delete file \"" + first_failing + "\"\n";
  const size_t at = printed.find(removed);
  EXPECT_NE(at, std::string::npos) << printed;
  EXPECT_NE(printed.find(error, at), std::string::npos) << printed;
}

}  // namespace
