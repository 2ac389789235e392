// Console control: every outside request to stop the program (interrupt and
// break keys, the terminal or console closing, logoff, shutdown) sets
// SIGNAL_INTERRUPT. Nothing is stopped by force; running commands notice the
// signal and wind down. SIGNAL_INTERRUPT is never reset.
#pragma once

#include <cstdint>

// Starts console control; later calls do nothing. Called by the program entry
// before it dispatches a command. Thread-safe.
void console_control_start();

// Handles one control request (OS_CONSOLE_*): interrupt, break, close, logoff
// and shutdown set SIGNAL_INTERRUPT. Returns OS_CONSOLE_HANDLED,
// OS_CONSOLE_HOLD for close (the delivering thread must not let the system end
// the process), or OS_CONSOLE_NOT_HANDLED for anything else.
int console_control_request(uint32_t request);
