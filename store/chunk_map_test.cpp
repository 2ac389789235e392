#include "store/chunk_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "base/test_folder.h"
#include "store/store.h"

namespace {

void write_all(const std::string& path, const std::vector<unsigned char>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

StoreInfo* make_store(TestFolder& tmp, uint64_t chunk_size) {
  StoreInfo* store = nullptr;
  ScratchPool pool;
  EXPECT_EQ(store_create(&store, &pool, nullptr, tmp.at("s").c_str(), chunk_size, 0, 1, 2), 0);
  return store;
}

std::vector<unsigned char> image_of(const ChunkMap* map) {
  return std::vector<unsigned char>(map->image, map->image + map->image_size);
}

// The image of a fresh map of a plain file of `file_size` bytes, for a store
// of `chunk_size` chunks.
std::vector<unsigned char> fresh_image(TestFolder& tmp, uint64_t chunk_size, uint64_t file_size) {
  ScratchPool pool;
  StoreInfo* store = make_store(tmp, chunk_size);
  ChunkMap* map = nullptr;
  EXPECT_EQ(chunk_map_new(&map, &pool, nullptr, store, file_size, "x"), 0);
  std::vector<unsigned char> image = map ? image_of(map) : std::vector<unsigned char>{};
  chunk_map_release(map);
  store_release(store);
  return image;
}

TEST(ChunkMap, FileSizeRule) {
  struct Case {
    uint64_t count;
    uint64_t size;
  } cases[] = {{0, 1987}, {60, 1987}, {61, 4035}, {124, 4035}, {125, 6083}, {188, 6083},
               {189, 8131}, {33554432, 1073743811}};
  for (const Case& c : cases) EXPECT_EQ(chunk_map_file_size(c.count), c.size) << c.count;
  for (uint64_t count = 0; count < 5000; count += 7) {
    const uint64_t n = chunk_map_file_size(count);
    EXPECT_EQ(n % 2048, 1987u);
    EXPECT_GE(n, 64 + 32 * count);
    EXPECT_TRUE(n < 2048 || n - 2048 < 64 + 32 * count);  // the smallest such size
  }
}

TEST(ChunkMap, NewImageHeaderAndRoundTrip) {
  TestFolder tmp;
  StoreInfo* store = make_store(tmp, 4096);
  ASSERT_NE(store, nullptr);
  ScratchPool pool;
  struct Case {
    uint64_t file_size;
    uint64_t count;
    uint64_t image_size;
  } cases[] = {{0, 0, 1987},        {1, 1, 1987},          {4096, 1, 1987},
               {60 * 4096, 60, 1987}, {60 * 4096 + 1, 61, 4035}, {124 * 4096, 124, 4035},
               {125 * 4096, 125, 6083}};
  for (const Case& c : cases) {
    ChunkMap* map = nullptr;
    ASSERT_EQ(chunk_map_new(&map, &pool, nullptr, store, c.file_size, "x"), 0);
    EXPECT_EQ(map->chunk_count, c.count);
    EXPECT_EQ(map->image_size, c.image_size);
    EXPECT_EQ(map->chunk_shift, 12u);
    unsigned char expected_header[64] = {'z', 'u', 'v', 'o', '1', '.', 'f', '\n'};
    for (int i = 0; i < 8; i++) expected_header[8 + i] = static_cast<unsigned char>(c.file_size >> (8 * i));
    expected_header[16 + 1] = 0x10;  // 4096 little-endian
    expected_header[20] = 32;
    expected_header[21] = 1;
    EXPECT_EQ(std::memcmp(map->image, expected_header, 64), 0);
    // Distinct slot contents, written out and read back.
    for (uint64_t i = 0; i < c.count; i++) {
      unsigned char hash[32];
      std::memset(hash, static_cast<int>(i + 1), sizeof hash);
      chunk_map_set_hash(map, i * 4096, hash);
    }
    const std::string path = tmp.at("map" + std::to_string(c.file_size));
    write_all(path, image_of(map));
    ChunkMap* back = nullptr;
    ASSERT_EQ(chunk_map_open(&back, &pool, nullptr, path.c_str()), 0) << c.file_size;
    EXPECT_EQ(image_of(back), image_of(map));
    EXPECT_EQ(back->file_size, c.file_size);
    EXPECT_EQ(back->chunk_count, c.count);
    if (c.count > 3) {
      unsigned char hash[32];
      chunk_map_get_hash(back, 3 * 4096, hash);
      EXPECT_EQ(std::memcmp(hash, back->image + 160, 32), 0);
      EXPECT_EQ(hash[0], 4);
    }
    chunk_map_release(back);
    chunk_map_release(map);
  }
  store_release(store);
}

TEST(ChunkMap, OpenRejectsInOrder) {
  TestFolder tmp;
  ScratchPool pool;
  const std::vector<unsigned char> good = fresh_image(tmp, 65536, 200000);
  ASSERT_FALSE(good.empty());
  ChunkMap* map = nullptr;

  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    int rc;
    const char* text;  // before the quoted path
  };
  auto with = [&](size_t offset, std::vector<unsigned char> patch) {
    std::vector<unsigned char> b = good;
    std::copy(patch.begin(), patch.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
    return b;
  };
  std::vector<unsigned char> appended = good;
  appended.push_back(0);
  std::vector<unsigned char> cut(good.begin(), good.end() - 1);
  const std::vector<unsigned char> magic_only(good.begin(), good.begin() + 8);
  const Case cases[] = {
      {"short", {'z', 'u', 'v'}, 1305, "Not in zuvo format"},
      {"magic", with(0, {'Z'}), 1305, "Not in zuvo format"},
      {"magic only", magic_only, 1305, "Unsupported hash type 0 0"},
      {"hash size", with(20, {31}), 1305, "Unsupported hash type 31 1"},
      {"hash type", with(21, {2}), 1305, "Unsupported hash type 32 2"},
      {"chunk 4095", with(16, {0xFF, 0x0F, 0, 0}), 1305, "Unsupported chunk size 0x4095"},
      {"chunk 6144", with(16, {0x00, 0x18, 0, 0}), 1305, "Unsupported chunk size 0x6144"},
      {"chunk 64M", with(16, {0, 0, 0, 4}), 1305, "Unsupported chunk size 0x67108864"},
      {"too many", with(8, {0, 0, 0, 0, 0, 0x20, 0, 0}), 1305, "Unsupported too many chunks"},
      // A size near 2^64 must not wrap round to a small chunk count.
      {"huge", with(8, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), 1305,
       "Unsupported too many chunks"},
      {"appended", appended, 1305, "Bad zuvo file size"},
      {"cut", cut, 1305, "Bad zuvo file size"},
      {"other size", with(8, {0, 0, 0, 0, 1}), 1305, "Bad zuvo file size"},
  };
  for (const Case& c : cases) {
    const std::string path = tmp.at(c.what);
    write_all(path, c.bytes);
    const char* err = nullptr;
    map = reinterpret_cast<ChunkMap*>(1);
    EXPECT_EQ(chunk_map_open(&map, &pool, &err, path.c_str()), c.rc) << c.what;
    EXPECT_EQ(map, nullptr);
    EXPECT_EQ(std::string(err ? err : ""), std::string(c.text) + " \"" + path + "\"") << c.what;
  }
  // Reserved bytes do not matter.
  const std::string path = tmp.at("reserved");
  write_all(path, with(30, {1, 2, 3}));
  EXPECT_EQ(chunk_map_open(&map, &pool, nullptr, path.c_str()), 0);
  chunk_map_release(map);
  const char* err = nullptr;
  EXPECT_EQ(chunk_map_open(&map, &pool, &err, tmp.at("missing").c_str()), 2);
  EXPECT_EQ(std::string(err), "Unable to open file \"" + tmp.at("missing") + "\"");
}

// Regression: a map cut short, with its size field spoiled or a byte appended
// was taken for plain data, so a copy restored the map's own bytes.
TEST(ChunkMap, RecognizeTellsPlainValidAndDamaged) {
  TestFolder tmp;
  ScratchPool pool;
  const std::vector<unsigned char> good = fresh_image(tmp, 4096, 300000);
  ASSERT_FALSE(good.empty());
  ChunkMap* map = nullptr;

  std::vector<unsigned char> spoiled = good;
  spoiled[10] ^= 0x40;  // a thousand chunks more
  std::vector<unsigned char> added = good;
  added.push_back(0);
  const std::vector<unsigned char> cut(good.begin(), good.end() - 1);
  std::vector<unsigned char> near = good;  // the magic but one byte
  near[7] = '\r';
  struct Case {
    const char* what;
    std::vector<unsigned char> bytes;
    int rc;
    bool is_map;
    const char* why;  // after "Damaged chunk map \"path\": "
  } cases[] = {
      {"empty", {}, 0, false, nullptr},
      {"plain", {'h', 'e', 'l', 'l', 'o'}, 0, false, nullptr},
      {"near", near, 0, false, nullptr},
      {"valid", good, 0, true, nullptr},
      {"cut", cut, 1305, false, "bad zuvo file size"},
      {"spoiled", spoiled, 1305, false, "bad zuvo file size"},
      {"added", added, 1305, false, "bad zuvo file size"},
      {"magic prefix", {'z', 'u', 'v', 'o', '1'}, 1305, false, "bad zuvo file size"},
      {"magic only", {good.begin(), good.begin() + 8}, 1305, false, "unsupported hash type 0 0"},
  };
  for (const Case& c : cases) {
    const std::string path = tmp.at(c.what);
    write_all(path, c.bytes);
    for (const bool load : {true, false}) {
      bool is_map = !c.is_map;
      map = reinterpret_cast<ChunkMap*>(1);
      ChunkMapHeader header{};
      header.image_size = 1;  // must be cleared where no map is found
      const char* err = nullptr;
      EXPECT_EQ(chunk_map_recognize(&is_map, load ? &map : nullptr, &header, &pool, &err,
                                    path.c_str()),
                c.rc)
          << c.what;
      EXPECT_EQ(is_map, c.is_map) << c.what;
      EXPECT_EQ(header.image_size, c.is_map ? good.size() : 0) << c.what;
      EXPECT_EQ(header.file_size, c.is_map ? 300000u : 0) << c.what;
      const std::string text = c.why ? "Damaged chunk map \"" + path + "\": " + c.why : "";
      EXPECT_EQ(std::string(err ? err : ""), text) << c.what;
      if (!load) continue;
      if (c.is_map) {
        ASSERT_NE(map, nullptr);
        EXPECT_EQ(image_of(map), good);
        chunk_map_release(map);
      } else {
        EXPECT_EQ(map, nullptr) << c.what;
      }
    }
  }
  bool is_map = true;
  const char* err = nullptr;
  EXPECT_EQ(chunk_map_recognize(&is_map, &map, nullptr, &pool, &err, tmp.at("missing").c_str()),
            2);
  EXPECT_FALSE(is_map);
  EXPECT_EQ(std::string(err ? err : ""), "Unable to open file \"" + tmp.at("missing") + "\"");
}

TEST(ChunkMap, NewRefusesTooManyChunks) {
  TestFolder tmp;
  ScratchPool pool;
  StoreInfo* store = make_store(tmp, 4096);
  ChunkMap* map = nullptr;
  const char* err = nullptr;
  EXPECT_EQ(chunk_map_new(&map, &pool, &err, store, 33554432ull * 4096 + 1, "big"), 1305);
  EXPECT_STREQ(err, "Unsupported too many chunks \"big\"");
  EXPECT_EQ(chunk_map_new(&map, &pool, &err, store, UINT64_MAX, "big"), 1305);
  store_release(store);
}

}  // namespace
