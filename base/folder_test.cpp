#include "base/folder.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/err.h"
#include "base/file.h"
#include "base/test_folder.h"

namespace {

TEST(Folder, EmptyFolderEndsAtOnce) {
  TestFolder dir;
  FolderEnum* e = nullptr;
  ASSERT_EQ(folder_open(&e, dir.path.c_str(), 0), 0);
  const char* path = "x";
  size_t offset = 9;
  const FileInfo* info = nullptr;
  EXPECT_EQ(folder_next(e, &path, &offset, &info), ERR_NO_MORE_FILES);
  EXPECT_EQ(path, nullptr);
  EXPECT_EQ(offset, 0u);
  EXPECT_EQ(info, nullptr);
  folder_close(e);
}

TEST(Folder, OneFileThenTheEnd) {
  TestFolder dir;
  ASSERT_EQ(write_whole_file(dir.at("only").c_str(), "12345", 5), 0);
  for (const std::string& given : {dir.path, dir.path + "/"}) {
    FolderEnum* e = nullptr;
    ASSERT_EQ(folder_open(&e, given.c_str(), 0), 0);
    const char* path = nullptr;
    size_t offset = 0;
    const FileInfo* info = nullptr;
    ASSERT_EQ(folder_next(e, &path, &offset, &info), 0);
    EXPECT_EQ(std::string(path), dir.at("only"));
    EXPECT_EQ(offset, dir.path.size() + 1);
    EXPECT_STREQ(path + offset, "only");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->size, 5u);
    EXPECT_EQ(info->folder, 0);
    EXPECT_EQ(info->symlink, 0);
    EXPECT_TRUE(info->kind_flags & 0x8);
    EXPECT_NE(info->file_id[0], 0u);
    EXPECT_NE(info->last_write_time, 0);
    EXPECT_EQ(folder_next(e, &path, &offset, &info), ERR_NO_MORE_FILES);
    folder_close(e);
  }
  // The folder's own record and the file's agree on the volume.
  FileInfo folder_info, file_info;
  ASSERT_EQ(query_path_info(dir.path.c_str(), &folder_info), 0);
  ASSERT_EQ(query_path_info(dir.at("only").c_str(), &file_info), 0);
  EXPECT_EQ(folder_info.folder, 1);
  EXPECT_EQ(folder_info.size, 0u);
  EXPECT_EQ(folder_info.volume_serial, file_info.volume_serial);
  EXPECT_NE(folder_info.file_id[0], file_info.file_id[0]);
  EXPECT_EQ(file_info.size, 5u);
}

TEST(Folder, ManyEntriesAcrossBatchesAndLongNames) {
  TestFolder dir;
  std::set<std::string> want;
  // 300 entries of ~200 bytes each exceed one batch; a 250-byte name outgrows
  // the path buffer that was sized for the folder path.
  for (int i = 0; i < 300; ++i) {
    std::string name = std::to_string(i) + std::string(200, 'n');
    if (i == 7) name = std::string(250, 'L');
    ASSERT_EQ(write_whole_file(dir.at(name).c_str(), nullptr, 0), 0);
    want.insert(name);
  }
  ASSERT_EQ(create_folder(dir.at("sub").c_str()), 0);
  want.insert("sub");
  FolderEnum* e = nullptr;
  ASSERT_EQ(folder_open(&e, dir.path.c_str(), 0), 0);
  std::set<std::string> seen;
  const char* path;
  size_t offset;
  const FileInfo* info;
  int rc;
  while ((rc = folder_next(e, &path, &offset, &info)) == 0) {
    EXPECT_EQ(std::string(path, offset), dir.path + TestFolder::test_separator());
    seen.insert(path + offset);
    EXPECT_EQ(info->folder, std::string(path + offset) == "sub" ? 1 : 0);
  }
  EXPECT_EQ(rc, ERR_NO_MORE_FILES);
  EXPECT_EQ(seen, want);
  folder_close(e);
}

