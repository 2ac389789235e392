#include "base/console_ctl.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/signal.h"

namespace {

TEST(ConsoleControl, RequestTable) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const struct {
    uint32_t request;
    int result;
    bool sets;
  } cases[] = {
      {OS_CONSOLE_INTERRUPT, OS_CONSOLE_HANDLED, true}, {OS_CONSOLE_BREAK, OS_CONSOLE_HANDLED, true},
      {OS_CONSOLE_CLOSE, OS_CONSOLE_HOLD, true},        {OS_CONSOLE_LOGOFF, OS_CONSOLE_HANDLED, true},
      {OS_CONSOLE_SHUTDOWN, OS_CONSOLE_HANDLED, true},  {3, OS_CONSOLE_NOT_HANDLED, false},
      {4, OS_CONSOLE_NOT_HANDLED, false},               {7, OS_CONSOLE_NOT_HANDLED, false},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          const bool ok = console_control_request(c.request) == c.result &&
                          signal_is_set(signal_get(SIGNAL_INTERRUPT)) == c.sets;
          std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "")
        << c.request;
  }
}

}  // namespace
