#include "frame/console_msg.h"

#include <gtest/gtest.h>

#include <string>

#include "base/file.h"
#include "base/transfer.h"

namespace {

// Points standard output at a pipe for the test's lifetime and reads what
// arrived.
class ConsoleMsg : public ::testing::Test {
 protected:
  void SetUp() override {
    os_process_setup();
    ASSERT_EQ(os_pipe_create(&read_end, &write_end), 0);
    saved = os_standard_handle(1);
    os_standard_handle_set(1, write_end);
  }
  void TearDown() override {
    os_standard_handle_set(1, saved);
    close_handle(read_end);
    close_handle(write_end);
  }
  std::string drain() {
    os_standard_handle_set(1, saved);
    close_handle(write_end);
    write_end = OS_NO_HANDLE;
    std::string out;
    char buffer[256];
    size_t n;
    while (read_file(read_end, buffer, sizeof buffer, &n) == 0 && n > 0) out.append(buffer, n);
    return out;
  }
  OsHandle read_end = OS_NO_HANDLE, write_end = OS_NO_HANDLE, saved = OS_NO_HANDLE;
};

TEST_F(ConsoleMsg, ByteForByteToStandardOutput) {
  const char* none = nullptr;
  console_print("ERROR: %s\n", none);
  console_print("caf\xC3\xA9 %u\n", 42u);
  warn_unknown_switch("/X");
  warn_unexpected_argument("extra");
  console_print("plain\n");
  EXPECT_EQ(drain(),
            "ERROR: \n"
            "caf\xC3\xA9 42\n"
            "WARNING: Ignoring unknown switch \"/X\"\n"
            "WARNING: Ignoring unexpected argument \"extra\"\n"
            "plain\n");
}

TEST_F(ConsoleMsg, WritesToTheGivenHandle) {
  OsHandle r, w;
  ASSERT_EQ(os_pipe_create(&r, &w), 0);
  console_write_formatted(w, "%s=%I64u\n", "size", uint64_t{1} << 40);
  close_handle(w);
  char buffer[64];
  size_t n = 0;
  ASSERT_EQ(read_file(r, buffer, sizeof buffer, &n), 0);
  EXPECT_EQ(std::string(buffer, n), "size=1099511627776\n");
  close_handle(r);
  EXPECT_EQ(drain(), "") << "nothing went to standard output";
  // A closed handle is not an error anyone sees.
  console_write_formatted(OS_NO_HANDLE, "lost\n");
}

}  // namespace
