// Console control on Windows: the hidden "SignalWindow" window turns close
// requests into SIGNAL_INTERRUPT and stays; the console handler does the same
// for the interrupt key. Each case runs in a child process, since the
// interrupt signal is never reset.
#include <gtest/gtest.h>

#include <cstdlib>

#include "base/console_ctl.h"
#include "base/signal.h"
#include "platform/windows/internal.h"

namespace {

TEST(ConsoleControlWindows, CloseMessageSetsInterruptAndWindowStays) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        console_control_start();
        // Without a console the start made the window; with one, make it here.
        HWND window = win_signal_window_start();
        if (!window || FindWindowW(L"SignalWindow", L"SignalWindow") != window) std::exit(2);
        Signal* interrupt = signal_get(SIGNAL_INTERRUPT);
        if (signal_is_set(interrupt)) std::exit(3);
        // The session does not end: nothing happens.
        SendMessageW(window, WM_ENDSESSION, FALSE, 0);
        if (signal_is_set(interrupt) || !IsWindow(window)) std::exit(4);
        if (!PostMessageW(window, WM_CLOSE, 0, 0)) std::exit(5);
        if (!signal_wait(interrupt, nullptr, 10000)) std::exit(6);
        if (!IsWindow(window)) std::exit(7);
        // A second close changes nothing.
        SendMessageW(window, WM_CLOSE, 0, 0);
        // The tear-down message makes the window destroy itself.
        SendMessageW(window, WM_USER + 100, 0, 0);
        if (IsWindow(window)) std::exit(8);
        std::exit(signal_is_set(interrupt) ? 0 : 9);
      },
      testing::ExitedWithCode(0), "");
}

TEST(ConsoleControlWindows, InterruptKeyThroughConsoleHandler) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The test's own console, when it has none, is made in the child; whether
  // one can be made at all is asked here first.
  if (!GetConsoleWindow()) {
    if (!AllocConsole()) {
      GTEST_SKIP() << "no console can be made here (Wine without a display has no console host)";
    }
    FreeConsole();
  }
  EXPECT_EXIT(
      {
        if (!GetConsoleWindow() && !AllocConsole()) std::exit(10);
        // A new console's process starts with the interrupt key ignored.
        SetConsoleCtrlHandler(nullptr, FALSE);
        console_control_start();
        Signal* interrupt = signal_get(SIGNAL_INTERRUPT);
        if (!GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) std::exit(11);
        if (!signal_wait(interrupt, nullptr, 5000)) std::exit(12);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
