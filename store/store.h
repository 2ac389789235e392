// Hash store layout: a store folder S holds the metadata folder S/.zuvo with
// the store info file `_info` (256 bytes, format in doc/format.md) and the chunk
// dictionary. StoreInfo is the parsed `_info` of an open store; it is read-only
// after creation, so any thread may read it, and only its reference count
// changes (atomically).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/scratch.h"
#include "platform/platform.h"

// `_info` layout (see doc/format.md).
constexpr char STORE_INFO_MAGIC[] = "zuvo1.s\n";  // 8 bytes, no terminator on disk
constexpr size_t STORE_INFO_SIZE = 256;
constexpr size_t STORE_INFO_OFFSET_CHUNK_SIZE = 16;    // u32 little-endian
constexpr size_t STORE_INFO_OFFSET_HASH_SIZE = 20;     // u8
constexpr size_t STORE_INFO_OFFSET_HASH_TYPE = 21;     // u8
constexpr size_t STORE_INFO_OFFSET_COMPRESSION = 22;   // u8
constexpr size_t STORE_INFO_OFFSET_LEVELS = 23;        // u8
constexpr size_t STORE_INFO_OFFSET_DIGITS = 24;        // u8
constexpr char STORE_META_FOLDER[] = ".zuvo";
constexpr char STORE_INFO_FILE[] = "_info";
// A store folder's full path may be at most this long, so that chunk paths fit.
constexpr size_t STORE_PATH_MAX = 414;
// Values that `_info` may hold (see doc/format.md).
constexpr uint64_t STORE_CHUNK_SIZE_MIN = 4096;
constexpr uint64_t STORE_CHUNK_SIZE_MAX = 33554432;
constexpr uint8_t STORE_HASH_SIZE = 32;
constexpr uint8_t STORE_HASH_TYPE_SHA2_512 = 1;
constexpr uint8_t STORE_COMPRESSION_NONE = 0;
constexpr uint8_t STORE_COMPRESSION_ZIP = 1;

struct StoreInfo {
  ScratchPool pool;          // owns `path`
  const char* path;          // full path of the metadata folder (S/.zuvo)
  uint64_t path_length;      // bytes
  uint64_t chunk_size;       // bytes
  uint8_t hash_size;         // always 32
  uint8_t hash_type;         // always 1
  uint8_t compression_type;  // 0 none, 1 deflate
  uint8_t folder_levels;     // 1..3
  uint8_t folder_digits;     // 1..4
  int32_t reference_count;   // changed atomically
  // The metadata folder's access when the store was opened: every file and
  // folder made inside it takes these permission bits and this group, so
  // that a private store stays private and a shared one stays shared.
  OsAccess access;
};

// Creates the store in `folder` (which may exist; its metadata folder must be
// absent or empty, temporary files of a stopped creation aside, which go) and
// publishes `_info` whole under its name. The metadata folder ends up for its
// owner only (0700 where the platform has permission bits), whether made here
// or found empty. Refused: a folder inside a store that store_locate finds
// (183, or that search's own error), and a metadata folder that is a link or
// that another user owns (5). Returns 0 or an error number with a text in
// `pool` through out_err; *out_store (optional) receives the new StoreInfo,
// which the caller releases. What this call created is removed on failure.
[[nodiscard]] int store_create(StoreInfo** out_store, ScratchPool* pool, const char** out_err,
                               const char* folder, uint64_t chunk_size, uint64_t compression_type,
                               uint64_t folder_levels, uint64_t folder_digits);
// Opens the store whose store folder is `folder`, validating `_info`.
[[nodiscard]] int store_open(StoreInfo** out_store, ScratchPool* pool, const char** out_err,
                             const char* folder);
// Opens the store whose folder is `path` or the nearest folder above it. A
// folder whose description is not in a format this program reads is passed
// over; one whose metadata folder is there but whose description cannot be
// opened or read ends the search with that error and its text. So does, with
// 5, a metadata folder that another user owns in a folder that users outside
// its owner and group may write: anyone could have put it there. For a
// metadata folder that is a link the owner is that of the folder it leads to,
// and the folder holding that one counts as well; a link in such a folder
// must also be the user's own. Returns 1168 when there is no store.
[[nodiscard]] int store_locate(StoreInfo** out_store, ScratchPool* pool, const char** out_err,
                               const char* path);
// 0 when the metadata folder of `store` is a folder of its own, or 5 with a
// text in `pool` when it is a link (symbolic link, junction or mount point
// reparse point; looked at without following it), or the error of that look.
// Prune and repair must not act through a link: it may lead to the dictionary
// of another store, whose chunk maps are not in this store's folder.
[[nodiscard]] int store_check_own_metadata(ScratchPool* pool, const char** out_err,
                                           const StoreInfo* store);
// Drops one reference; the last frees the record. Null is ignored. Thread-safe.
void store_release(StoreInfo* store);

// True when value & (value - 1) is 0 (also for 0).
bool is_power_of_two(uint64_t value);
