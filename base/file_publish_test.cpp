// Temporary files, exclusive and replacing renames, and the flushes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "base/test_folder.h"
#include "base/transfer.h"

namespace {

std::string read_all(const std::string& path) {
  std::vector<char> buffer(1 << 16);
  size_t n = 0;
  if (read_whole_file(path.c_str(), buffer.data(), buffer.size(), &n) != 0) return "<missing>";
  return std::string(buffer.data(), n);
}

void put(const std::string& path, const std::string& text) {
  ASSERT_EQ(write_whole_file(path.c_str(), text.data(), text.size()), 0) << path;
}

// An exclusive rename must refuse a taken name and keep both files as they
// were; a bug here would let a late writer replace a published chunk.
TEST(RenameFile, ExclusiveAndReplacing) {
  TestFolder dir;
  const std::string a = dir.at("a"), b = dir.at("b"), c = dir.at("c");
  put(a, "first");
  put(b, "second");
  EXPECT_EQ(rename_file(a.c_str(), b.c_str(), false), ERR_ALREADY_EXISTS);
  EXPECT_EQ(read_all(a), "first");
  EXPECT_EQ(read_all(b), "second");

  EXPECT_EQ(rename_file(a.c_str(), c.c_str(), false), 0);
  EXPECT_EQ(read_all(a), "<missing>");
  EXPECT_EQ(read_all(c), "first");

  EXPECT_EQ(rename_file(c.c_str(), b.c_str(), true), 0);
  EXPECT_EQ(read_all(c), "<missing>");
  EXPECT_EQ(read_all(b), "first");

  const struct {
    std::string from, to;
    int rc;
  } errors[] = {
      {dir.at("missing"), dir.at("x"), ERR_FILE_NOT_FOUND},
      {dir.at("no/missing"), dir.at("x"), ERR_PATH_NOT_FOUND},
      {b, dir.at("no/x"), ERR_PATH_NOT_FOUND},
      {"", b, ERR_INVALID_NAME},
  };
  for (const auto& e : errors) {
    EXPECT_EQ(rename_file(e.from.c_str(), e.to.c_str(), false), e.rc) << e.from << " " << e.to;
    EXPECT_EQ(rename_file(e.from.c_str(), e.to.c_str(), true), e.rc) << e.from << " " << e.to;
  }
  EXPECT_EQ(read_all(b), "first");
}

// A replacing rename is one step: a reader that keeps opening the target
// always finds it, whole, with the old or the new content.
TEST(RenameFile, ReplacingIsAtomicForReaders) {
  TestFolder dir;
  const std::string target = dir.at("target");
  const std::string old_text(5000, 'o'), new_text(7000, 'n');
  put(target, old_text);
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::thread reader([&] {
    while (!stop.load()) {
      const std::string seen = read_all(target);
      if (seen != old_text && seen != new_text) ++bad;
    }
  });
  for (int i = 0; i < 300; ++i) {
    const std::string temp = dir.at("t" + std::to_string(i));
    put(temp, i % 2 ? old_text : new_text);
    ASSERT_EQ(rename_file(temp.c_str(), target.c_str(), true), 0);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(bad.load(), 0);
}

// Temporary names are distinct across threads, lie in the folder, begin with
// the marker, and each create is a new file.
TEST(CreateTempFile, UniqueAcrossThreads) {
  TestFolder dir;
  constexpr int THREADS = 8, EACH = 50;
  std::vector<std::vector<std::string>> names(THREADS);
  std::vector<std::thread> threads;
  for (int t = 0; t < THREADS; ++t) {
    threads.emplace_back([&, t] {
      ScratchPool pool;
      for (int i = 0; i < EACH; ++i) {
        OsHandle h = OS_NO_HANDLE;
        char* path = nullptr;
        if (create_temp_file(&h, &pool, dir.path.c_str(), 0x0600, &path) != 0) return;
        uint64_t size = 1;
        if (file_size(h, &size) == 0 && size == 0) names[t].push_back(path);
        close_handle(h);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::string> all;
  const std::string prefix = dir.path + "/.zuvo-tmp-";
  for (const auto& list : names) {
    EXPECT_EQ(list.size(), size_t{EACH});
    for (const std::string& n : list) {
      EXPECT_EQ(n.compare(0, prefix.size(), prefix), 0) << n;
      EXPECT_TRUE(all.insert(n).second) << "duplicate " << n;
    }
  }
  EXPECT_EQ(all.size(), size_t{THREADS * EACH});
}

// A name taken by someone else (a process of the same id before) is skipped,
// never opened: opening it would hand two writers the same file.
TEST(CreateTempFile, SkipsTakenNamesAndFailsCleanly) {
  TestFolder dir;
  ScratchPool pool;
  OsHandle h = OS_NO_HANDLE;
  char* first = nullptr;
  ASSERT_EQ(create_temp_file(&h, &pool, dir.path.c_str(), 0, &first), 0);
  close_handle(h);
  // The name ends in the counter, in hexadecimal; take the next few.
  const std::string name(first);
  const size_t dash = name.rfind('-');
  const unsigned long long serial = std::stoull(name.substr(dash + 1), nullptr, 16);
  for (unsigned long long s = serial + 1; s <= serial + 3; ++s) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%llx", s);
    put(name.substr(0, dash + 1) + hex, "taken");
  }
  char* next = nullptr;
  ASSERT_EQ(create_temp_file(&h, &pool, dir.path.c_str(), OPEN_TRUNCATE, &next), 0);
  uint64_t size = 1;
  EXPECT_EQ(file_size(h, &size), 0);
  EXPECT_EQ(size, 0u) << "a taken name was opened";
  close_handle(h);
  EXPECT_NE(std::string(next), name);
  for (unsigned long long s = serial + 1; s <= serial + 3; ++s) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%llx", s);
    EXPECT_EQ(read_all(name.substr(0, dash + 1) + hex), "taken");
  }

  const struct {
    std::string folder;
    int rc;
  } errors[] = {{dir.at("missing"), ERR_PATH_NOT_FOUND}, {"", ERR_INVALID_NAME}};
  for (const auto& e : errors) {
    char* path = first;
    h = 99;
    EXPECT_EQ(create_temp_file(&h, &pool, e.folder.c_str(), 0, &path), e.rc) << e.folder;
    EXPECT_EQ(h, OS_NO_HANDLE);
    EXPECT_EQ(path, nullptr);
  }
}

TEST(SyncFile, FilesFoldersAndOthers) {
  TestFolder dir;
  const std::string f = dir.at("f");
  OsHandle h = OS_NO_HANDLE;
  ASSERT_EQ(create_file(&h, f.c_str(), 0), 0);
  size_t moved = 0;
  ASSERT_EQ(write_file(h, "data", 4, &moved), 0);
  EXPECT_EQ(sync_file(h), 0);
  close_handle(h);
  EXPECT_EQ(sync_file(OS_NO_HANDLE), ERR_INVALID_HANDLE);
  OsHandle r = OS_NO_HANDLE, w = OS_NO_HANDLE;
  ASSERT_EQ(os_pipe_create(&r, &w), 0);
  EXPECT_EQ(sync_file(w), 0) << "a pipe has nothing to flush";
  close_handle(r);
  close_handle(w);

  EXPECT_EQ(sync_folder(dir.path.c_str()), 0);
  EXPECT_EQ(sync_folder(dir.at("missing").c_str()), ERR_FILE_NOT_FOUND);
  EXPECT_EQ(sync_folder(dir.at("no/missing").c_str()), ERR_PATH_NOT_FOUND);
  EXPECT_EQ(sync_folder(""), ERR_INVALID_NAME);
}

}  // namespace
