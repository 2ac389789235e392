// The chunk check of verify: every chunk of a sorted hash list is read from
// its store and checked (the file is there, has a size a stored chunk can
// have, inflates when compressed, and hashes to its name), with up to 16
// chunks in flight on pooled worker threads as in a copy: one read and one
// hash per chunk. The findings are one status byte per chunk; reporting and
// repair are the command's.
#pragma once

#include <cstdint>

#include "base/scratch.h"
#include "base/signal.h"
#include "copy/copy_pipeline.h"
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

// Checks each chunk of `chunks` (sorted, distinct) in `store` and stores its
// status in out_status[i]. `progress` (optional) is called on the calling
// thread as for a copy, with the chunk bytes checked as done and the chunk
// file bytes read as sr. Returns 0 when every chunk was checked (whatever
// it found), 1223 when `cancel` was set, or another error (no memory, no
// worker thread) with a text in `pool`.
[[nodiscard]] int verify_chunks(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                                const MarkSet* chunks, uint8_t* out_status, Signal* cancel,
                                CopyProgress progress, void* progress_context);
