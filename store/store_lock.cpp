// The store lock: a whole-file lock on the store info file.
#include "store/store_lock.h"

#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/runtime.h"
#include "base/text.h"
#include "frame/console_msg.h"

namespace {

// Opens the store info file to hold a lock on it. An exclusive lock asks for
// write access where the user has it: network file systems that emulate
// whole-file locks with record locks grant exclusive ones only to writers.
// (On POSIX a writer's open takes a shared lock of its own, which the
// exclusive one then replaces.)
int open_lock_file(OsHandle* out_handle, const char* info, bool exclusive) {
  if (exclusive) {
    const int rc = open_file(out_handle, info, OPEN_READ | OPEN_WRITE | OPEN_SHARE_ALL);
    if (rc != ERR_ACCESS_DENIED && rc != ERR_WRITE_PROTECT) return rc;
  }
  return open_file(out_handle, info, OPEN_READ);
}

}  // namespace

int store_lock_acquire(StoreLock* lock, ScratchPool* pool, const char** out_err,
                       const StoreInfo* store, int how, uint64_t wait_ms, Signal* cancel,
                       void (*on_wait)(void*), void* context) {
  lock->handle = OS_NO_HANDLE;
  if (out_err) *out_err = nullptr;
  ScratchPool local;
  const char* info = path_join(&local, store->path, STORE_INFO_FILE);
  if (!info) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory");
  const bool exclusive = how == STORE_LOCK_EXCLUSIVE;
  bool waited = false;
  uint64_t started = 0;  // tick of the first refusal
  for (;;) {
    OsHandle h = OS_NO_HANDLE;
    int rc = open_lock_file(&h, info, exclusive);
    if (rc == 0) {
      rc = lock_file(h, exclusive);
      if (rc == 0) {
        lock->handle = h;
        return 0;
      }
      // Each attempt starts afresh: a handle kept between attempts would
      // keep its writer's shared lock, and two prunes would wait for each
      // other forever.
      close_handle(h);
      // A file system without locks lets copies and readers go on unlocked;
      // prune, which needs the lock to be safe, refuses to run there.
      if (rc == ERR_NOT_SUPPORTED && how != STORE_LOCK_EXCLUSIVE) return 0;
    }
    if (rc != ERR_LOCK_VIOLATION && rc != ERR_SHARING_VIOLATION) {
      return err_set(pool, out_err, rc, "Unable to lock the store \"%s\"", info);
    }
    const uint64_t now = tick_ms();
    if (!waited) started = now;
    const uint64_t waited_ms = now - started;
    if (waited_ms >= wait_ms) {
      const char* folder = text_or_empty(path_full(&local, store->path, ".."));
      if (wait_ms == 0) {
        return err_set(pool, out_err, ERR_STORE_IN_USE,
                       "Store in use by another zuvo command \"%s\"", folder);
      }
      return err_set(pool, out_err, ERR_STORE_IN_USE,
                     "Store still in use by another zuvo command after waiting %I64u s \"%s\"",
                     wait_ms / 1000, folder);
    }
    if (!waited && on_wait) on_wait(context);
    waited = true;
    // The last sleep ends at the limit, so that a limit is kept to the tick.
    const uint64_t left = wait_ms - waited_ms;
    const auto pause = static_cast<int32_t>(
        left < static_cast<uint64_t>(STORE_LOCK_RETRY_MS) ? left : STORE_LOCK_RETRY_MS);
    if (cancel && signal_wait(cancel, nullptr, pause)) {
      return err_set(pool, out_err, ERR_CANCELLED, "cancelled");
    }
    if (!cancel) (void)signal_wait(signal_get(SIGNAL_NEVER), nullptr, pause);
  }
}

void store_lock_release(StoreLock* lock) {
  if (lock->handle != OS_NO_HANDLE) unlock_file(lock->handle);
  close_handle(lock->handle);
  lock->handle = OS_NO_HANDLE;
}

namespace {

void print_wait(void* store_path) {
  console_print("waiting for the store \"%s\": another zuvo command is using it (Ctrl-C cancels)\n",
                static_cast<const char*>(store_path));
}

}  // namespace

int store_lock_for_command(StoreLock* lock, const StoreInfo* store, int how, uint64_t wait_ms) {
  ScratchPool pool;
  const char* err = nullptr;
  char* folder = path_full(&pool, store->path, "..");
  const int rc =
      store_lock_acquire(lock, &pool, &err, store, how, wait_ms, signal_get(SIGNAL_INTERRUPT),
                         print_wait, const_cast<char*>(text_or_empty(folder)));
  if (rc) console_print("ERROR: %s\n", text_or_empty(err));
  return rc;
}

int store_lock_wait_of_switches(const SwitchLine* line, uint64_t* out_wait_ms) {
  *out_wait_ms = STORE_LOCK_WAIT_FOREVER;
  if (switch_given(line, 'b')) {
    *out_wait_ms = 0;
    return 0;
  }
  if (!switch_given(line, 't')) return 0;
  const char* text = switch_value(line, 't');
  uint64_t seconds = 0;
  // A limit guessed at would let a timer's run wait for ever or give up at once.
  if (!switch_parse_number(text, &seconds) || seconds >= STORE_LOCK_WAIT_FOREVER / 1000) {
    console_print("ERROR: Invalid wait limit \"%s\": give whole seconds in decimal digits\n",
                  text_or_empty(text));
    return ERR_INVALID_PARAMETER;
  }
  *out_wait_ms = seconds * 1000;
  return 0;
}
