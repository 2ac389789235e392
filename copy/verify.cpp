// The chunk check driver and its per-chunk work, on the copy's work-item
// scheme: a free list of 16 items, each with its buffer, hasher and chunk
// file, handed out in order and returned by the worker that ran it.
#include "copy/verify.h"

#include <atomic>
#include <cstring>
#include <new>

#include "base/err.h"
#include "base/file.h"
#include "base/fmt.h"
#include "base/lock.h"
#include "base/runtime.h"
#include "base/work_item.h"
#include "copy/driver_loop.h"
#include "hash/chunk_hash.h"
#include "store/chunk_file.h"
#include "store/store_walk.h"

namespace {

struct VerifyJob;

// Names tried for a damaged chunk file moved aside.
constexpr int VERIFY_ASIDE_TRIES = 100;
// Checks and moves of one chunk at most, should copies keep storing it anew
// just as it is moved.
constexpr int VERIFY_RECHECK_ROUNDS = 4;

struct VerifyItem {
  VerifyItem* next;  // free-list link
  VerifyJob* job;
  size_t index;  // the chunk being checked
  VerifyCheck check;
};

struct VerifyJob {
  const StoreInfo* store;
  const MarkSet* chunks;
  uint8_t* status;
  RecursiveLock lock;  // guards free_list; the counters are atomic
  uint64_t done;       // chunk bytes checked
  uint64_t read;       // chunk file bytes read
  std::atomic<int32_t> in_flight;
  Signal item_free;
  VerifyItem* free_list;
  VerifyItem items[COPY_WORK_ITEMS];
};

// The sizes a stored chunk can have: a whole chunk, or in a compressing
// store a deflate stream at least one block shorter.
bool size_plausible(const StoreInfo* store, uint64_t size) {
  if (size == store->chunk_size) return true;
  return store->compression_type == STORE_COMPRESSION_ZIP && size > 0 &&
         size <= store->chunk_size - CHUNK_FILE_ALIGN;
}

uint8_t check_chunk(VerifyCheck* check, const uint8_t* hash, uint64_t* out_read) {
  const StoreInfo* store = check->store;
  int rc = chunk_file_open(store, nullptr, nullptr, &check->chunk, hash, false);
  if (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND) return VERIFY_MISSING;
  if (rc) return VERIFY_UNREADABLE;
  uint64_t size = 0;
  if (file_size(check->chunk.handle, &size) != 0) return VERIFY_UNREADABLE;
  if (!size_plausible(store, size)) return VERIFY_BAD_SIZE;
  rc = chunk_file_read(store, nullptr, nullptr, &check->chunk, hash, check->data);
  if (rc == ERR_HANDLE_EOF || rc == ERR_IO_DEVICE) return VERIFY_UNREADABLE;
  if (rc) return size < store->chunk_size ? VERIFY_NO_INFLATE : VERIFY_UNREADABLE;
  *out_read = size;
  uint8_t actual[CHUNK_HASH_SIZE];
  chunk_hash(check->hasher, check->data, store->chunk_size, actual);
  return std::memcmp(actual, hash, CHUNK_HASH_SIZE) == 0 ? VERIFY_OK : VERIFY_MISMATCH;
}

void verify_chunk(void* work_item) {
  auto* item = static_cast<VerifyItem*>(work_item);
  VerifyJob* job = item->job;
  uint64_t read = 0;
  job->status[item->index] =
      check_chunk(&item->check, mark_set_at(job->chunks, item->index), &read);
  counter_add(job->read, read);
  counter_add(job->done, job->store->chunk_size);
  free_list_push(job, item);
  signal_set(&job->item_free);
  // The last access to the job: the driver leaves only when this reaches 0.
  job->in_flight.fetch_sub(1);
}

// Hands out every chunk, then waits for the items still out. Returns 0,
// 1223 when cancelled or 14 when no worker could be started.
int run_loop(VerifyJob* job, Signal* cancel, CopyProgress progress, void* context) {
  const uint64_t total = job->chunks->count * job->store->chunk_size;
  uint64_t shown = UINT64_MAX;
  int rc = 0;
  size_t next = 0;
  drive_items(
      job, cancel, verify_chunk, [&] { return next != job->chunks->count; },
      [&](VerifyItem* item) { item->index = next++; }, [&] { return rc != 0; },
      [&](int failure) { rc = failure; },
      [&](bool final) {
        if (!progress || (final && counter_load(job->done) == shown)) return;
        shown = counter_load(job->done);
        progress(context, total, shown, counter_load(job->read), 0, 0);
      });
  return rc;
}

bool file_identity(OsHandle handle, OsFileIdInfo* out_id) {
  *out_id = OsFileIdInfo{};
  return query_file_info(handle, OS_FILE_ID_INFO, out_id, sizeof *out_id, nullptr) == 0;
}

// Moves the file just checked (still open in check->chunk) aside. Returns
// true when the file moved turned out to be another one and went back, so
// that the name's file wants checking again.
bool move_checked_aside(VerifyCheck* check, ScratchPool* pool, VerifyRecheck* out) {
  const char* path = check->chunk.path;
  OsFileIdInfo checked;
  const bool known = file_identity(check->chunk.handle, &checked);
  int rc = ERR_ALREADY_EXISTS;
  const char* aside = nullptr;
  for (int n = 1; n <= VERIFY_ASIDE_TRIES && rc == ERR_ALREADY_EXISTS; n++) {
    aside = n == 1 ? pool_format(pool, "%s%s", path, STORE_DAMAGED_SUFFIX)
                   : pool_format(pool, "%s%s.%d", path, STORE_DAMAGED_SUFFIX, n);
    rc = aside ? rename_file(path, aside, false) : ERR_OUTOFMEMORY;
  }
  if (rc == ERR_FILE_NOT_FOUND) {
    // Moved aside by another verify since the check.
    out->status = VERIFY_MISSING;
    return false;
  }
  if (rc) {
    out->move_error = rc;
    return false;
  }
  out->aside = aside;
  // A copy that finds a file of impossible size under the name publishes its
  // own chunk over it, and may do so between the check and the rename, which
  // the platform cannot join into one step. The checked file is held open, so
  // its identity stays its own; a different one moved is the copy's.
  OsHandle h = OS_NO_HANDLE;
  OsFileIdInfo moved;
  if (!known || open_file(&h, aside, OPEN_READ_ATTRIBUTES) != 0 || !file_identity(h, &moved) ||
      std::memcmp(&moved, &checked, sizeof moved) == 0) {
    close_handle(h);
    return false;
  }
  close_handle(h);
  // Without replacing: a copy that found the name empty meanwhile has stored
  // the chunk again, and this good file then stays aside.
  if (rename_file(aside, path, false) == 0) out->aside = nullptr;
  return true;
}

}  // namespace

