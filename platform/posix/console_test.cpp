// Console control on POSIX: the stop signals reach the program's handler
// through the listener thread.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/console_ctl.h"
#include "base/runtime.h"
#include "base/signal.h"

namespace {

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
