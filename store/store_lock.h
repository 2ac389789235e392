// The store lock: commands that add chunks to a store (copies into it) share
// it, and prune, which deletes chunks no map lists, holds it alone, so that
// prune never deletes a chunk that a running copy has just found stored and
// is about to list. The lock is an advisory whole-file lock on the store info
// file (os_file_lock), which every user of the store may read: POSIX file
// locks (network file systems that support them included) and a Windows
// byte-range lock. Copies out of a store take no lock.
#pragma once

#include "base/scratch.h"
#include "base/signal.h"
#include "frame/switches.h"
#include "platform/platform.h"
#include "store/store.h"

struct StoreLock {
  OsHandle handle;  // the open store info file; -1 when not held
};

// How long a waiting acquisition sleeps between attempts.
constexpr int32_t STORE_LOCK_RETRY_MS = 100;
// A wait for the lock without a time limit.
constexpr uint64_t STORE_LOCK_WAIT_FOREVER = UINT64_MAX;

// How a lock is taken.
enum : int {
  // Adding chunks: shared, or not taken at all (the handle stays -1) on a
  // file system without locks, where no prune can run either.
  STORE_LOCK_SHARED = 0,
  STORE_LOCK_EXCLUSIVE = 1,  // deleting chunks
  // Reading only: shared, or not taken at all on a file system without locks.
  STORE_LOCK_READER = 2,
};

// Takes `store`'s lock the way `how` says. When another process holds it
// the other way, calls `on_wait(context)` once (optional) and tries again
// until it succeeds, `cancel` (optional) is set (1223) or `wait_ms` have
// passed (ERR_STORE_IN_USE; at once for 0; STORE_LOCK_WAIT_FOREVER: no
// limit). Returns 0 or an error number with a text in `pool`.
[[nodiscard]] int store_lock_acquire(StoreLock* lock, ScratchPool* pool, const char** out_err,
                                     const StoreInfo* store, int how, uint64_t wait_ms,
                                     Signal* cancel, void (*on_wait)(void*), void* context);
// Drops the lock if held.
void store_lock_release(StoreLock* lock);

// store_lock_acquire for a command on the main thread: waits up to `wait_ms`,
// cancelled by Ctrl-C, with a console line when it waits; a failure is
// printed as an error. Returns 0 or the error number.
[[nodiscard]] int store_lock_for_command(StoreLock* lock, const StoreInfo* store, int how,
                                         uint64_t wait_ms);

// The lock wait a command's switches ask for: 0 with -b, the seconds of
// -t <seconds>, else STORE_LOCK_WAIT_FOREVER (-b wins over -t). A -t value
// that is not whole seconds in decimal digits is printed as an error and
// returns ERR_INVALID_PARAMETER.
[[nodiscard]] int store_lock_wait_of_switches(const SwitchLine* line, uint64_t* out_wait_ms);