int verify_check_init(VerifyCheck* check, const StoreInfo* store) {
  *check = VerifyCheck{};
  check->store = store;
  chunk_file_init(&check->chunk);
  check->data = static_cast<uint8_t*>(page_alloc(store->chunk_size));
  if (!check->data || chunk_hasher_new(&check->hasher) != 0) return ERR_OUTOFMEMORY;
  return 0;
}

void verify_check_destroy(VerifyCheck* check) {
  chunk_file_destroy(&check->chunk);
  page_free(check->data, check->store->chunk_size);
  check->data = nullptr;
  if (check->hasher) chunk_hasher_destroy(check->hasher);
  check->hasher = nullptr;
}

void verify_recheck(VerifyCheck* check, ScratchPool* pool, const uint8_t* hash, bool move_aside,
                    VerifyRecheck* out) {
  *out = VerifyRecheck{};
  for (int round = 1;; round++) {
    // Never a handle kept from before: the file under the name may be new.
    chunk_file_close(&check->chunk);
    uint64_t read = 0;
    out->status = check_chunk(check, hash, &read);
    if (!move_aside || !verify_status_damaged(out->status) || out->aside ||
        round == VERIFY_RECHECK_ROUNDS || !move_checked_aside(check, pool, out)) {
      break;
    }
  }
  chunk_file_close(&check->chunk);
}

int verify_chunks(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                  const MarkSet* chunks, uint8_t* out_status, Signal* cancel, CopyProgress progress,
                  void* progress_context) {
  if (out_err) *out_err = nullptr;
  auto* job = new (std::nothrow) VerifyJob();
  if (!job) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory for the check");
  job->store = store;
  job->chunks = chunks;
  job->status = out_status;
  int rc = 0;
  for (VerifyItem& item : job->items) {
    item.job = job;
    if (verify_check_init(&item.check, store) != 0) rc = ERR_OUTOFMEMORY;
    item.next = job->free_list;
    job->free_list = &item;
  }
  if (rc == 0) rc = run_loop(job, cancel, progress, progress_context);
  for (VerifyItem& item : job->items) verify_check_destroy(&item.check);
  delete job;
  if (rc == ERR_CANCELLED) return err_set(pool, out_err, rc, "cancelled");
  if (rc) return err_set(pool, out_err, rc, "Out of memory for the check");
  return 0;
}
