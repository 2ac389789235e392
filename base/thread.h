// Threads of the program: started with a record on the runtime's list,
// joined lazily in batches once enough of them have finished, and all joined
// at process exit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/runtime.h"

// One started thread, owned by the runtime's list; freed once joined.
struct ThreadRecord {
  ThreadRecord* next;                  // next (older) record on the list
  void (*routine)(void* argument);     // start routine; its result is ignored
  void* argument;
  void (*exit_callback)(void* data);   // optional; runs once the routine is over
  void* exit_data;
  OsHandle handle;                     // OS_NO_HANDLE until creation has returned
  int32_t generation;                  // 0 while running, then the finish generation
};

// Starts `routine(argument)` on a new thread with a stack of `stack_size` bytes
// (0: the system default). `exit_callback(exit_data)` (optional) runs on the
// thread after the routine returns, or on the reaping thread if the thread
// ended without returning. Returns true when the thread was created; false
// without a RuntimeBlock, without memory or when the system refuses.
// Thread-safe.
bool thread_start(void (*routine)(void*), void* argument, void (*exit_callback)(void*),
                  void* exit_data, size_t stack_size);

// Sets SIGNAL_SHUTDOWN, joins every started thread (newest first), frees the
// records and sets SIGNAL_SHUTDOWN_DONE. The runtime's exit step.
void threads_reap_all();

// Reads the counts of the thread list (records, finished records); zeros
// without a RuntimeBlock. For diagnostics and tests.
void threads_count(int32_t* out_records, int32_t* out_finished);
