// The set of stop signals that console control receives, defined with it;
// the thread file starts every new thread with them blocked. Included only
// inside platform/posix/.
#pragma once

#include <csignal>

// Fills `set` with SIGINT, SIGQUIT, SIGHUP and SIGTERM.
void posix_console_signal_set(sigset_t* set);
