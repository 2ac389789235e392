#include "base/transfer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "base/runtime.h"
#include "base/test_folder.h"

namespace {

// A counting double: records every platform call the engine makes, answers
// each native or plain transfer from a script, and forwards to the real
// platform when the script runs out.
struct Script {
  std::vector<int> errors;        // per call; missing: forward to the platform
  std::vector<uint32_t> moved;    // bytes reported with a scripted error
  std::vector<uint32_t> sizes;    // piece sizes asked for
  std::vector<bool> positioned;   // whether each call carried an offset
  int file_type_calls = 0;
};
Script* g_script = nullptr;

int scripted(size_t call, uint32_t* out_count, bool* handled) {
  *handled = call < g_script->errors.size();
  if (!*handled) return 0;
  *out_count = call < g_script->moved.size() ? g_script->moved[call] : 0;
  return g_script->errors[call];
}

int counting_file_type(OsHandle h, uint32_t* out_type) {
  ++g_script->file_type_calls;
  return os_file_type(h, out_type);
}
int counting_native(OsHandle h, bool write, bool async, void* buffer, uint32_t size,
                    const uint64_t* offset, uint32_t* out_count) {
  const size_t call = g_script->sizes.size();
  g_script->sizes.push_back(size);
  g_script->positioned.push_back(offset != nullptr);
  bool handled;
  int rc = scripted(call, out_count, &handled);
  return handled ? rc : os_native_transfer(h, write, async, buffer, size, offset, out_count);
}
int counting_plain_read(OsHandle h, void* buffer, uint32_t size, uint32_t* out_count) {
  return counting_native(h, false, false, buffer, size, nullptr, out_count);
}
int counting_plain_write(OsHandle h, const void* data, uint32_t size, uint32_t* out_count) {
  return counting_native(h, true, false, const_cast<void*>(data), size, nullptr, out_count);
}

const TransferPlatform COUNTING = {counting_file_type, os_console_mode,    os_file_query_info,
                                   counting_plain_read, counting_plain_write, counting_native};

class Transfer : public ::testing::Test {
 protected:
  void SetUp() override {
    os_process_setup();
    g_script = &script;
    previous = transfer_platform_swap_for_test(&COUNTING);
  }
  void TearDown() override {
    transfer_platform_swap_for_test(previous);
    g_script = nullptr;
  }
  Script script;
  const TransferPlatform* previous = nullptr;
  TestFolder dir;
};

constexpr size_t MIB = 1 << 20;

TEST_F(Transfer, LargeReadGoesInSixteenMebibytePieces) {
  const std::string f = dir.at("big");
  OsHandle h;
  ASSERT_EQ(create_file(&h, f.c_str(), 0), 0);
  ASSERT_EQ(set_file_end(h, 40 * MIB), 0);
  uint8_t kind = 0;
  const char mark[] = "piece three";
  size_t n = 0;
  ASSERT_EQ(write_file_at(h, &kind, 32 * MIB + 5, mark, sizeof mark, &n), 0);
  EXPECT_EQ(n, sizeof mark);
  EXPECT_EQ(kind, HANDLE_METHOD_NATIVE_SYNC | HANDLE_CLASS_DISK);

  std::vector<char> buffer(40 * MIB + 4096, 'x');
  script.sizes.clear();
  ASSERT_EQ(read_file_at(h, &kind, 0, buffer.data(), 40 * MIB, &n), 0);
  EXPECT_EQ(n, 40 * MIB);
  EXPECT_EQ(script.sizes, (std::vector<uint32_t>{16 * MIB, 16 * MIB, 8 * MIB}));
  EXPECT_EQ(memcmp(buffer.data() + 32 * MIB + 5, mark, sizeof mark), 0);
  EXPECT_EQ(buffer[40 * MIB], 'x');

  // Beyond the end: nothing and no error.
  n = 1;
  EXPECT_EQ(read_file_at(h, &kind, 41 * MIB, buffer.data(), 100, &n), 0);
  EXPECT_EQ(n, 0u);
  // Across the end: the short count.
  EXPECT_EQ(read_file_at(h, &kind, 40 * MIB - 10, buffer.data(), 100, &n), 0);
  EXPECT_EQ(n, 10u);
  close_handle(h);
}

TEST_F(Transfer, KindCacheClassifiesOnce) {
  OsHandle h;
  ASSERT_EQ(create_file(&h, dir.at("k").c_str(), 0), 0);
  char byte = 0;
  size_t n;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(read_file_at(h, nullptr, 0, &byte, 1, &n), 0);
  EXPECT_EQ(script.file_type_calls, 3);
  uint8_t kind = 0;
  for (int i = 0; i < 3; ++i) ASSERT_EQ(read_file_at(h, &kind, 0, &byte, 1, &n), 0);
  EXPECT_EQ(script.file_type_calls, 4);
  close_handle(h);

  OsHandle r, w;
  ASSERT_EQ(os_pipe_create(&r, &w), 0);
  kind = 0;
  ASSERT_EQ(handle_kind(r, &kind), 0);
  EXPECT_EQ(kind, HANDLE_METHOD_NATIVE_SYNC | HANDLE_CLASS_CHAR_OR_PIPE);
  // A positioned write on a pipe has no offset to honour and still arrives.
  ASSERT_EQ(write_file_at(w, &kind, 12345, "hi", 2, &n), 0);
  char got[2];
  ASSERT_EQ(read_file(r, got, 2, &n), 0);
  EXPECT_EQ(std::string(got, n), "hi");
  close_handle(r);
  close_handle(w);
}

TEST_F(Transfer, PipeWithoutReaderGivesBrokenPipe) {
  OsHandle r, w;
  ASSERT_EQ(os_pipe_create(&r, &w), 0);
  close_handle(r);
  size_t n = 99;
  EXPECT_EQ(write_file(w, "0123456789", 10, &n), ERR_BROKEN_PIPE);
  EXPECT_EQ(n, 0u);
  uint8_t kind = 0;
  n = 99;
  EXPECT_EQ(write_file_at(w, &kind, 0, "0123456789", 10, &n), ERR_BROKEN_PIPE);
  EXPECT_EQ(n, 0u);
  close_handle(w);
}

TEST_F(Transfer, NoHandleGivesInvalidHandle) {
  char buffer[8];
  size_t n = 5;
  uint8_t kind = 0;
  EXPECT_EQ(read_file(OS_NO_HANDLE, buffer, 8, &n), ERR_INVALID_HANDLE);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(write_file(OS_NO_HANDLE, buffer, 8, &n), ERR_INVALID_HANDLE);
  EXPECT_EQ(read_file_at(OS_NO_HANDLE, &kind, 0, buffer, 8, &n), ERR_INVALID_HANDLE);
  kind = 0;
  EXPECT_EQ(write_file_at(OS_NO_HANDLE, nullptr, 0, buffer, 8, &n), ERR_INVALID_HANDLE);
  EXPECT_TRUE(script.sizes.empty()) << "no platform transfer for handle -1";
}

TEST_F(Transfer, UnbufferedHandlesMoveAlignedBlocks) {
  const std::string f = dir.at("direct");
  OsHandle h;
  ASSERT_EQ(create_file(&h, f.c_str(), OPEN_UNBUFFERED | OPEN_ASYNC), 0);
  // Page memory is aligned for unbuffered transfers on every platform.
  auto* block = static_cast<char*>(page_alloc(3 * 4096));
  ASSERT_NE(block, nullptr);
  for (size_t i = 0; i < 3 * 4096; ++i) block[i] = static_cast<char>(i * 7);
  uint8_t kind = 0;
  size_t n = 0;
  ASSERT_EQ(write_file_at(h, &kind, 4096, block, 2 * 4096, &n), 0);
  EXPECT_EQ(n, 2u * 4096);
  ASSERT_EQ(set_file_end(h, 4096 + 5000), 0);
  uint64_t size = 0;
  ASSERT_EQ(file_size(h, &size), 0);
  EXPECT_EQ(size, 4096u + 5000);
  close_handle(h);

  ASSERT_EQ(open_file(&h, f.c_str(), 0x0603), 0);
  kind = 0;
  memset(block, 0, 3 * 4096);
  ASSERT_EQ(read_file_at(h, &kind, 4096, block, 2 * 4096, &n), 0);
  EXPECT_EQ(n, 5000u);
  for (size_t i = 0; i < 5000; ++i) ASSERT_EQ(block[i], static_cast<char>(i * 7)) << i;
  close_handle(h);
  page_free(block, 3 * 4096);
}

// The engine's end rules, driven by scripted platform answers.
TEST_F(Transfer, EndReasonsAndMinimums) {
  struct Case {
    const char* what;
    bool write;
    size_t size;
    std::vector<int> errors;
    std::vector<uint32_t> moved;
    int rc;
    size_t done;
    size_t calls;
  } cases[] = {
      {"read at end of file", false, 100, {ERR_HANDLE_EOF}, {}, 0, 0, 1},
      {"write on full disk", true, 100, {ERR_DISK_FULL}, {}, ERR_DISK_FULL, 0, 1},
      {"write on full handle disk", true, 100, {ERR_HANDLE_DISK_FULL}, {}, ERR_HANDLE_DISK_FULL, 0, 1},
      {"write after a full piece", true, 20 * MIB, {0, ERR_DISK_FULL}, {16 * MIB}, 0, 16 * MIB, 2},
      {"write to a gone network name", true, 10, {64}, {}, ERR_BROKEN_PIPE, 0, 1},
      {"write to a closing pipe", true, 10, {232}, {}, ERR_BROKEN_PIPE, 0, 1},
      {"read from a gone connection", false, 10, {1236}, {}, 0, 0, 1},
      {"aborted write retried", true, 10, {995, 995, 0}, {0, 0, 10}, 0, 10, 3},
      {"aborted read ends", false, 10, {995}, {}, 0, 0, 1},
      {"other errors fail", false, 10, {ERR_ACCESS_DENIED}, {}, ERR_ACCESS_DENIED, 0, 1},
      {"a short piece ends the transfer", false, 20 * MIB, {0}, {5}, 0, 5, 1},
      {"a write that moves nothing", true, 10, {0}, {0}, ERR_BROKEN_PIPE, 0, 1},
      {"an empty write", true, 0, {0}, {0}, 0, 0, 1},
  };
  OsHandle h;
  ASSERT_EQ(create_file(&h, dir.at("s").c_str(), 0), 0);
  std::vector<char> buffer(20 * MIB);
  for (const Case& c : cases) {
    script = Script{};
    script.errors = c.errors;
    script.moved = c.moved;
    uint8_t kind = HANDLE_METHOD_NATIVE_SYNC | HANDLE_CLASS_DISK;
    size_t n = 12345;
    const int rc = c.write ? write_file_at(h, &kind, 0, buffer.data(), c.size, &n)
                           : read_file_at(h, &kind, 0, buffer.data(), c.size, &n);
    EXPECT_EQ(rc, c.rc) << c.what;
    EXPECT_EQ(n, c.done) << c.what;
    EXPECT_EQ(script.sizes.size(), c.calls) << c.what;
  }
  close_handle(h);
}

TEST_F(Transfer, MethodChoice) {
  OsHandle h;
  ASSERT_EQ(create_file(&h, dir.at("m").c_str(), 0), 0);
  char byte = 0;
  size_t n;
  // The plain calls cannot honour an offset on a disk file.
  uint8_t kind = HANDLE_METHOD_PLAIN | HANDLE_CLASS_DISK;
  EXPECT_EQ(read_file_at(h, &kind, 0, &byte, 1, &n), ERR_INVALID_PARAMETER);
  // A console kind writes through the plain calls and is cached so.
  kind = HANDLE_METHOD_CONSOLE | HANDLE_CLASS_CONSOLE;
  script.errors = {0};
  script.moved = {1};
  EXPECT_EQ(write_file_at(h, &kind, 0, &byte, 1, &n), 0);
  EXPECT_EQ(kind, HANDLE_METHOD_PLAIN | HANDLE_CLASS_CONSOLE);
  EXPECT_EQ(script.positioned, std::vector<bool>{false});
  // A console read waits for a byte; an empty one returns at once.
  kind = HANDLE_METHOD_CONSOLE | HANDLE_CLASS_CONSOLE;
  script = Script{};
  script.errors = {0, 0, 0};
  script.moved = {0, 0, 1};
  EXPECT_EQ(read_file_at(h, &kind, 0, &byte, 1, &n), 0);
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(script.sizes.size(), 3u);
  EXPECT_EQ(read_file_at(h, &kind, 0, &byte, 0, &n), 0);
  EXPECT_EQ(script.sizes.size(), 3u);
  // Asynchronous handles use the native calls with the offset.
  kind = HANDLE_METHOD_NATIVE_ASYNC | HANDLE_CLASS_DISK;
  script = Script{};
  EXPECT_EQ(write_file_at(h, &kind, 3, "z", 1, &n), 0);
  EXPECT_EQ(script.positioned, std::vector<bool>{true});
  close_handle(h);
}

}  // namespace
