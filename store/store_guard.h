// The guard of a store's metadata folder: a copy may make nothing inside it,
// however the destination is spelt. Whether a destination is writable at all
// is left to the copy itself.
#pragma once

#include "base/scratch.h"

// Refuses `dest` (a full path) when it lies inside a store's metadata folder:
// when a component of it, or of what the system finally names for the deepest
// part of it that exists (every link followed), is STORE_META_FOLDER in any
// case, when that is a store's `_info` (a hard link to it), or when that
// folder or one above it holds a store's `_info`, as the metadata folder does
// when a link of another name leads to it. Returns 0, or
// 5 with a text in `pool` through out_err. Thread-safe.
[[nodiscard]] int store_guard_destination(ScratchPool* pool, const char** out_err,
                                          const char* dest);
