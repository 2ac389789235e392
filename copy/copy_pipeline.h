// The copy pipeline: copies one file chunk by chunk, with up to 16 chunks in
// flight on pooled worker threads, in four directions: plain to plain, plain
// into a store (a chunk map replaces the file), a chunk map out of its store
// (the file is rebuilt), and store to store. The driver sets the job up, hands
// chunks out in ascending order, waits for them and finishes the destination;
// the per-chunk work is copy_chunk (copy_worker.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "base/lock.h"
#include "base/scratch.h"
#include "base/signal.h"
#include "platform/platform.h"
#include "store/chunk_file.h"

struct ChunkHasher;
struct ChunkMap;
struct StoreInfo;

// Copy options.
constexpr uint32_t COPY_OVERWRITE = 0x1;         // an existing destination may be replaced
constexpr uint32_t COPY_AVOID_DUPLICATES = 0x2;  // compare with the destination before writing
constexpr uint32_t COPY_ANY_SIZE = 0x4;          // accept a destination of another fixed size
constexpr uint32_t COPY_DEFAULT_OPTIONS = COPY_OVERWRITE | COPY_AVOID_DUPLICATES;

constexpr int COPY_WORK_ITEMS = 16;
constexpr uint64_t COPY_PLAIN_CHUNK_SIZE = 0x40000;  // plain-to-plain copies

// Called on the driver's thread before each hand-out and while draining.
using CopyProgress = void (*)(void* context, uint64_t total, uint64_t done, uint64_t sr,
                              uint64_t dr, uint64_t dw);

// One side of a copy.
struct CopyEndpoint {
  StoreInfo* store;     // null for a plain file
  ChunkMap* map;        // null for a plain file
  OsHandle handle;      // plain source or destination; the temporary map file; -1 when none
  uint8_t kind;         // handle-kind cache of `handle`, set before the workers start
  bool fixed_size;      // a plain destination whose end cannot be set (a device)
};

struct CopyJob;

// One chunk's worth of work; cycles free -> handed out -> free.
struct CopyWorkItem {
  CopyWorkItem* next;    // free-list link
  CopyJob* job;
  ChunkHasher* hasher;
  uint8_t* data;         // K bytes, page-aligned
  uint8_t* compare;      // K bytes right after `data` (one 2K-byte page block)
  uint64_t offset;       // where the chunk starts in the plain file
  uint64_t length;       // the chunk's bytes in the plain file
  ChunkFile source_chunk;
  ChunkFile dest_chunk;
  bool volume_noted;      // the job knows `noted_volume`, the last volume this item stored to
  uint64_t noted_volume;
};

// A file system that the job stored chunk files to, and one chunk file on it
// (something to open there when it is flushed).
struct CopyVolume {
  CopyVolume* next;
  uint64_t serial;  // 0: unknown
  char* path;       // in the job's pool
};

struct CopyJob {
  uint32_t options;
  uint64_t chunk_size;     // K
  uint64_t total;          // bytes of the plain file to copy
  RecursiveLock lock;      // guards done, sr, dr, dw, error, error_text, free_list, volumes
  uint64_t done;           // bytes of finished chunks (written, skipped or failed)
  uint64_t sr;             // bytes read from the source
  uint64_t dr;             // bytes of the destination read to compare
  uint64_t dw;             // bytes written (plain length of stored chunks)
  ScratchPool pool;        // holds error_text
  int error;               // first failure, 0 when none
  const char* error_text;
  std::atomic<int32_t> in_flight;
  Signal item_free;        // set whenever an item returns to the free list
  CopyWorkItem* free_list;
  CopyVolume* volumes;     // distinct volumes of the chunk files stored
  CopyEndpoint source;
  CopyEndpoint dest;
  CopyWorkItem items[COPY_WORK_ITEMS];
};

// Copies `source_path` to `dest_path` (full paths). Returns 0 or an error
// number; *out_err (optional) receives the text in `pool`. `cancel` (optional)
// stops the copy with 1223 "cancelled" once the chunks in flight are done. A
// chunk map destination appears, complete and synced, only when the copy
// succeeds; an existing one is replaced atomically and stays as it was on any
// failure. Runs on the calling thread; uses pool workers.
[[nodiscard]] int copy_file(ScratchPool* pool, const char** out_err, Signal* cancel,
                            uint32_t options, const char* source_path, const char* dest_path,
                            CopyProgress progress, void* progress_context);

// What one copy did, for the command's summary: the job's counters once all
// its chunks were back, as far as it got (a failed copy included).
struct CopyCounts {
  uint64_t done;        // bytes of the chunks finished (written, skipped or failed)
  uint64_t sr;          // bytes read from the source
  uint64_t dr;          // bytes of the destination read to compare
  uint64_t dw;          // bytes written
  uint64_t chunks;      // chunks finished
  uint64_t chunks_new;  // chunks the destination lacked and got written
};

// copy_file that also fills *out_counts (all zero when the copy stopped
// before its first chunk).
[[nodiscard]] int copy_file_counted(ScratchPool* pool, const char** out_err, Signal* cancel,
                                    uint32_t options, const char* source_path,
                                    const char* dest_path, CopyProgress progress,
                                    void* progress_context, CopyCounts* out_counts);

// FOR TESTS ONLY: makes the pipeline open plain destinations buffered (false)
// or unbuffered (true); returns the previous setting.
bool copy_set_unbuffered_for_test(bool unbuffered);
