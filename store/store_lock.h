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
#include "platform/platform.h"
#include "store/store.h"

struct StoreLock {
  OsHandle handle;  // the open store info file; -1 when not held
};

// How long a waiting acquisition sleeps between attempts.
constexpr int32_t STORE_LOCK_RETRY_MS = 100;

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
// the other way and `wait` is set, calls `on_wait(context)` once (optional)
// and tries again until it succeeds or `cancel` (optional) is set (1223);
// without `wait` returns 170 at once. Returns 0 or an error number with a
// text in `pool`.
[[nodiscard]] int store_lock_acquire(StoreLock* lock, ScratchPool* pool, const char** out_err,
                                     const StoreInfo* store, int how, bool wait, Signal* cancel,
                                     void (*on_wait)(void*), void* context);
// Drops the lock if held.
void store_lock_release(StoreLock* lock);

// store_lock_acquire for a command on the main thread: waits unless
// `fail_at_once`, cancelled by Ctrl-C, with a console line when it waits;
// a failure is printed as an error. Returns 0 or the error number.
[[nodiscard]] int store_lock_for_command(StoreLock* lock, const StoreInfo* store, int how,
                                         bool fail_at_once);
