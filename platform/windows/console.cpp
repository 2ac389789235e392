// Console control and the console width. The console control handler
// receives the console's stop requests; a process without a console gets them
// as messages to a hidden top-level window, "SignalWindow", run by a thread of
// its own. Both hand the requests to the program's handler and do nothing else.
#include "platform/windows/internal.h"

namespace {

constexpr UINT MESSAGE_DESTROY_WINDOW = WM_USER + 100;  // makes the window destroy itself
constexpr wchar_t WINDOW_NAME[] = L"SignalWindow";

int (*g_handler)(uint32_t) = nullptr;

// Guards the window state below; initialised on first use.
INIT_ONCE g_lock_once = INIT_ONCE_STATIC_INIT;
CRITICAL_SECTION g_lock;
HWND g_window = nullptr;        // recorded while the window exists
bool g_session_ending = false;  // the end-of-session message arrived
bool g_window_thread_started = false;
HANDLE g_window_ready = nullptr;  // set once the window exists or cannot be made

BOOL CALLBACK init_lock(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&g_lock);
  return TRUE;
}

void lock() {
  InitOnceExecuteOnce(&g_lock_once, init_lock, nullptr, nullptr);
  EnterCriticalSection(&g_lock);
}
void unlock() { LeaveCriticalSection(&g_lock); }

int deliver(uint32_t request) { return g_handler ? g_handler(request) : OS_CONSOLE_NOT_HANDLED; }

[[noreturn]] void hold_forever() {
  for (;;) Sleep(INFINITE);
}

BOOL WINAPI control_handler(DWORD type) {
  switch (deliver(type)) {
    case OS_CONSOLE_HANDLED:
      return TRUE;
    case OS_CONSOLE_HOLD:
      // Returning would let the system end the process before the program
      // has wound down; it ends the process itself when it is done.
      hold_forever();
    default:
      return FALSE;
  }
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_CREATE:
      lock();
      g_window = window;
      unlock();
      break;
    case WM_DESTROY:
      lock();
      g_window = nullptr;
      unlock();
      break;
    case WM_CLOSE:
      // A close request; the window stays, the program winds down.
      (void)deliver(OS_CONSOLE_CLOSE);
      return 0;
    case WM_ENDSESSION:
      if (wparam == FALSE) return 0;
      lock();
      g_window = nullptr;
      g_session_ending = true;
      unlock();
      (void)deliver((lparam & ENDSESSION_LOGOFF) ? OS_CONSOLE_LOGOFF : OS_CONSOLE_SHUTDOWN);
      hold_forever();
    case MESSAGE_DESTROY_WINDOW:
      DestroyWindow(window);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool window_recorded() {
  lock();
  const bool recorded = g_window != nullptr;
  unlock();
  return recorded;
}

DWORD WINAPI window_thread(LPVOID) {
  WNDCLASSW window_class{};
  window_class.lpfnWndProc = window_procedure;
  window_class.lpszClassName = WINDOW_NAME;
  RegisterClassW(&window_class);
  // The procedure records the window while it is being created.
  CreateWindowExW(0, WINDOW_NAME, WINDOW_NAME, WS_CLIPSIBLINGS | WS_CAPTION | WS_SYSMENU, 100, 100,
                  200, 200, nullptr, nullptr, nullptr, nullptr);
  lock();
  HWND window = g_window;
  unlock();
  SetEvent(g_window_ready);
  if (!window) return 0;
  ShowWindow(window, SW_HIDE);
  ShowWindow(window, SW_HIDE);
  MSG message;
  while (window_recorded()) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == -1) break;  // the queue cannot be read: nothing more will arrive
    if (got != 0) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return 0;
}

}  // namespace

HWND win_signal_window_start() {
  lock();
  if (!g_window_thread_started) {
    g_window_thread_started = true;
    g_window_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = g_window_ready ? CreateThread(nullptr, 0, window_thread, nullptr, 0, nullptr)
                                   : nullptr;
    // The thread lives until the process ends; its handle is not needed.
    if (thread) CloseHandle(thread);
    else if (g_window_ready) SetEvent(g_window_ready);
  }
  HANDLE ready = g_window_ready;
  unlock();
  if (ready) WaitForSingleObject(ready, INFINITE);
  lock();
  HWND window = g_window;
  unlock();
  return window;
}

bool os_console_control_install(int (*handler)(uint32_t request)) {
  g_handler = handler;
  SetConsoleCtrlHandler(control_handler, TRUE);
  // With a console, its handler delivers the requests. Without one, only the
  // messages to top-level windows can reach the program.
  HANDLE console = CreateFileW(L"CONIN$", GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (console != INVALID_HANDLE_VALUE) {
    CloseHandle(console);
    return true;
  }
  return win_signal_window_start() != nullptr;
}

uint32_t os_console_width(OsHandle handle) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (handle == 0 || handle == OS_NO_HANDLE ||
      !GetConsoleScreenBufferInfo(win_handle(handle), &info) || info.dwSize.X <= 0) {
    return 0;
  }
  // Lines wrap at the buffer's width, not the window's.
  return static_cast<uint32_t>(info.dwSize.X);
}
