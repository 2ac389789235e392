// verify run in-process while a copy stores a damaged chunk anew behind its
// back (the file layer's calls hooked to do so at the worst moments), and
// what verify -a makes of folders in the dictionary and of links that lead
// nowhere.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "base/test_folder.h"
#include "copy/commands.h"
#include "copy/copy_pipeline.h"
#include "store/chunk_file.h"
#include "store/chunk_map.h"
#include "store/store.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t K = 8192;

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_all(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

// A store holding the two random chunks of map m.img; *out_chunk receives the
// path of the first chunk file.
void make_store(const TestFolder& t, std::string* out_chunk) {
  ScratchPool pool;
  const std::string store = t.at("s");
  ASSERT_EQ(store_create(nullptr, &pool, nullptr, store.c_str(), K, 0, 1, 2), 0);
  std::string data(2 * K, 0);
  std::mt19937 rng(7);
  for (char& c : data) c = static_cast<char>(rng());
  write_all(t.at("m.bin"), data);
  ASSERT_EQ(copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, t.at("m.bin").c_str(),
                      (store + "/m.img").c_str(), nullptr, nullptr),
            0);
  ChunkMap* map = nullptr;
  StoreInfo* info = nullptr;
  ASSERT_EQ(chunk_map_open(&map, &pool, nullptr, (store + "/m.img").c_str()), 0);
  ASSERT_EQ(store_locate(&info, &pool, nullptr, store.c_str()), 0);
  char path[CHUNK_FILE_PATH_SIZE];
  ASSERT_NE(chunk_file_path(info, map->image + CHUNK_MAP_HEADER_SIZE, path, sizeof path, nullptr),
            0u);
  *out_chunk = path;
  chunk_map_release(map);
  store_release(info);
}

// Runs verify with `switches` on the store folder; returns its result and
// stores what it printed.
int run_verify(const TestFolder& t, const char* switches, std::string* out_text) {
  const std::string capture = t.at("stdout.txt");
  OsHandle out = OS_NO_HANDLE;
  EXPECT_EQ(create_file(&out, capture.c_str(), OPEN_TRUNCATE), 0);
  const OsHandle saved = os_standard_handle(1);
  os_standard_handle_set(1, out);
  std::string word = "verify", flag = switches, folder = t.at("s");
  char* argv[] = {word.data(), flag.data(), folder.data(), nullptr};
  const int result = verify_command(3, argv);
  os_standard_handle_set(1, saved);
  close_handle(out);
  *out_text = read_all(capture);
  return result;
}

// The chunk file that a copy stores anew, and the good bytes it writes.
struct Republish {
  std::string chunk, good;
  bool on_rename;              // at the rename that moves it aside, else at its second open
  std::atomic<int> opens{0};   // of the chunk's name
  std::atomic<bool> done{false};
};
Republish g_republish;

std::string name_text(const OsNativeName* name) { return name->bytes ? name->bytes : ""; }

// Publishes the good chunk over the damaged one, as a copy does: a whole
// temporary file renamed over the name.
void republish() {
  if (g_republish.done.exchange(true)) return;
  const std::string temp = g_republish.chunk + ".zuvo-tmp-test";
  write_all(temp, g_republish.good);
  fs::rename(temp, g_republish.chunk);
}

int republishing_create(const OsNativeName* name, uint32_t access, uint32_t share,
                        uint32_t attributes, uint32_t disposition, uint32_t options,
                        OsHandle* out_handle, uint32_t* out_information) {
  if (!g_republish.on_rename && name_text(name) == g_republish.chunk &&
      ++g_republish.opens == 2) {
    republish();
  }
  return FILE_PLATFORM_REAL.create(name, access, share, attributes, disposition, options,
                                   out_handle, out_information);
}

int republishing_rename(const OsNativeName* from, const OsNativeName* to, bool replace) {
  if (g_republish.on_rename && name_text(from) == g_republish.chunk) republish();
  return FILE_PLATFORM_REAL.rename(from, to, replace);
}

TEST(VerifyRepair, AChunkStoredAgainBeforeTheMoveStaysInPlace) {
  for (const bool on_rename : {false, true}) {
    SCOPED_TRACE(on_rename ? "stored again at the rename" : "stored again before the recheck");
    TestFolder t;
    std::string chunk;
    make_store(t, &chunk);
    g_republish.chunk = chunk;
    g_republish.good = read_all(chunk);
    g_republish.on_rename = on_rename;
    g_republish.opens = 0;
    g_republish.done = false;
    // Cut: a size no chunk can have, which a copy replaces.
    write_all(chunk, g_republish.good.substr(0, 100));

    FilePlatform hooked = FILE_PLATFORM_REAL;
    hooked.create = republishing_create;
    hooked.rename = republishing_rename;
    const FilePlatform* previous = file_platform_swap_for_test(&hooked);
    std::string text;
    const int result = run_verify(t, "-r", &text);
    file_platform_swap_for_test(previous);

    ASSERT_TRUE(g_republish.done);
    EXPECT_EQ(result, 0) << text;
    EXPECT_TRUE(read_all(chunk) == g_republish.good);
    for (const auto& e : fs::directory_iterator(fs::path(chunk).parent_path())) {
      EXPECT_EQ(e.path().string().find(".damaged"), std::string::npos) << e.path();
    }
  }
}

TEST(VerifyReports, FoldersInTheDictionaryAndLinksThatLeadNowhere) {
  TestFolder t;
  std::string chunk;
  make_store(t, &chunk);
  // A folder verify -r moved aside from a chunk's name is kept aside, not
  // stray; another folder there is stray.
  fs::create_directory(chunk + ".damaged");
  std::string text;
  EXPECT_EQ(run_verify(t, "-a", &text), 0) << text;
  EXPECT_NE(text.find("damaged chunk files kept aside: 1"), std::string::npos) << text;
  const std::string stray = fs::path(chunk).parent_path().string() + "/stray";
  fs::create_directory(stray);
  EXPECT_EQ(run_verify(t, "-a", &text), ERR_PROBLEMS_FOUND) << text;
  EXPECT_NE(text.find("stray folder \"" + stray + "\""), std::string::npos) << text;
  fs::remove(stray);

  const std::string link = t.at("s/sub/gone.img");
  fs::create_directories(t.at("s/sub"));
  fs::create_symlink(t.at("nowhere"), link);
  EXPECT_EQ(run_verify(t, "-a", &text), ERR_PROBLEMS_FOUND) << text;
  EXPECT_NE(text.find("\"" + link + "\""), std::string::npos) << text;
  EXPECT_NE(text.find("1 problem\n"), std::string::npos) << text;
}

}  // namespace
