// Threads made with CreateThread. Console control requests arrive on threads
// the system makes for them, so the threads made here need no preparation.
#include <cstdlib>

#include "platform/windows/internal.h"

namespace {

struct StartPacket {
  void (*routine)(void*);
  void* argument;
};

DWORD WINAPI thread_entry(LPVOID packet) {
  StartPacket p = *static_cast<StartPacket*>(packet);
  std::free(packet);
  p.routine(p.argument);
  return 0;
}

}  // namespace

OsHandle os_thread_create(void (*routine)(void*), void* argument, size_t stack_size) {
  auto* packet = static_cast<StartPacket*>(std::malloc(sizeof(StartPacket)));
  if (!packet) return OS_NO_HANDLE;
  *packet = StartPacket{routine, argument};
  // The size reserves the stack rather than committing it all at once.
  HANDLE thread = CreateThread(nullptr, stack_size, thread_entry, packet,
                               stack_size ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0, nullptr);
  if (!thread) {
    std::free(packet);
    return OS_NO_HANDLE;
  }
  return win_os_handle(thread);
}

int os_thread_wait(OsHandle thread, uint32_t timeout_ms) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(timeout_ms) * 10000;
  const NTSTATUS status = NtWaitForSingleObject(
      win_handle(thread), FALSE, timeout_ms == OS_WAIT_INFINITE ? nullptr : &timeout);
  return status == STATUS_WAIT_0 ? OS_WAIT_SIGNALED : OS_WAIT_TIMEOUT;
}

void os_thread_close(OsHandle thread) {
  if (thread == OS_NO_HANDLE || thread == 0) return;
  CloseHandle(win_handle(thread));
}

void os_thread_raise_priority() {
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

void os_thread_exit() {
  ExitThread(0);
}
