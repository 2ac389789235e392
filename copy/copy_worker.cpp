// The per-chunk work of a copy job.
#include "copy/copy_worker.h"

#include <atomic>
#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/text.h"
#include "base/transfer.h"
#include "copy/copy_pipeline.h"
#include "copy/driver_loop.h"
#include "hash/chunk_hash.h"
#include "store/chunk_map.h"
#include "store/store.h"

namespace {

struct ChunkResult {
  uint64_t sr = 0;
  uint64_t dr = 0;
  uint64_t dw = 0;
  int error = 0;
  const char* text = nullptr;
};

// Reads the chunk of `hash` from the source store and checks that its content
// is what the name promises: a damaged chunk file must never be restored.
int read_verified_chunk(CopyWorkItem* item, ScratchPool* pool, const uint8_t* hash,
                        ChunkResult* r) {
  CopyJob* job = item->job;
  int rc = chunk_file_read(job->source.store, pool, &r->text, &item->source_chunk, hash,
                           item->data);
  if (rc) return rc;
  uint8_t actual[CHUNK_HASH_SIZE];
  chunk_hash(item->hasher, item->data, job->chunk_size, actual);
  if (std::memcmp(actual, hash, CHUNK_HASH_SIZE) != 0) {
    return err_set(pool, &r->text, ERR_CRC, "Hash mismatch in source chunk file \"%s\"",
                   item->source_chunk.path);
  }
  return 0;
}

// Writes `size` bytes at `offset` in one positioned write; a short one is a
// full destination.
int write_span(CopyWorkItem* item, uint8_t* kind, uint64_t offset, const uint8_t* data,
               size_t size) {
  size_t written = 0;
  const int rc = write_file_at(item->job->dest.handle, kind, offset, data, size, &written);
  return rc == 0 && written < size ? ERR_DISK_FULL : rc;
}

// Writes the last `tail` (< TRANSFER_ALIGN) bytes of a file onto a device at
// `offset`, whose bytes after them belong to someone else. Exactly the tail
// when the handle takes it (buffered, or a whole number of sectors); else the
// device takes only whole sectors, so the smallest span of them it accepts is
// read, the tail laid over it, and the span written back as it was.
int write_device_tail(CopyWorkItem* item, uint8_t* kind, uint64_t offset, const uint8_t* tail_data,
                      size_t tail) {
  int rc = write_span(item, kind, offset, tail_data, tail);
  for (const size_t sector : {size_t{512}, TRANSFER_ALIGN}) {
    if (rc != ERR_INVALID_PARAMETER) break;  // misaligned transfers are refused as 87
    const size_t span = (tail + sector - 1) / sector * sector;
    size_t got = 0;
    rc = read_file_at(item->job->dest.handle, kind, offset, item->compare, span, &got);
    if (rc == 0 && got < span) rc = ERR_HANDLE_EOF;
    if (rc) continue;
    std::memcpy(item->compare, tail_data, tail);
    rc = write_span(item, kind, offset, item->compare, span);
  }
  return rc;
}

// Writes the item's chunk to the plain destination from the data buffer, in
// whole blocks: the handle is unbuffered. Only the file's last chunk can end
// inside a block.
int write_plain(CopyWorkItem* item, uint8_t* kind) {
  CopyJob* job = item->job;
  const uint64_t o = item->offset;
  const uint64_t n = item->length;
  const uint64_t pad = (TRANSFER_ALIGN - n % TRANSFER_ALIGN) % TRANSFER_ALIGN;
  if (!job->dest.fixed_size) {
    // A file is cut back to its size after a padded write.
    std::memset(item->data + n, 0, pad);
    int rc = write_span(item, kind, o, item->data, n + pad);
    if (rc == 0 && pad) rc = set_file_end(job->dest.handle, o + n);
    return rc;
  }
  // A device cannot be cut, and may end or hold other data right after the
  // copy: nothing past the source's end is written.
  const uint64_t whole = n - n % TRANSFER_ALIGN;
  int rc = whole ? write_span(item, kind, o, item->data, whole) : 0;
  if (rc == 0 && pad) rc = write_device_tail(item, kind, o + whole, item->data + whole, n - whole);
  return rc;
}

// Adds the volume of the chunk just stored to the job's list, so that the
// map is published only after that file system was flushed. The item
// remembers the last one, so that the lock is taken only when it changes.
int note_volume(CopyWorkItem* item, ScratchPool* pool, ChunkResult* r) {
  const uint64_t serial = item->dest_chunk.volume;
  if (item->volume_noted && item->noted_volume == serial) return 0;
  CopyJob* job = item->job;
  int rc = 0;
  rlock_acquire(&job->lock);
  CopyVolume* v = job->volumes;
  while (v && v->serial != serial) v = v->next;
  if (!v) {
    v = static_cast<CopyVolume*>(allocate(&job->pool, sizeof *v));
    char* path = pool_copy_text(&job->pool, item->dest_chunk.path);
    if (v && path) {
      *v = CopyVolume{job->volumes, serial, path};
      job->volumes = v;
    } else {
      rc = err_set(pool, &r->text, ERR_OUTOFMEMORY, "Out of memory for the copy");
    }
  }
  rlock_release(&job->lock);
  item->volume_noted = rc == 0;
  item->noted_volume = serial;
  return rc;
}

void run_chunk(CopyWorkItem* item, ScratchPool* pool, ChunkResult* r) {
  CopyJob* job = item->job;
  const uint64_t k = job->chunk_size;
  const uint64_t o = item->offset;
  const uint64_t n = item->length;
  uint8_t hash[CHUNK_HASH_SIZE] = {0};
  // The driver classified both handles before the first chunk; each worker
  // works on its own copy of the kind bytes, which transfers may update.
  uint8_t source_kind = job->source.kind;
  uint8_t dest_kind = job->dest.kind;

  // Source stage.
  if (job->source.map) {
    chunk_map_get_hash(job->source.map, o, hash);
  } else {
    const int rc = read_exact_at(job->source.handle, &source_kind, o, item->data, n);
    if (rc) {
      r->error = err_set(pool, &r->text, rc, "Read failed from source file");
      return;
    }
    r->sr = n;
    std::memset(item->data + n, 0, k - n);
    if (job->dest.store) chunk_hash(item->hasher, item->data, k, hash);
  }

  // Duplicate check.
  if (job->dest.store) {
    chunk_map_set_hash(job->dest.map, o, hash);
    if (chunk_file_open(job->dest.store, nullptr, nullptr, &item->dest_chunk, hash, true) == 0 &&
        !item->dest_chunk.created) {
      // The store holds this chunk already, perhaps stored by another copy
      // that has not flushed it yet: its file system is flushed before the
      // map is published all the same (asked on the open handle, no path walk).
      (void)query_file_volume(item->dest_chunk.handle, &item->dest_chunk.volume);
      r->error = note_volume(item, pool, r);
      return;
    }
  } else if (job->options & COPY_AVOID_DUPLICATES) {
    if (read_exact_at(job->dest.handle, &dest_kind, o, item->compare, n) == 0) {
      r->dr = n;
      std::memset(item->compare + n, 0, k - n);
      bool same;
      if (job->source.map) {
        uint8_t present[CHUNK_HASH_SIZE];
        chunk_hash(item->hasher, item->compare, k, present);
        same = std::memcmp(present, hash, CHUNK_HASH_SIZE) == 0;
      } else {
        same = std::memcmp(item->data, item->compare, n) == 0;
      }
      if (same) return;
    }
  }

  // Transfer.
  if (job->source.map) {
    r->error = read_verified_chunk(item, pool, hash, r);
    if (r->error) return;
    r->sr += n;
  }
  if (job->dest.store) {
    r->error = chunk_file_write(job->dest.store, pool, &r->text, &item->dest_chunk, hash,
                                item->data);
    if (r->error) return;
    // A writer that lost the race at publication stored nothing.
    if (item->dest_chunk.created) {
      r->dw = n;
      r->error = note_volume(item, pool, r);
    }
    return;
  }
  const int rc = write_plain(item, &dest_kind);
  if (rc) {
    r->error = err_set(pool, &r->text, rc, "Write failed to dest file");
    return;
  }
  r->dw = n;
}

}  // namespace

void copy_chunk(void* work_item) {
  auto* item = static_cast<CopyWorkItem*>(work_item);
  CopyJob* job = item->job;
  ScratchPool pool;
  ChunkResult r;
  run_chunk(item, &pool, &r);
  if (r.error && !r.text) r.text = "";

  rlock_acquire(&job->lock);
  // The driver reads the counters and the error without the lock.
  counter_add(job->sr, r.sr);
  counter_add(job->dr, r.dr);
  counter_add(job->dw, r.dw);
  counter_add(job->done, item->length);
  if (r.error && job->error == 0) {
    job->error_text = pool_copy_text(&job->pool, r.text);
    std::atomic_ref<int>(job->error).store(r.error, std::memory_order_release);
  }
  item->next = job->free_list;
  job->free_list = item;
  rlock_release(&job->lock);
  signal_set(&job->item_free);
  // The last access to the job: the driver leaves only when this reaches 0.
  job->in_flight.fetch_sub(1);
}
