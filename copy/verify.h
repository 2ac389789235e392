// The chunk check of verify: every chunk of a sorted hash list is read from
// its store and checked (the file is there, has a size a stored chunk can
// have, inflates when compressed, and hashes to its name), with up to 16
// chunks in flight on pooled worker threads as in a copy: one read and one
// hash per chunk. The findings are one status byte per chunk. A chunk found
// wanting is checked again, alone, right before it is reported or moved
// aside; what to report is the command's.
#pragma once

#include <cstdint>

#include "base/scratch.h"
#include "base/signal.h"
#include "copy/copy_pipeline.h"
#include "hash/chunk_hash.h"
#include "store/chunk_file.h"
#include "store/mark_set.h"
#include "store/store.h"

// What the check found for one chunk.
enum : uint8_t {
  VERIFY_OK = 0,
  VERIFY_MISSING = 1,     // no file under the chunk's name
  VERIFY_BAD_SIZE = 2,    // a size no stored chunk can have
  VERIFY_NO_INFLATE = 3,  // compressed data that does not inflate to one chunk
  VERIFY_MISMATCH = 4,    // content that does not hash to the name
  VERIFY_UNREADABLE = 5,  // could not be opened or read
  VERIFY_COUNT
};

// Whether `status` names a file under the chunk's name that cannot hold the
// chunk: the kind verify -r moves aside.
inline bool verify_status_damaged(uint8_t status) {
  return status == VERIFY_BAD_SIZE || status == VERIFY_NO_INFLATE || status == VERIFY_MISMATCH;
}

// Checks each chunk of `chunks` (sorted, distinct) in `store` and stores its
// status in out_status[i]. `progress` (optional) is called on the calling
// thread as for a copy, with the chunk bytes checked as done and the chunk
// file bytes read as sr. Returns 0 when every chunk was checked (whatever
// it found), 1223 when `cancel` was set, or another error (no memory, no
// worker thread) with a text in `pool`.
[[nodiscard]] int verify_chunks(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                                const MarkSet* chunks, uint8_t* out_status, Signal* cancel,
                                CopyProgress progress, void* progress_context);

// What checking one chunk takes: a chunk buffer, a hasher and a chunk file.
// Used by one thread at a time.
struct VerifyCheck {
  const StoreInfo* store;
  ChunkHasher* hasher;
  uint8_t* data;  // one chunk of `store`, page-aligned
  ChunkFile chunk;
};

// Prepares `check` for the chunks of `store`. Returns 0 or 14 when memory
// runs out; verify_check_destroy frees it either way.
[[nodiscard]] int verify_check_init(VerifyCheck* check, const StoreInfo* store);
void verify_check_destroy(VerifyCheck* check);

// What verify_recheck found and did.
struct VerifyRecheck {
  uint8_t status;     // the chunk's status now (VERIFY_*)
  int move_error;     // the error of a move aside that failed, else 0
  const char* aside;  // in the pool: where the file under the chunk's name went, or null
};

// Checks the chunk of `hash` again from a fresh open, as verify_chunks does.
// With `move_aside`, a file still damaged is moved aside under its name with
// STORE_DAMAGED_SUFFIX (a number after it when taken). A copy may store the
// chunk anew between the check and the move; the file moved is then no longer
// the one checked, and it is put back. Only where another copy has taken the
// name again by then does the good file stay aside (out->status is then the
// name's new file's). A `pool` out of memory shows as move_error 14.
void verify_recheck(VerifyCheck* check, ScratchPool* pool, const uint8_t* hash, bool move_aside,
                    VerifyRecheck* out);
