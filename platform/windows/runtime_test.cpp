// The runtime services where Windows has more than POSIX: alertable waits and
// sleeps end for a queued procedure call; the process context comes from the
// UTF-16 command line and the module file.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/windows/internal.h"

namespace {

std::atomic<int> g_calls{0};
void NTAPI count_call(ULONG_PTR) { g_calls.fetch_add(1); }

TEST(WindowsRuntime, AlertableWaitsEndForQueuedCalls) {
  const OsHandle event = os_event_create();
  ASSERT_NE(event, OS_NO_HANDLE);
  g_calls = 0;
  ASSERT_TRUE(QueueUserAPC(count_call, GetCurrentThread(), 0));
  // Not alertable: the call stays queued and the wait times out.
  EXPECT_EQ(os_event_wait(event, 20, false), OS_WAIT_TIMEOUT);
  EXPECT_EQ(g_calls.load(), 0);
  EXPECT_EQ(os_event_wait(event, OS_WAIT_INFINITE, true), OS_WAIT_ALERTED);
  EXPECT_EQ(g_calls.load(), 1);

  ASSERT_TRUE(QueueUserAPC(count_call, GetCurrentThread(), 0));
  const uint64_t start = os_tick_ms();
  os_sleep_ms(OS_WAIT_INFINITE, true);
  EXPECT_EQ(g_calls.load(), 2);
  EXPECT_LT(os_tick_ms() - start, 5000u);

  os_event_set(event);
  EXPECT_EQ(os_event_wait(event, 0, true), OS_WAIT_SIGNALED);
  EXPECT_EQ(os_event_wait(event, OS_WAIT_INFINITE, false), OS_WAIT_SIGNALED);
  os_event_clear(event);
  EXPECT_EQ(os_event_wait(event, 0, false), OS_WAIT_TIMEOUT);
  os_event_close(event);
}

TEST(WindowsProcess, ArgumentsAndProgramFile) {
  int count = 0;
  const char16_t* const* wide = os_wide_arguments(&count);
  ASSERT_NE(wide, nullptr);
  ASSERT_GE(count, 1);
  EXPECT_EQ(wide[count], nullptr);
  EXPECT_EQ(os_wide_arguments(nullptr), wide) << "split once";

  char path[OS_FOLDER_TEXT_MAX];
  size_t length = 0;
  ASSERT_EQ(os_program_file(path, sizeof path, &length), 0);
  const std::string program(path, length);
  EXPECT_EQ(program.size() > 2 ? program.substr(1, 2) : "", ":\\") << program;
  EXPECT_EQ(program.substr(program.size() - 15), "\\unit_tests.exe") << program;
  // The answer must fit the caller's buffer.
  EXPECT_EQ(os_program_file(path, 4, &length), ERROR_FILENAME_EXCED_RANGE);

  ASSERT_EQ(os_current_folder(path, sizeof path, &length), 0);
  EXPECT_EQ(std::string(path, length).substr(1, 2), ":\\");
  const char drive = path[0];
  ASSERT_EQ(os_drive_current_folder(drive, path, sizeof path, &length), 0);
  EXPECT_EQ(path[0], drive);
  EXPECT_EQ(os_drive_current_folder('1', path, sizeof path, &length), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(os_user_name(path, sizeof path, &length), 0);
  EXPECT_GT(length, 0u);
}

TEST(WindowsProcess, LocaleValues) {
  char value[64];
  ASSERT_EQ(os_locale_query(OS_LOCALE_NEGATIVE_MODE, value, sizeof value), 0);
  EXPECT_TRUE(value[0] >= '0' && value[0] <= '4' && value[1] == 0) << value;
  for (int item : {OS_LOCALE_NEGATIVE_SIGN, OS_LOCALE_THOUSANDS_SEP, OS_LOCALE_GROUPING,
                   OS_LOCALE_DECIMAL_SEP, OS_LOCALE_TIME_SEP}) {
    ASSERT_EQ(os_locale_query(item, value, sizeof value), 0) << item;
    EXPECT_NE(value[0], 0) << item;
  }
  ASSERT_EQ(os_locale_query(OS_LOCALE_GROUPING, value, sizeof value), 0);
  EXPECT_NE(std::string(value).find(';'), std::string::npos) << value;
  EXPECT_EQ(os_locale_query(6, value, sizeof value), ERROR_INVALID_PARAMETER);
}

}  // namespace
