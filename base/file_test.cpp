#include "base/file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/err.h"
#include "base/test_folder.h"
#include "base/transfer.h"

namespace {

// The mode arithmetic for every mode the program uses.
TEST(FileRequest, ProgramModes) {
  struct Case {
    uint32_t mode;
    FileRequest want;
  } cases[] = {
      {0x0003, {0x120089, 7, 6, OS_DISPOSITION_OPEN, 0x20}},
      {0x0403, {0x020089, 7, 6, OS_DISPOSITION_OPEN, 0x00}},
      {0x0603, {0x020089, 7, 6, OS_DISPOSITION_OPEN, 0x08}},
      {0x008C, {0x12019A, 5, 0x80, OS_DISPOSITION_OPEN_IF, 0x20}},
      {0x060F, {0x02019B, 5, 6, OS_DISPOSITION_OPEN, 0x08}},
      {0x000F, {0x12019B, 5, 6, OS_DISPOSITION_OPEN, 0x20}},
      {OPEN_TRUNCATE, {0x12008A, 5, 0x80, OS_DISPOSITION_OVERWRITE, 0x20}},
      {OPEN_CREATE | OPEN_TRUNCATE, {0x12019A, 5, 0x80, OS_DISPOSITION_OVERWRITE_IF, 0x20}},
      {OPEN_WRITE | OPEN_SHARE_ALL | OPEN_DENY_WRITE, {0x12008A, 5, 6, OS_DISPOSITION_OPEN, 0x20}},
      {OPEN_READ | OPEN_APPEND, {0x12008C, 5, 6, OS_DISPOSITION_OPEN, 0x20}},
      {OPEN_EXECUTE | OPEN_REPARSE_POINT, {0x1200A8, 7, 6, OS_DISPOSITION_OPEN, 0x200020}},
  };
  for (const Case& c : cases) {
    const FileRequest r = open_file_request(c.mode);
    EXPECT_EQ(r.access, c.want.access) << std::hex << c.mode;
    EXPECT_EQ(r.share, c.want.share) << std::hex << c.mode;
    EXPECT_EQ(r.attributes, c.want.attributes) << std::hex << c.mode;
    EXPECT_EQ(r.disposition, c.want.disposition) << std::hex << c.mode;
    EXPECT_EQ(r.options, c.want.options) << std::hex << c.mode;
  }
  const FileRequest chunk = create_file_request(0x0600);
  EXPECT_EQ(chunk.access, 0x02019Bu);
  EXPECT_EQ(chunk.share, 5u);
  EXPECT_EQ(chunk.attributes, 0x20u);
  EXPECT_EQ(chunk.disposition, OS_DISPOSITION_CREATE);
  EXPECT_EQ(chunk.options, 0x48u);
  const FileRequest map = create_file_request(0);
  EXPECT_EQ(map.access, 0x12019Bu);
  EXPECT_EQ(map.options, 0x60u);
  EXPECT_EQ(create_file_request(OPEN_TRUNCATE | OPEN_SHARE_ALL).disposition,
            OS_DISPOSITION_SUPERSEDE);
  EXPECT_EQ(create_file_request(OPEN_TRUNCATE | OPEN_SHARE_ALL).share, 7u);
}

std::string read_all(const std::string& path) {
  std::vector<char> buffer(1 << 16);
  size_t n = 0;
  if (read_whole_file(path.c_str(), buffer.data(), buffer.size(), &n) != 0) return "<error>";
  return std::string(buffer.data(), n);
}

TEST(File, CreateOpenAndMissingNames) {
  TestFolder dir;
  const std::string f = dir.at("f");
  OsHandle h = 123;
  ASSERT_EQ(create_file(&h, f.c_str(), 0), 0);
  EXPECT_GT(h, 2);
  close_handle(h);

  EXPECT_EQ(create_file(&h, f.c_str(), 0), ERR_ALREADY_EXISTS);
  EXPECT_EQ(h, OS_NO_HANDLE);
  ASSERT_EQ(create_file(&h, f.c_str(), OPEN_TRUNCATE), 0) << "supersede replaces";
  close_handle(h);

  struct Case {
    std::string path;
    uint32_t mode;
    int rc;
  } cases[] = {
      {dir.at("missing"), 0x0003, ERR_FILE_NOT_FOUND},
      {dir.at("missing/x"), 0x0003, ERR_PATH_NOT_FOUND},
      {dir.at("missing/x"), 0x008C, ERR_PATH_NOT_FOUND},
      {dir.at("f/x"), 0x0003, ERR_PATH_NOT_FOUND},  // a file on the way
      {f, 0x0003, 0},
      {"", 0x0003, ERR_INVALID_NAME},
  };
  for (const Case& c : cases) {
    h = 123;
    EXPECT_EQ(open_file(&h, c.path.c_str(), c.mode), c.rc) << c.path;
    if (c.rc != 0) {
      EXPECT_EQ(h, OS_NO_HANDLE) << c.path;
    }
    close_handle(h);
  }
  EXPECT_EQ(open_file(&h, nullptr, 0x0003), ERR_OUTOFMEMORY);
  EXPECT_EQ(open_file(nullptr, f.c_str(), 0x0003), 0) << "existence test";
  EXPECT_EQ(create_file(&h, dir.at("missing/y").c_str(), 0), ERR_PATH_NOT_FOUND);
}

TEST(File, FoldersAndKinds) {
  TestFolder dir;
  const std::string sub = dir.at("sub");
  ASSERT_EQ(create_folder(sub.c_str()), 0);
  EXPECT_EQ(create_folder(sub.c_str()), ERR_ALREADY_EXISTS);
  bool folder = false;
  ASSERT_EQ(query_path_kind(sub.c_str(), &folder), 0);
  EXPECT_TRUE(folder);
  ASSERT_EQ(write_whole_file(dir.at("f").c_str(), "abc", 3), 0);
  ASSERT_EQ(query_path_kind(dir.at("f").c_str(), &folder), 0);
  EXPECT_FALSE(folder);
  EXPECT_EQ(query_path_kind(dir.at("nope").c_str(), &folder), ERR_FILE_NOT_FOUND);
  EXPECT_EQ(query_path_kind(nullptr, &folder), ERR_OUTOFMEMORY);
  EXPECT_EQ(query_path_kind("", &folder), ERR_INVALID_NAME);
  EXPECT_EQ(create_folder(dir.at("a/b").c_str()), ERR_PATH_NOT_FOUND);
  EXPECT_EQ(create_folder(dir.at("f").c_str()), ERR_ALREADY_EXISTS);
  // A folder cannot be created exclusively as a file.
  OsHandle h;
  EXPECT_EQ(create_file(&h, sub.c_str(), 0), ERR_ALREADY_EXISTS);

  // Deleting: a non-empty folder stays, an empty one goes.
  EXPECT_EQ(delete_file(dir.path.c_str()), ERR_DIR_NOT_EMPTY);
  EXPECT_EQ(delete_file(sub.c_str()), 0);
  EXPECT_EQ(query_path_kind(sub.c_str(), nullptr), ERR_FILE_NOT_FOUND);
  EXPECT_EQ(delete_file(sub.c_str()), ERR_FILE_NOT_FOUND);
}

TEST(File, DeleteReadOnlyFileAndLinkItself) {
  TestFolder dir;
  const std::string f = dir.at("ro");
  ASSERT_EQ(write_whole_file(f.c_str(), "data", 4), 0);
  OsHandle h;
  ASSERT_EQ(open_file(&h, f.c_str(), OPEN_WRITE_ATTRIBUTES), 0);
  OsFileBasicInfo basic{0, 0, 0, 0, OS_ATTRIBUTE_READONLY, 0};
  ASSERT_EQ(set_file_info(h, OS_FILE_BASIC_INFO, &basic, sizeof basic), 0);
  OsFileBasicInfo now{};
  ASSERT_EQ(query_file_info(h, OS_FILE_BASIC_INFO, &now, sizeof now, nullptr), 0);
  EXPECT_TRUE(now.attributes & OS_ATTRIBUTE_READONLY);
  close_handle(h);
  EXPECT_EQ(delete_file(f.c_str()), 0);
  EXPECT_EQ(query_path_kind(f.c_str(), nullptr), ERR_FILE_NOT_FOUND);

  // A link is deleted itself; its target stays.
  const std::string target = dir.at("target");
  const std::string link = dir.at("link");
  ASSERT_EQ(write_whole_file(target.c_str(), "t", 1), 0);
  std::error_code ec;
  std::filesystem::create_symlink(target, link, ec);
  if (ec && OS_WINDOWS_NAMES) GTEST_SKIP() << TEST_NO_LINKS;
  ASSERT_FALSE(ec);
  EXPECT_EQ(delete_file(link.c_str()), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(std::filesystem::symlink_status(link)));
  EXPECT_EQ(read_all(target), "t");
}

TEST(File, WholeFilesAndEnds) {
  TestFolder dir;
  const std::string f = dir.at("w");
  ASSERT_EQ(write_whole_file(f.c_str(), "0123456789", 10), 0);
  EXPECT_EQ(read_all(f), "0123456789");
  ASSERT_EQ(write_whole_file(f.c_str(), "ab", 2), 0);
  EXPECT_EQ(read_all(f), "ab") << "older, longer content is cut";
  ASSERT_EQ(write_whole_file(f.c_str(), nullptr, 0), 0);
  EXPECT_EQ(read_all(f), "");

  char small[4];
  size_t n = 99;
  ASSERT_EQ(write_whole_file(f.c_str(), "0123456789", 10), 0);
  ASSERT_EQ(read_whole_file(f.c_str(), small, sizeof small, &n), 0);
  EXPECT_EQ(n, 4u);
  EXPECT_EQ(read_whole_file(dir.at("none").c_str(), small, sizeof small, &n), ERR_FILE_NOT_FOUND);
  EXPECT_EQ(n, 0u);

  OsHandle h;
  ASSERT_EQ(open_file(&h, f.c_str(), 0x000F), 0);
  uint64_t size = 0;
  ASSERT_EQ(file_size(h, &size), 0);
  EXPECT_EQ(size, 10u);
  ASSERT_EQ(set_file_end(h, 1 << 20), 0);
  ASSERT_EQ(file_size(h, &size), 0);
  EXPECT_EQ(size, 1u << 20);
  ASSERT_EQ(set_file_end(h, 3), 0);
  ASSERT_EQ(set_file_position(h, 1), 0);
  char two[2];
  size_t got = 0;
  ASSERT_EQ(read_file(h, two, 2, &got), 0);
  EXPECT_EQ(std::string(two, got), "12");
  ASSERT_EQ(write_text(h, "xyz"), 0);
  close_handle(h);
  EXPECT_EQ(read_all(f), "012xyz");

  // A read-only handle cannot cut its file.
  ASSERT_EQ(open_file(&h, f.c_str(), 0x0003), 0);
  EXPECT_EQ(set_file_end(h, 0), ERR_ACCESS_DENIED);
  close_handle(h);

  size = 77;
  EXPECT_EQ(file_size(OS_NO_HANDLE, &size), ERR_INVALID_HANDLE);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(file_size(0, &size), ERR_INVALID_HANDLE);
  EXPECT_EQ(set_file_end(OS_NO_HANDLE, 0), ERR_INVALID_HANDLE);
  EXPECT_EQ(query_volume_info(0, OS_VOLUME_VOLUME_INFO, &size, 8, nullptr), ERR_INVALID_HANDLE);
  EXPECT_EQ(query_object_info(OS_NO_HANDLE, OS_OBJECT_NAME_INFO, &size, 8, nullptr),
            ERR_INVALID_HANDLE);
}

TEST(File, TruncatingOpenOfExistingFile) {
  TestFolder dir;
  const std::string f = dir.at("t");
  ASSERT_EQ(write_whole_file(f.c_str(), "content", 7), 0);
  OsHandle h;
  ASSERT_EQ(open_file(&h, f.c_str(), OPEN_WRITE | OPEN_CREATE | OPEN_TRUNCATE), 0);
  uint64_t size = 1;
  ASSERT_EQ(file_size(h, &size), 0);
  EXPECT_EQ(size, 0u);
  close_handle(h);
  EXPECT_EQ(open_file(&h, dir.at("gone").c_str(), OPEN_WRITE | OPEN_TRUNCATE), ERR_FILE_NOT_FOUND);
}

TEST(File, StandardHandlesStayOpen) {
  TestFolder dir;
  const OsHandle out = standard_output();
  EXPECT_NE(out, OS_NO_HANDLE);
  close_handle(out);
  close_handle(standard_error());
  uint32_t type = 0;
  EXPECT_EQ(os_file_type(out, &type), 0) << "standard output was closed";
  close_handle(0);
  close_handle(OS_NO_HANDLE);
}

}  // namespace
