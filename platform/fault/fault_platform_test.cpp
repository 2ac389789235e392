#include "platform/fault/fault_platform.h"

#include <gtest/gtest.h>

#include <string>

#include "base/file.h"
#include "base/test_folder.h"
#include "base/transfer.h"

namespace {

TEST(FaultPlatform, CreateCallsAreToldApartByDisposition) {
  struct Case {
    uint32_t disposition;
    uint32_t options;
    int kind;
  } cases[] = {
      {OS_DISPOSITION_OPEN, 0, FAULT_OPEN},
      {OS_DISPOSITION_OVERWRITE, 0, FAULT_OPEN},
      {OS_DISPOSITION_OPEN, OS_OPTION_DIRECTORY, FAULT_OPEN},
      {OS_DISPOSITION_CREATE, OS_OPTION_NON_DIRECTORY, FAULT_CREATE},
      {OS_DISPOSITION_SUPERSEDE, 0, FAULT_CREATE},
      {OS_DISPOSITION_OPEN_IF, 0, FAULT_CREATE},
      {OS_DISPOSITION_OVERWRITE_IF, 0, FAULT_CREATE},
      {OS_DISPOSITION_CREATE, OS_OPTION_DIRECTORY, FAULT_MAKE_FOLDER},
      {OS_DISPOSITION_OPEN_IF, OS_OPTION_DIRECTORY, FAULT_MAKE_FOLDER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fault_create_kind(c.disposition, c.options), c.kind) << c.disposition;
  }
}

// The file layer's calls reach the wrappers, only the armed call fails, and
// it fails once, naming the file it was on.
TEST(FaultPlatform, FailsOnlyTheNthCallOfItsKind) {
  TestFolder dir;
  const std::string a = dir.at("a"), b = dir.at("b");
  FilePlatform file = {fault_file_create, fault_file_set_info, fault_file_rename,
                       fault_file_sync,   fault_folder_sync,   fault_file_system_sync,
                       fault_file_delete};
  TransferPlatform transfer = TRANSFER_PLATFORM_REAL;
  transfer.native_transfer = fault_native_transfer;
  const FilePlatform* previous_file = file_platform_swap_for_test(&file);
  const TransferPlatform* previous_transfer = transfer_platform_swap_for_test(&transfer);

  fault_arm(FAULT_WRITE, 2, 112);
  OsHandle h = OS_NO_HANDLE;
  ASSERT_EQ(create_file(&h, a.c_str(), 0), 0);
  size_t moved = 0;
  EXPECT_EQ(write_file_at(h, nullptr, 0, "abcd", 4, &moved), 0);
  EXPECT_FALSE(fault_fired(nullptr));
  EXPECT_EQ(write_file_at(h, nullptr, 4, "efgh", 4, &moved), 112);
  FaultRecord record{};
  ASSERT_TRUE(fault_fired(&record));
  EXPECT_EQ(record.kind, FAULT_WRITE);
  EXPECT_EQ(record.nth, 2u);
  EXPECT_EQ(std::string(record.path), a);
  EXPECT_EQ(write_file_at(h, nullptr, 4, "efgh", 4, &moved), 0);
  EXPECT_EQ(set_file_end(h, 2), 0);
  EXPECT_EQ(sync_file(h), 0);
  close_handle(h);
  EXPECT_EQ(rename_file(a.c_str(), b.c_str(), false), 0);
  EXPECT_EQ(create_folder(dir.at("f").c_str()), 0);
  bool is_folder = false;
  EXPECT_EQ(query_path_kind(b.c_str(), &is_folder), 0);
  const uint64_t expected[FAULT_COUNT] = {1, 1, 0, 3, 1, 1, 1, 1};
  for (int k = 0; k < FAULT_COUNT; k++) EXPECT_EQ(fault_calls(k), expected[k]) << fault_kind_name(k);

  fault_arm(FAULT_RENAME, 1, 5);
  EXPECT_EQ(rename_file(b.c_str(), a.c_str(), false), 5);
  EXPECT_EQ(delete_file(b.c_str()), 0);  // the delete is the second such call

  file_platform_swap_for_test(previous_file);
  transfer_platform_swap_for_test(previous_transfer);
}

}  // namespace
