// Process-wide services: exit handlers and the fatal exit.
#include <cstdlib>

#include "platform/windows/internal.h"

bool os_exit_handler_add(void (*handler)()) { return std::atexit(handler) == 0; }

void os_fatal_exit(const char* text, size_t length) {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  while (length > 0 && out != nullptr && out != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    const DWORD piece = length > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length);
    if (!WriteFile(out, text, piece, &written, nullptr) || written == 0) break;
    text += written;
    length -= written;
  }
  // Without a debugger the breakpoint would end the process as a crash.
  if (IsDebuggerPresent()) DebugBreak();
  TerminateProcess(GetCurrentProcess(), 255);
  for (;;) Sleep(INFINITE);
}
