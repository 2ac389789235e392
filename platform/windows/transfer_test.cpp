// The native transfer methods on real Windows handles: synchronous handles,
// asynchronous handles completed by the routine or by the issuer, end of
// file, and large transfers in 16 MiB pieces.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "base/runtime.h"
#include "base/test_folder.h"
#include "base/transfer.h"
#include "platform/windows/internal.h"

namespace {

struct Completions {
  uint64_t by_routine = 0;
  uint64_t by_issuer = 0;
  static Completions now() {
    Completions c;
    win_transfer_completions(&c.by_routine, &c.by_issuer);
    return c;
  }
};

TEST(WindowsTransfer, HandleKindsByOpenMode) {
  TestFolder dir;
  const std::string f = dir.at("kinds");
  ASSERT_EQ(write_whole_file(f.c_str(), "0123456789", 10), 0);
  const struct {
    uint32_t mode;
    uint8_t kind;
  } cases[] = {
      {0x0003, HANDLE_METHOD_NATIVE_SYNC | HANDLE_CLASS_DISK},
      {0x0403, HANDLE_METHOD_NATIVE_ASYNC | HANDLE_CLASS_DISK},
      {0x0603, HANDLE_METHOD_NATIVE_ASYNC | HANDLE_CLASS_DISK},
  };
  for (const auto& c : cases) {
    OsHandle h = OS_NO_HANDLE;
    ASSERT_EQ(open_file(&h, f.c_str(), c.mode), 0);
    uint8_t kind = 0;
    EXPECT_EQ(handle_kind(h, &kind), 0);
    EXPECT_EQ(kind, c.kind) << std::hex << c.mode;
    close_handle(h);
  }
  // A pipe is a native synchronous handle of the character-or-pipe class.
  OsHandle r = OS_NO_HANDLE;
  OsHandle w = OS_NO_HANDLE;
  ASSERT_EQ(os_pipe_create(&r, &w), 0);
  uint8_t kind = 0;
  EXPECT_EQ(handle_kind(r, &kind), 0);
  EXPECT_EQ(kind & HANDLE_CLASS_MASK, HANDLE_CLASS_CHAR_OR_PIPE);
  close_handle(r);
  close_handle(w);
}

TEST(WindowsTransfer, SynchronousHandleReadsAtOffsets) {
  TestFolder dir;
  const std::string f = dir.at("sync");
  ASSERT_EQ(write_whole_file(f.c_str(), "0123456789", 10), 0);
  OsHandle h = OS_NO_HANDLE;
  ASSERT_EQ(open_file(&h, f.c_str(), 0x0003), 0);
  uint8_t kind = 0;
  char buffer[16] = {};
  size_t n = 0;
  ASSERT_EQ(read_file_at(h, &kind, 6, buffer, sizeof buffer, &n), 0);
  EXPECT_EQ(std::string(buffer, n), "6789");
  ASSERT_EQ(read_file_at(h, &kind, 2, buffer, 3, &n), 0);
  EXPECT_EQ(std::string(buffer, n), "234");
  // Past the end: success with nothing read.
  ASSERT_EQ(read_file_at(h, &kind, 50, buffer, 4, &n), 0);
  EXPECT_EQ(n, 0u);
  uint32_t moved = 9;
  const uint64_t past = 50;
  EXPECT_EQ(os_native_transfer(h, false, false, buffer, 4, &past, &moved), ERR_HANDLE_EOF);
  EXPECT_EQ(moved, 0u);
  close_handle(h);
}

// Asynchronous transfers complete through the routine, on this thread, and
// the end of the file arrives as a completed request (at once on Windows, as
// a pending one under Wine): both give a short or empty read, never an error.
TEST(WindowsTransfer, AsynchronousCompletionByRoutine) {
  TestFolder dir;
  const std::string f = dir.at("async");
  OsHandle h = OS_NO_HANDLE;
  ASSERT_EQ(create_file(&h, f.c_str(), OPEN_ASYNC), 0);
  const Completions before = Completions::now();
  uint8_t kind = 0;
  size_t n = 0;
  ASSERT_EQ(write_file_at(h, &kind, 3, "abcdef", 6, &n), 0);
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(kind, HANDLE_METHOD_NATIVE_ASYNC | HANDLE_CLASS_DISK);
  char buffer[16] = {};
  ASSERT_EQ(read_file_at(h, &kind, 0, buffer, sizeof buffer, &n), 0);
  ASSERT_EQ(n, 9u);
  EXPECT_EQ(0, std::memcmp(buffer, "\0\0\0abcdef", 9));
  const Completions after = Completions::now();
  EXPECT_GE(after.by_routine - before.by_routine, 2u) << "a successful transfer queues the routine";

  ASSERT_EQ(read_file_at(h, &kind, 9, buffer, 4, &n), 0);
  EXPECT_EQ(n, 0u);
  ASSERT_EQ(read_file_at(h, &kind, 1000, buffer, 4, &n), 0);
  EXPECT_EQ(n, 0u);
  uint32_t moved = 7;
  const uint64_t end = 9;
  EXPECT_EQ(os_native_transfer(h, false, true, buffer, 4, &end, &moved), ERR_HANDLE_EOF);
  EXPECT_EQ(moved, 0u);
  // An asynchronous handle has no position of its own to transfer at.
  EXPECT_EQ(os_native_transfer(h, false, true, buffer, 4, nullptr, &moved), ERR_INVALID_PARAMETER);
  close_handle(h);
}

// A transfer that the system refuses at once queues no routine: the issuer
// completes it itself and the thread does not wait for ever.
TEST(WindowsTransfer, AsynchronousCompletionByIssuer) {
  TestFolder dir;
  const std::string f = dir.at("refused");
  ASSERT_EQ(write_whole_file(f.c_str(), "0123456789", 10), 0);
  OsHandle h = OS_NO_HANDLE;
  ASSERT_EQ(open_file(&h, f.c_str(), 0x0403), 0);  // read only
  const Completions before = Completions::now();
  uint8_t kind = 0;
  size_t n = 99;
  EXPECT_EQ(write_file_at(h, &kind, 0, "xy", 2, &n), ERR_ACCESS_DENIED);
  EXPECT_EQ(n, 0u);
  const Completions after = Completions::now();
  EXPECT_EQ(after.by_issuer - before.by_issuer, 1u);
  EXPECT_EQ(after.by_routine, before.by_routine);
  // The handle still works afterwards.
  char buffer[4] = {};
  ASSERT_EQ(read_file_at(h, &kind, 8, buffer, 4, &n), 0);
  EXPECT_EQ(std::string(buffer, n), "89");
  close_handle(h);
}

// The real platform's native transfer, counted piece by piece.
std::vector<uint32_t> g_pieces;
int counting_transfer(OsHandle handle, bool write, bool asynchronous, void* buffer, uint32_t size,
                      const uint64_t* offset, uint32_t* out_count) {
  g_pieces.push_back(size);
  return os_native_transfer(handle, write, asynchronous, buffer, size, offset, out_count);
}

TEST(WindowsTransfer, LargeTransfersMoveIn16MiBPieces) {
  TestFolder dir;
  const std::string f = dir.at("large");
  constexpr size_t SIZE = 40u << 20;
  auto* data = static_cast<unsigned char*>(page_alloc(SIZE));
  auto* back = static_cast<unsigned char*>(page_alloc(SIZE));
  ASSERT_NE(data, nullptr);
  ASSERT_NE(back, nullptr);
  for (size_t i = 0; i < SIZE; i += 4096) data[i] = static_cast<unsigned char>(i >> 12);
  data[SIZE - 1] = 0x5A;

  TransferPlatform counting = TRANSFER_PLATFORM_REAL;
  counting.native_transfer = counting_transfer;
  const TransferPlatform* previous = transfer_platform_swap_for_test(&counting);
  for (uint32_t mode : {uint32_t{OPEN_ASYNC | OPEN_UNBUFFERED}, uint32_t{0}}) {
    OsHandle h = OS_NO_HANDLE;
    ASSERT_EQ(create_file(&h, f.c_str(), mode | OPEN_TRUNCATE), 0);
    uint8_t kind = 0;
    size_t n = 0;
    g_pieces.clear();
    ASSERT_EQ(write_file_at(h, &kind, 0, data, SIZE, &n), 0);
    EXPECT_EQ(n, SIZE);
    EXPECT_EQ(g_pieces, (std::vector<uint32_t>{16u << 20, 16u << 20, 8u << 20}));
    g_pieces.clear();
    std::memset(back, 0, SIZE);
    ASSERT_EQ(read_file_at(h, &kind, 0, back, SIZE, &n), 0);
    EXPECT_EQ(n, SIZE);
    EXPECT_EQ(g_pieces, (std::vector<uint32_t>{16u << 20, 16u << 20, 8u << 20}));
    EXPECT_EQ(0, std::memcmp(data, back, SIZE)) << std::hex << mode;
    close_handle(h);
  }
  transfer_platform_swap_for_test(previous);
  page_free(data, SIZE);
  page_free(back, SIZE);
}

}  // namespace
