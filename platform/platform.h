// The one interface between the program and the operating system. Everything
// above platform/ reaches files, handles, events, memory, threads, console
// control and the process's surroundings only through these functions. Texts
// cross as UTF-8; handles are integers, -1 for none. Failures are Windows
// error numbers (see base/err.h), translated inside each implementation.
// platform/posix/ implements it now; platform/windows/ later wraps the native
// services with the same signatures.
#pragma once

#include <cstddef>
#include <cstdint>

// A file, event or thread handle; OS_NO_HANDLE for none.
using OsHandle = int64_t;
constexpr OsHandle OS_NO_HANDLE = -1;

// ---- Files, handles, transfers and folder queries ----

// ---- Runtime: events, memory, clock, threads, console control, process ----

// Time-outs in milliseconds; OS_WAIT_INFINITE waits without limit.
constexpr uint32_t OS_WAIT_INFINITE = 0xFFFFFFFFu;

// Results of the waits below.
enum : int {
  OS_WAIT_SIGNALED = 0,  // the object was signalled
  OS_WAIT_TIMEOUT = 1,   // the time-out passed first
  OS_WAIT_ALERTED = 2,   // an alert or queued procedure call ended an alertable wait
};

// Creates a manual-reset event, not signalled. Returns its handle, or
// OS_NO_HANDLE when the system refuses. Thread-safe.
OsHandle os_event_create();
// Signals the event and wakes every waiter; it stays signalled until cleared.
void os_event_set(OsHandle event);
// Returns the event to the not-signalled state.
void os_event_clear(OsHandle event);
// Waits until the event is signalled or `timeout_ms` passes (OS_WAIT_INFINITE
// for no limit). `alertable` lets queued procedure calls end the wait where
// the system has them. Returns one of OS_WAIT_*.
int os_event_wait(OsHandle event, uint32_t timeout_ms, bool alertable);
// Closes the event. REQUIRES: nobody waits on it or sets it any more.
void os_event_close(OsHandle event);

// Commits `size` bytes of zero-filled read-write pages at an address the
// system chooses. Returns null on failure. Thread-safe.
void* os_page_alloc(size_t size);
// Releases pages from os_page_alloc; `size` is the size given there.
void os_page_free(void* address, size_t size);

// Milliseconds since an arbitrary origin on a clock that never goes back.
uint64_t os_tick_ms();
// Sleeps `ms` milliseconds (OS_WAIT_INFINITE: without limit). An alertable
// sleep may end early where the system has queued procedure calls.
void os_sleep_ms(uint32_t ms, bool alertable);
// The calling thread's id: never 0, unique among the living threads, and
// cheap enough to read on every lock acquisition (no system call once known).
uint64_t os_thread_id();

// Starts a thread running `routine(argument)` with a stack of `stack_size`
// bytes (0: the system default). Returns the thread's handle, or OS_NO_HANDLE
// when the thread could not be created. Console stop requests are kept away
// from every thread made here (see os_console_control_install).
OsHandle os_thread_create(void (*routine)(void*), void* argument, size_t stack_size);
// Waits up to `timeout_ms` (0 polls) for the thread to have ended. Returns
// OS_WAIT_SIGNALED once it has, else OS_WAIT_TIMEOUT. Only one thread waits on
// a given handle at a time.
int os_thread_wait(OsHandle thread, uint32_t timeout_ms);
// Releases the handle; a thread still running goes on and cleans up after
// itself when it ends.
void os_thread_close(OsHandle thread);
// Raises the calling thread to the highest priority the process may grant;
// nothing happens where raising is not permitted.
void os_thread_raise_priority();
// Ends the calling thread at once; its routine never returns.
[[noreturn]] void os_thread_exit();

// Console control request numbers handed to the handler below.
enum : uint32_t {
  OS_CONSOLE_INTERRUPT = 0,  // interrupt key (Ctrl-C)
  OS_CONSOLE_BREAK = 1,      // break key (Ctrl-Break; Ctrl-\ on POSIX)
  OS_CONSOLE_CLOSE = 2,      // the console or terminal was closed
  OS_CONSOLE_LOGOFF = 5,     // the user logs off
  OS_CONSOLE_SHUTDOWN = 6,   // the system shuts down or asks the program to end
};
// What a console control handler asks of the platform after a request.
enum : int {
  OS_CONSOLE_NOT_HANDLED = 0,  // let the system's default action happen
  OS_CONSOLE_HANDLED = 1,      // the request was taken
  OS_CONSOLE_HOLD = 2,         // taken; keep the delivering thread from returning
                               // where returning would let the system end the process
};
// Routes every outside request to stop the program to `handler`, which runs on
// a thread of the platform's own (never on a thread that holds program locks).
// POSIX: SIGINT, SIGQUIT, SIGHUP and SIGTERM are blocked in the calling thread
// and in every thread os_thread_create makes, and one listener thread receives
// them; signals that were ignored when the program started stay ignored.
// Returns false when no listener could be set up. REQUIRES: called once.
bool os_console_control_install(int (*handler)(uint32_t request));

// Registers `handler` to run at normal process exit; handlers run last
// registered first. Returns false when the list is full.
bool os_exit_handler_add(void (*handler)());
// Writes `length` bytes of `text` to standard output, stops in an attached
// debugger, and ends the process with exit code 255. Never returns.
[[noreturn]] void os_fatal_exit(const char* text, size_t length);
