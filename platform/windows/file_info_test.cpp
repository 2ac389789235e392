// The native information classes as the system answers them, with the
// fallbacks that run where a class is not answered (Wine answers neither
// folder class 60 nor file class 33, and names files \??\X:\ instead of by
// their volume device).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/err.h"
#include "base/file.h"
#include "base/folder.h"
#include "base/test_folder.h"
#include "platform/windows/internal.h"

namespace {

OsHandle open_folder(const std::string& path) {
  OsHandle h = OS_NO_HANDLE;
  const int rc = native_open(path.c_str(), 0x120089, 7, 0, OS_DISPOSITION_OPEN,
                             OS_OPTION_DIRECTORY | OS_OPTION_SYNCHRONOUS, &h, nullptr);
  return rc == 0 ? h : OS_NO_HANDLE;
}

// The names and header sizes of the entries of one folder query.
std::string entry_names(const unsigned char* buffer, size_t header) {
  std::string names;
  for (size_t at = 0;;) {
    OsFolderEntry e;
    std::memcpy(&e, buffer + at, sizeof e);
    std::string name;
    for (uint32_t i = 0; i < e.name_length / 2; i++) {
      char16_t unit;
      std::memcpy(&unit, buffer + at + header + 2 * i, 2);
      name += static_cast<char>(unit);
    }
    if (name != "." && name != "..") names += name + ";";
    if (e.next_entry_offset == 0) return names;
    at += e.next_entry_offset;
  }
}

TEST(WindowsFolderQuery, IdFullAndPlainClasses) {
  TestFolder dir;
  ASSERT_EQ(write_whole_file(dir.at("one").c_str(), "1", 1), 0);
  const OsHandle h = open_folder(dir.path);
  ASSERT_NE(h, OS_NO_HANDLE);
  alignas(8) unsigned char buffer[4096];
  for (const auto& c : {std::pair<uint32_t, size_t>{OS_FOLDER_ID_FULL_INFO, sizeof(OsFolderEntryIdFull)},
                        std::pair<uint32_t, size_t>{OS_FOLDER_DIRECTORY_INFO, sizeof(OsFolderEntry)}}) {
    uint64_t filled = 0;
    ASSERT_EQ(os_directory_query(h, c.first, false, true, buffer, sizeof buffer, &filled), 0);
    EXPECT_GT(filled, c.second);
    EXPECT_EQ(entry_names(buffer, c.second), "one;") << c.first;
    EXPECT_EQ(os_directory_query(h, c.first, false, false, buffer, sizeof buffer, &filled),
              ERR_NO_MORE_FILES);
  }
  // A class the system does not know is a bad parameter, as on every platform.
  EXPECT_EQ(os_directory_query(h, 9999, false, true, buffer, sizeof buffer, nullptr),
            ERR_INVALID_PARAMETER);
  os_handle_close(h);
}

TEST(WindowsFolderQuery, IdExtendedClass) {
  TestFolder dir;
  ASSERT_EQ(write_whole_file(dir.at("one").c_str(), "1", 1), 0);
  const OsHandle h = open_folder(dir.path);
  ASSERT_NE(h, OS_NO_HANDLE);
  alignas(8) unsigned char buffer[4096];
  const int rc = os_directory_query(h, OS_FOLDER_ID_EXTENDED_INFO, false, true, buffer,
                                    sizeof buffer, nullptr);
  os_handle_close(h);
  if (rc == ERR_INVALID_PARAMETER) {
    GTEST_SKIP() << "Wine has no FileIdExtdDirectoryInformation (folder class 60); "
                    "the enumerator falls back to class 38";
  }
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(entry_names(buffer, sizeof(OsFolderEntryIdExtended)), "one;");
}

TEST(WindowsFileInfo, IdentityAndAllInformationAgree) {
  TestFolder dir;
  const std::string f = dir.at("id");
  ASSERT_EQ(write_whole_file(f.c_str(), "12345", 5), 0);
  OsHandle h = OS_NO_HANDLE;
  ASSERT_EQ(open_file(&h, f.c_str(), 0x0003), 0);
  OsFileAllInfo all;
  uint64_t filled = 0;
  // The name does not fit: the fixed part still arrives, with 234.
  const int rc = os_file_query_info(h, OS_FILE_ALL_INFO, &all, sizeof all, &filled);
  EXPECT_TRUE(rc == 0 || (rc == 234 && all.name_length > 0)) << rc;
  EXPECT_EQ(all.standard.end_of_file, 5);
  uint32_t mode = 0;
  ASSERT_EQ(os_file_query_info(h, OS_FILE_MODE_INFO, &mode, sizeof mode, nullptr), 0);
  EXPECT_EQ(mode, uint32_t{OS_OPTION_SYNCHRONOUS});
  OsFileIdInfo id;
  ASSERT_EQ(os_file_query_info(h, OS_FILE_ID_INFO, &id, sizeof id, nullptr), 0);
  EXPECT_EQ(id.file_id[0], static_cast<uint64_t>(all.index_number));
  // Too small a buffer for the record.
  char tiny[4];
  EXPECT_EQ(os_file_query_info(h, OS_FILE_BASIC_INFO, tiny, sizeof tiny, nullptr), 24);
  EXPECT_EQ(os_file_query_info(OS_NO_HANDLE, OS_FILE_BASIC_INFO, &all, sizeof all, nullptr),
            ERR_INVALID_HANDLE);
  close_handle(h);
}

TEST(WindowsFileInfo, ReparsePointClassOfALink) {
  TestFolder dir;
  const std::string target = dir.at("target");
  ASSERT_EQ(write_whole_file(target.c_str(), "t", 1), 0);
  const std::wstring link(dir.path.begin(), dir.path.end());
  if (!CreateSymbolicLinkW((link + L"\\link").c_str(), L"target",
                           SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
    GTEST_SKIP() << "this account may not make symbolic links (error " << GetLastError() << ")";
  }
  OsHandle h = OS_NO_HANDLE;
  const int opened = open_file(&h, dir.at("link").c_str(), OPEN_REPARSE_POINT);
  if (opened == ERR_FILE_NOT_FOUND) {
    GTEST_SKIP() << "Wine cannot open a symbolic link itself (FILE_OPEN_REPARSE_POINT)";
  }
  ASSERT_EQ(opened, 0);
  OsFileReparseInfo reparse{};
  const int rc = os_file_query_info(h, OS_FILE_REPARSE_POINT_INFO, &reparse, sizeof reparse,
                                    nullptr);
  close_handle(h);
  if (rc == ERR_INVALID_PARAMETER) {
    GTEST_SKIP() << "Wine has no FileReparsePointInformation (file class 33)";
  }
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(reparse.tag, uint32_t{OS_REPARSE_TAG_SYMLINK});
  FileInfo info;
  ASSERT_EQ(query_path_info(dir.at("link").c_str(), &info), 0);
  EXPECT_EQ(info.size, 1u) << "the target is described";
}

// Files on one volume share a volume identity, whatever form the system's
// object names take.
TEST(WindowsFileInfo, VolumeIdentityFromTheObjectName) {
  TestFolder dir;
  ASSERT_EQ(write_whole_file(dir.at("a").c_str(), "a", 1), 0);
  ASSERT_EQ(create_folder(dir.at("sub").c_str()), 0);
  ASSERT_EQ(write_whole_file(dir.at("sub\\b").c_str(), "b", 1), 0);
  FileInfo a;
  FileInfo b;
  ASSERT_EQ(query_path_info(dir.at("a").c_str(), &a), 0);
  ASSERT_EQ(query_path_info(dir.at("sub\\b").c_str(), &b), 0);
  EXPECT_NE(a.volume_identity[0] | a.volume_identity[1] | a.volume_identity[2], 0u);
  EXPECT_EQ(0, std::memcmp(a.volume_identity, b.volume_identity, sizeof a.volume_identity));
  EXPECT_EQ(a.volume_serial, b.volume_serial);

  OsHandle h = OS_NO_HANDLE;
  ASSERT_EQ(open_file(&h, dir.at("a").c_str(), 0x0003), 0);
  alignas(8) unsigned char name[1024];
  uint32_t returned = 0;
  ASSERT_EQ(os_object_query_info(h, OS_OBJECT_NAME_INFO, name, sizeof name, &returned), 0);
  OsObjectNameInfo header;
  std::memcpy(&header, name, sizeof header);
  const std::wstring object(reinterpret_cast<const wchar_t*>(header.buffer), header.length / 2);
  // Too small a buffer for the name.
  EXPECT_NE(os_object_query_info(h, OS_OBJECT_NAME_INFO, name, 20, &returned), 0);
  close_handle(h);
  if (object.rfind(L"\\??\\", 0) == 0) {
    GTEST_SKIP() << "Wine names files \\??\\X:\\... instead of \\Device\\HarddiskVolumeN\\...";
  }
  EXPECT_EQ(object.rfind(L"\\Device\\", 0), 0u);
}

}  // namespace
