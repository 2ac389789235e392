// An ingest over the recording platform: the calls that make the chunk files
// durable are made, and made before the chunk map takes its name. Runs on
// every platform, the Windows build under Wine included.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/test_folder.h"
#include "copy/copy_pipeline.h"
#include "platform/fault/fault_platform.h"
#include "store/store.h"
#include "tests/fault/fault_tables.h"

namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(DurablePublication, ChunkFilesAreDurableBeforeTheMapTakesItsName) {
  constexpr uint64_t K = 8192;
  TestFolder dir;
  ScratchPool pool;
  ASSERT_EQ(store_create(nullptr, &pool, nullptr, dir.at("s").c_str(), K, 0, 1, 2), 0);
  std::vector<uint8_t> data(3 * K);
  std::mt19937 rng(7);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  ASSERT_EQ(write_whole_file(dir.at("src").c_str(), data.data(), data.size()), 0);
  const std::string sep = TestFolder::test_separator();
  const std::string meta = sep + STORE_META_FOLDER + sep;
  const std::string map_tail = sep + "s" + sep + "m";

  std::vector<FaultCall> calls;
  {
    FaultTables tables;
    fault_arm(FAULT_OPEN, 0, 0);
    fault_log_start(true);
    EXPECT_EQ(copy_file(&pool, nullptr, nullptr, COPY_DEFAULT_OPTIONS, dir.at("src").c_str(),
                        dir.at("s" + sep + "m").c_str(), nullptr, nullptr),
              0);
    for (size_t i = 0; i < fault_log_count(); i++) calls.push_back(fault_log_at(i));
    fault_log_start(false);
  }

  // Chunk temporaries are write-through (what makes them durable on Windows).
  int chunk_creates = 0;
  int chunk_renames = 0;
  size_t last_chunk_rename = 0;
  size_t map_rename = 0;
  for (size_t i = 0; i < calls.size(); i++) {
    const std::string path = calls[i].path;
    const bool in_dictionary = path.find(meta) != std::string::npos;
    if (calls[i].kind == FAULT_CREATE && in_dictionary && path.find(".zuvo-tmp-") != std::string::npos) {
      ++chunk_creates;
      EXPECT_TRUE(calls[i].options & OS_OPTION_WRITE_THROUGH) << path;
    }
    if (calls[i].kind == FAULT_RENAME && in_dictionary) {
      ++chunk_renames;
      last_chunk_rename = i;
    }
    if (calls[i].kind == FAULT_RENAME && ends_with(path, map_tail)) map_rename = i;
  }
  EXPECT_GE(chunk_creates, 3);  // a first try fails where the dictionary folders are missing
  EXPECT_EQ(chunk_renames, 3);
  ASSERT_GT(map_rename, last_chunk_rename);
  // One file system: exactly one flush between the last chunk and the map's
  // rename, on the map's temporary file.
  int flushes = 0;
  for (size_t i = last_chunk_rename; i < map_rename; i++) {
    if (calls[i].kind != FAULT_SYNC) continue;
    ++flushes;
    EXPECT_NE(std::string(calls[i].path).find(sep + "s" + sep + ".zuvo-tmp-"), std::string::npos)
        << calls[i].path;
  }
  EXPECT_EQ(flushes, 1);
}

}  // namespace
