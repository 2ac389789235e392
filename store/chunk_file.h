// Chunk files: the chunk dictionary of a store holds each distinct chunk once,
// as a file named by the 64 hexadecimal digits of its chunk hash inside nested
// folders named after the first digits of that name. A ChunkFile names, opens
// and caches the file of one chunk at a time for one work item, reads chunks
// back (inflating compressed ones) and stores new ones.
//
// A chunk file is visible under its name only when it is complete: the writer
// fills a temporary file (".zuvo-tmp-..." in the same folder) and then gives
// it the chunk's name in one exclusive, atomic step. A writer that finds the
// name taken at that moment drops its copy: the store held the chunk already.
// A process killed at any moment therefore leaves at most a temporary file,
// never a damaged chunk. The writer flushes nothing itself: its handles are
// write-through, which only Windows honours (data and size durable when the
// write returns, without a disk cache flush per file), and whoever depends on
// the chunks flushes each file system they went to (ChunkFile::volume says
// which), which on POSIX also covers their data; chunk_file_sync makes one
// stored chunk durable on its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/scratch.h"
#include "platform/platform.h"
#include "store/store.h"

// Chunk file names and contents (see doc/format.md).
constexpr size_t CHUNK_FILE_HASH_SIZE = 32;    // bytes of the hash that names a chunk
constexpr size_t CHUNK_FILE_NAME_LENGTH = 64;  // hexadecimal digits of a chunk file name
// Room for a chunk file path, terminator included: the longest store folder
// path (STORE_PATH_MAX) plus the metadata folder, three levels of four digits
// and the name fit.
constexpr size_t CHUNK_FILE_PATH_SIZE = 504;
// Room for the path of a pending temporary file in a chunk's folder.
constexpr size_t CHUNK_FILE_TEMP_PATH_SIZE = 560;
// Transfers on chunk files are whole multiples of this many bytes; a compressed
// chunk file is kept only when it saves at least this much (see doc/format.md).
constexpr size_t CHUNK_FILE_ALIGN = 4096;

// The chunk file of one work item and direction. Valid after chunk_file_init;
// used by one thread at a time.
struct ChunkFile {
  const StoreInfo* store;  // the store path and work buffer were made for; not a counted reference
  uint8_t hash[CHUNK_FILE_HASH_SIZE];  // the hash whose path stands in `path`
  char path[CHUNK_FILE_PATH_SIZE];     // the chunk file's full path, UTF-8, terminated
  OsHandle handle;                     // the open chunk or pending temporary file, -1 when none
  uint8_t kind;  // handle-kind cache byte for `handle` (0: not classified yet)
  // The kind of the chunk files of `store`, learnt from the first one moved:
  // they are all files of one folder tree, opened the same way.
  uint8_t store_kind;
  // After chunk_file_open for writing: 1 when the caller must write the chunk
  // (a temporary file is pending), 0 when the store holds it already. After a
  // successful chunk_file_write: 1 when that call stored the chunk, 0 when
  // the store held it already (found on opening or on publishing).
  uint8_t created;
  // 1 when a write found a file under the chunk's name whose size no stored
  // chunk can have (as a power loss after an unflushed publish leaves it):
  // publishing then replaces that file.
  uint8_t replace;
  void* work;              // work_size bytes from page_alloc (page-aligned), or null
  uint64_t work_size;      // bytes: the chunk size of `store`
  uint32_t folder_length;  // bytes of `path` before the separator that precedes the name
  // After a chunk_file_write that stored the chunk (created 1): the serial of
  // the volume that holds it, 0 when unknown.
  uint64_t volume;
  // The volume whose answer `flush_each` holds (0: none asked yet), and 1
  // when a flush of that volume's file system does not make its chunk files
  // durable, so each is flushed before it takes its name.
  uint64_t flush_volume;
  uint8_t flush_each;
  char temp_path[CHUNK_FILE_TEMP_PATH_SIZE];  // the pending temporary file; empty when none
};

// Sets every field to 0 and the handle to -1.
void chunk_file_init(ChunkFile* cf);

// Writes the chunk file path of `hash` in `store` into `buffer` (terminated)
// and returns its length: the metadata folder, for each folder level a
// separator and the next `folder_digits` digits of the name, then a separator
// and the 64-digit name (lower case). *out_folder_length (optional) receives
// the bytes before the last separator. Returns 0 when the path does not fit
// `capacity` or the store's folder shape is out of range. Reentrant.
size_t chunk_file_path(const StoreInfo* store, const uint8_t* hash, char* buffer, size_t capacity,
                       uint32_t* out_folder_length);

// Makes cf->handle refer to the chunk file of `hash`, for reading or (with
// for_write) for storing it; the open file and its path are kept for the next
// call on the same chunk. For writing, cf->created tells whether the caller
// must write the chunk (1: a temporary file is open for it) or the store holds
// it already (0). Missing dictionary folders are created for a write. Returns
// 0 or an error number with a text in `pool` ("Missing source chunk file",
// "Unable to create dest chunk file", naming the chunk path) through out_err;
// a null pool or out_err means no text. 14 when the work buffer cannot be had.
[[nodiscard]] int chunk_file_open(const StoreInfo* store, ScratchPool* pool, const char** out_err,
                                  ChunkFile* cf, const uint8_t* hash, bool for_write);

// Fills `out_data` (chunk size bytes, page-aligned) with the chunk of `hash`,
// inflating a compressed chunk file. Returns 0 or an error number with a text:
// the open's, "Read failed from source chunk file" (38 for a short file) or
// "Decompression failed for source chunk file" (23 when the data does not
// inflate to exactly one chunk, else the inflate error).
[[nodiscard]] int chunk_file_read(const StoreInfo* store, ScratchPool* pool, const char** out_err,
                                  ChunkFile* cf, const uint8_t* hash, void* out_data);

// Stores the chunk size bytes of `data` (page-aligned) as the chunk of `hash`
// unless the store holds it already: raw, or deflated and cut to its true
// length when the store compresses and the chunk shrinks by 4096 bytes or
// more. The chunk is written to a temporary file and published under its name
// only when complete; when another writer published it first, the copy is
// dropped and the call succeeds (cf->created 0). Returns 0 or an error number
// with a text: the open's, or "Write failed to dest chunk file" naming the
// chunk path. A failed call leaves no file behind under any name.
[[nodiscard]] int chunk_file_write(const StoreInfo* store, ScratchPool* pool, const char** out_err,
                                   ChunkFile* cf, const uint8_t* hash, const void* data);

// Closes the handle and deletes a pending temporary file; a chunk file under
// its own name is never deleted.
void chunk_file_close(ChunkFile* cf);
// chunk_file_close, then frees the work buffer. Does not touch the store.
void chunk_file_destroy(ChunkFile* cf);

// Flushes the chunk file of `hash` and the dictionary folders that lead to it
// (the metadata folder included) to stable storage, so that the chunk
// survives a power loss. Returns 0 or an error number with the text "Unable
// to sync chunk file \"%s\"".
[[nodiscard]] int chunk_file_sync(const StoreInfo* store, ScratchPool* pool, const char** out_err,
                                  const uint8_t* hash);
