// The chunk check driver and its per-chunk work, on the copy's work-item
// scheme: a free list of 16 items, each with its buffer, hasher and chunk
// file, handed out in order and returned by the worker that ran it.
#include "copy/verify.h"

#include <atomic>
#include <cstring>
#include <new>

#include "base/err.h"
#include "base/file.h"
#include "base/lock.h"
#include "base/runtime.h"
#include "base/work_item.h"
#include "copy/driver_loop.h"
#include "hash/chunk_hash.h"
#include "store/chunk_file.h"

namespace {

struct VerifyJob;

struct VerifyItem {
  VerifyItem* next;  // free-list link
  VerifyJob* job;
  ChunkHasher* hasher;
  uint8_t* data;  // one chunk, page-aligned
  size_t index;   // the chunk being checked
  ChunkFile chunk;
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

uint8_t check_chunk(VerifyItem* item, uint64_t* out_read) {
  const StoreInfo* store = item->job->store;
  const uint8_t* hash = mark_set_at(item->job->chunks, item->index);
  int rc = chunk_file_open(store, nullptr, nullptr, &item->chunk, hash, false);
  if (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND) return VERIFY_MISSING;
  if (rc) return VERIFY_UNREADABLE;
  uint64_t size = 0;
  if (file_size(item->chunk.handle, &size) != 0) return VERIFY_UNREADABLE;
  if (!size_plausible(store, size)) return VERIFY_BAD_SIZE;
  rc = chunk_file_read(store, nullptr, nullptr, &item->chunk, hash, item->data);
  if (rc == ERR_HANDLE_EOF || rc == ERR_IO_DEVICE) return VERIFY_UNREADABLE;
  if (rc) return size < store->chunk_size ? VERIFY_NO_INFLATE : VERIFY_UNREADABLE;
  *out_read = size;
  uint8_t actual[CHUNK_HASH_SIZE];
  chunk_hash(item->hasher, item->data, store->chunk_size, actual);
  return std::memcmp(actual, hash, CHUNK_HASH_SIZE) == 0 ? VERIFY_OK : VERIFY_MISMATCH;
}

void verify_chunk(void* work_item) {
  auto* item = static_cast<VerifyItem*>(work_item);
  VerifyJob* job = item->job;
  uint64_t read = 0;
  job->status[item->index] = check_chunk(item, &read);
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

}  // namespace

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
    chunk_file_init(&item.chunk);
    item.data = static_cast<uint8_t*>(page_alloc(store->chunk_size));
    if (!item.data || chunk_hasher_new(&item.hasher) != 0) rc = ERR_OUTOFMEMORY;
    item.next = job->free_list;
    job->free_list = &item;
  }
  if (rc == 0) rc = run_loop(job, cancel, progress, progress_context);
  for (VerifyItem& item : job->items) {
    chunk_file_destroy(&item.chunk);
    page_free(item.data, store->chunk_size);
    if (item.hasher) chunk_hasher_destroy(item.hasher);
  }
  delete job;
  if (rc == ERR_CANCELLED) return err_set(pool, out_err, rc, "cancelled");
  if (rc) return err_set(pool, out_err, rc, "Out of memory for the check");
  return 0;
}
