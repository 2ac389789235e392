// The set of stop signals that console control receives; shared by the thread
// and console files. Included only inside platform/posix/.
#pragma once

#include <csignal>

// Fills `set` with SIGINT, SIGQUIT, SIGHUP and SIGTERM.
void posix_console_signal_set(sigset_t* set);
