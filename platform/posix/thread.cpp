// Threads on pthreads. A handle owns the pthread until it is joined (the
// thread has ended) or, when closed earlier, detached. Every thread made here
// starts with the console stop signals blocked, so only the console listener
// receives them.
#include "platform/platform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "platform/posix/console_signals.h"
#include "platform/posix/internal.h"

namespace {

struct PosixThread {
  pthread_t thread;
  bool joined;
};

struct StartPacket {
  void (*routine)(void*);
  void* argument;
};

void* thread_entry(void* packet) {
  StartPacket p = *static_cast<StartPacket*>(packet);
  std::free(packet);
  p.routine(p.argument);
  return nullptr;
}

std::atomic<bool> g_priority_refused{false};

}  // namespace

OsHandle os_thread_create(void (*routine)(void*), void* argument, size_t stack_size) {
  auto* handle = static_cast<PosixThread*>(std::calloc(1, sizeof(PosixThread)));
  auto* packet = static_cast<StartPacket*>(std::malloc(sizeof(StartPacket)));
  if (!handle || !packet) {
    std::free(handle);
    std::free(packet);
    return OS_NO_HANDLE;
  }
  *packet = StartPacket{routine, argument};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size != 0) {
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    size_t size = (stack_size + page - 1) / page * page;
    if (size < static_cast<size_t>(PTHREAD_STACK_MIN)) size = PTHREAD_STACK_MIN;
    pthread_attr_setstacksize(&attr, size);
  }
  // The new thread inherits the mask in force here: born with the stop
  // signals blocked, it can never take one before it could block them itself.
  sigset_t stop, saved;
  posix_console_signal_set(&stop);
  pthread_sigmask(SIG_BLOCK, &stop, &saved);
  int rc = pthread_create(&handle->thread, &attr, thread_entry, packet);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    std::free(handle);
    std::free(packet);
    return OS_NO_HANDLE;
  }
  return reinterpret_cast<OsHandle>(handle);
}

int os_thread_wait(OsHandle thread, uint32_t timeout_ms) {
  auto* h = reinterpret_cast<PosixThread*>(thread);
  if (h->joined) return OS_WAIT_SIGNALED;
  int rc;
  if (timeout_ms == 0) {
    rc = pthread_tryjoin_np(h->thread, nullptr);
  } else if (timeout_ms == OS_WAIT_INFINITE) {
    rc = pthread_join(h->thread, nullptr);
  } else {
    // The join deadline is on the realtime clock; the waits here are short.
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
    do {
      rc = pthread_timedjoin_np(h->thread, nullptr, &deadline);
    } while (rc == EINTR);
  }
  if (rc != 0) return OS_WAIT_TIMEOUT;
  h->joined = true;
  return OS_WAIT_SIGNALED;
}

void os_thread_close(OsHandle thread) {
  if (thread == OS_NO_HANDLE) return;
  auto* h = reinterpret_cast<PosixThread*>(thread);
  if (!h->joined) pthread_detach(h->thread);
  std::free(h);
}

void os_thread_raise_priority() {
  if (g_priority_refused.load(std::memory_order_relaxed)) return;
  // A negative nice value needs a privilege most processes lack; after the
  // first refusal no further attempt is made.
  auto tid = static_cast<id_t>(syscall(SYS_gettid));
  if (setpriority(PRIO_PROCESS, tid, -20) != 0) {
    g_priority_refused.store(true, std::memory_order_relaxed);
  }
}

void os_thread_exit() { pthread_exit(nullptr); }
