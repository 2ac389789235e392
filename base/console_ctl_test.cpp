#include "base/console_ctl.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

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

// A stop signal sent to the process from outside sets SIGNAL_INTERRUPT; a
// second one changes nothing and the process still ends normally.
TEST(ConsoleControl, StopSignalsSetInterrupt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const char* name : {"INT", "QUIT", "HUP", "TERM"}) {
    const std::string kill = std::string("kill -") + name + " $PPID";
    EXPECT_EXIT(
        {
          for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) std::signal(sig, SIG_DFL);
          console_control_start();
          console_control_start();
          Signal* interrupt = signal_get(SIGNAL_INTERRUPT);
          if (signal_is_set(interrupt)) std::exit(2);
          if (std::system(kill.c_str()) != 0) std::exit(3);
          if (!signal_wait(interrupt, nullptr, 10000)) std::exit(4);
          if (std::system(kill.c_str()) != 0) std::exit(5);
          sleep_ms(100);
          std::fprintf(stderr, "still running\n");
          std::exit(signal_is_set(interrupt) ? 0 : 6);
        },
        testing::ExitedWithCode(0), "still running")
        << name;
  }
}

}  // namespace
