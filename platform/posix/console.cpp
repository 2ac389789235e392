// Console control and the terminal width. The stop signals are blocked in
// every thread and taken by one listener thread with sigwait, which hands them
// to the program's handler. Signal handlers may not take locks; a plain thread
// may.
#include "platform/platform.h"

#include <csignal>
#include <initializer_list>

#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/posix/console_signals.h"
#include "platform/posix/internal.h"

namespace {

int (*g_handler)(uint32_t) = nullptr;
sigset_t g_listened;

uint32_t request_from_signal(int sig) {
  switch (sig) {
    case SIGINT: return OS_CONSOLE_INTERRUPT;
    case SIGQUIT: return OS_CONSOLE_BREAK;
    case SIGHUP: return OS_CONSOLE_CLOSE;
    default: return OS_CONSOLE_SHUTDOWN;
  }
}

void* listener(void*) {
  for (;;) {
    int sig = 0;
    if (sigwait(&g_listened, &sig) != 0) continue;
    // OS_CONSOLE_HOLD asks not to return to a system that would end the
    // process; here returning ends nothing, so the listener goes on.
    (void)g_handler(request_from_signal(sig));
  }
  return nullptr;
}

}  // namespace

void posix_console_signal_set(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGQUIT);
  sigaddset(set, SIGHUP);
  sigaddset(set, SIGTERM);
}

bool os_console_control_install(int (*handler)(uint32_t request)) {
  g_handler = handler;
  sigset_t all;
  posix_console_signal_set(&all);
  sigemptyset(&g_listened);
  for (int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM}) {
    struct sigaction current {};
    // A signal the program was started with ignored (nohup, background jobs)
    // stays ignored, as the user asked.
    if (sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&g_listened, sig);
  }
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  pthread_t thread;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  int rc = pthread_create(&thread, &attr, listener, nullptr);
  pthread_attr_destroy(&attr);
  return rc == 0;
}

uint32_t os_console_width(OsHandle handle) {
  if (handle < 0 || !isatty(static_cast<int>(handle))) return 0;
  struct winsize size;
  if (ioctl(static_cast<int>(handle), TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}