TEST(Folder, SymbolicLinksAsTheFlagsSay) {
  TestFolder dir;
  ASSERT_EQ(write_whole_file(dir.at("target").c_str(), "abc", 3), 0);
  std::error_code ec;
  std::filesystem::create_symlink(dir.at("target"), dir.at("link"), ec);
  if (ec && OS_WINDOWS_NAMES) GTEST_SKIP() << TEST_NO_LINKS;
  ASSERT_FALSE(ec);
  std::filesystem::create_symlink(dir.at("nowhere"), dir.at("dangling"), ec);
  ASSERT_FALSE(ec);

  struct Case {
    uint32_t flags;
    bool null_for_link;
    bool followed;
  } cases[] = {
      {0, false, true},
      {FOLDER_NO_LINK_INFO, true, false},
      {FOLDER_NO_FOLLOW, false, false},
      {FOLDER_NO_FOLLOW | FOLDER_NO_LINK_INFO, false, false},
  };
  for (const Case& c : cases) {
    FolderEnum* e = nullptr;
    ASSERT_EQ(folder_open(&e, dir.path.c_str(), c.flags), 0);
    const char* path;
    size_t offset;
    const FileInfo* info;
    int links = 0;
    while (folder_next(e, &path, &offset, &info) == 0) {
      const std::string name = path + offset;
      if (name == "target") {
        ASSERT_NE(info, nullptr);
        EXPECT_EQ(info->symlink, 0);
        continue;
      }
      ++links;
      if (c.null_for_link) {
        EXPECT_EQ(info, nullptr) << name;
        continue;
      }
      ASSERT_NE(info, nullptr) << name;
      EXPECT_EQ(info->symlink, 1) << name;
      if (!c.followed) {
        EXPECT_EQ(info->followed, 0) << name;
        EXPECT_EQ(info->size, 0u) << name;
        EXPECT_EQ(info->link_unreachable, 0) << name;
      } else if (name == "link") {
        EXPECT_EQ(info->followed, 1);
        EXPECT_EQ(info->size, 3u) << "the target's size";
      } else {
        EXPECT_EQ(info->followed, 0);
        EXPECT_EQ(info->link_unreachable, 1);
      }
    }
    EXPECT_EQ(links, 2) << c.flags;
    folder_close(e);
  }
}

TEST(Folder, OpenFailures) {
  TestFolder dir;
  FolderEnum* e = reinterpret_cast<FolderEnum*>(1);
  EXPECT_EQ(folder_open(&e, dir.at("missing").c_str(), 0), ERR_FILE_NOT_FOUND);
  EXPECT_EQ(e, nullptr);
  EXPECT_EQ(folder_open(&e, dir.at("missing/deeper").c_str(), 0), ERR_PATH_NOT_FOUND);
  ASSERT_EQ(write_whole_file(dir.at("file").c_str(), "x", 1), 0);
  EXPECT_NE(folder_open(&e, dir.at("file").c_str(), 0), 0);
  EXPECT_EQ(e, nullptr);
  FileInfo info;
  EXPECT_EQ(query_handle_info(OS_NO_HANDLE, &info), ERR_INVALID_HANDLE);
  EXPECT_EQ(query_handle_info(0, &info), ERR_INVALID_HANDLE);
  EXPECT_EQ(directory_query(OS_NO_HANDLE, OS_FOLDER_DIRECTORY_INFO, false, false, &info, 8),
            ERR_INVALID_HANDLE);
}

TEST(VolumeIdentity, DeviceNameParts) {
  struct Case {
    const char16_t* name;
    int separators;  // 0: not a known kind
    const char16_t* part;
  } cases[] = {
      {u"\\Device\\HarddiskVolume3\\x\\y", 2, u"\\Device\\HarddiskVolume3"},
      {u"\\device\\harddiskvolume3", 2, u"\\device\\harddiskvolume3"},
      {u"\\Device\\CdRom0\\a", 2, u"\\Device\\CdRom0"},
      {u"\\Device\\Mup\\server\\share\\x", 4, u"\\Device\\Mup\\server\\share"},
      {u"\\Device\\LanmanRedirector\\;Z:0\\srv\\sh\\f", 4, u"\\Device\\LanmanRedirector\\;Z:0\\srv"},
      {u"\\Device\\WebDavRedirector\\s\\t\\u", 4, u"\\Device\\WebDavRedirector\\s\\t"},
      {u"\\Device\\Mup\\srv", 4, u"\\Device\\Mup\\srv"},
      {u"\\Device\\Harddisk", 2, u"\\Device\\Harddisk"},
      {u"\\Device\\Floppy0\\x", 0, nullptr},
      {u"\\Device\\Hard", 0, nullptr},
  };
  for (const Case& c : cases) {
    const size_t units = std::char_traits<char16_t>::length(c.name);
    EXPECT_EQ(device_name_separators(c.name, units), c.separators);
    if (c.part == nullptr) continue;
    EXPECT_EQ(volume_part_units(c.name, units, c.separators),
              std::char_traits<char16_t>::length(c.part));
  }
}

// Expected words computed once, independently, by a short Python transcription
// of the published lookup3 C source (three state words from 0xDEADBEEF, no
// length or seed added), not by this code.
TEST(VolumeIdentity, Lookup3MatchesIndependentValues) {
  struct Case {
    std::string bytes;
    uint32_t want[3];
  } cases[] = {
      {"", {0xDEADBEEF, 0xDEADBEEF, 0xDEADBEEF}},
      {"a", {0x041E4985, 0x5B51EECB, 0x7D6518B0}},
      {"abcdefghijkl", {0x0FB41049, 0x8286D968, 0x5477306D}},
      {"abcdefghijklm", {0x6DF1DB40, 0xCDB050CB, 0xBD7F6D2D}},
  };
  for (const Case& c : cases) {
    uint32_t got[3];
    lookup3_words(c.bytes.data(), c.bytes.size(), got);
    EXPECT_EQ(got[0], c.want[0]) << c.bytes;
    EXPECT_EQ(got[1], c.want[1]) << c.bytes;
    EXPECT_EQ(got[2], c.want[2]) << c.bytes;
  }
  std::string ramp24, ramp25;
  for (int i = 0; i < 25; ++i) (i < 24 ? ramp24 : ramp25) += static_cast<char>(i);
  ramp25 = ramp24 + ramp25;
  uint32_t got[3];
  lookup3_words(ramp24.data(), 24, got);
  EXPECT_EQ(got[0], 0xE2870A63u);
  EXPECT_EQ(got[2], 0xA8F5B65Fu);
  lookup3_words(ramp25.data(), 25, got);
  EXPECT_EQ(got[0], 0xA40D1FB8u);
  EXPECT_EQ(got[1], 0x6C1D42F1u);

  // Serial 0x0123456789ABCDEF little-endian, then the case-folded UTF-8 name.
  struct Volume {
    const char16_t* name;
    uint32_t want[3];
  } volumes[] = {
      {u"\\Device\\HarddiskVolume3", {0x95AF8538, 0xF7F93D74, 0x5E032908}},
      {u"\\DEVICE\\HARDDISKVOLUME3", {0x95AF8538, 0xF7F93D74, 0x5E032908}},
      {u"\\Device\\Mup\\Server\\Share", {0x09EAF0F7, 0xA6EE90A1, 0x7D261771}},
      {u"\\Device\\\u03A9", {0xD77670EE, 0xC1BBE2C1, 0x69A69B92}},
  };
  for (const Volume& v : volumes) {
    uint32_t words[3];
    ASSERT_EQ(volume_identity(0x0123456789ABCDEFull, v.name,
                              std::char_traits<char16_t>::length(v.name), words),
              0);
    EXPECT_EQ(words[0], v.want[0]);
    EXPECT_EQ(words[1], v.want[1]);
    EXPECT_EQ(words[2], v.want[2]);
  }
}

}  // namespace
