// Chunk map files: the stand-in for a plain file inside a store. A 64-byte
// header (magic, plain file size, chunk size, hash size and type), one 32-byte
// chunk hash per chunk, and zero fill to a size fixed by the chunk count (see
// doc/format.md). ChunkMap holds a whole file image in memory; workers read and
// set distinct slots concurrently without a lock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/scratch.h"

struct StoreInfo;

// Chunk map file layout (see doc/format.md).
constexpr char CHUNK_MAP_MAGIC[] = "zuvo1.f\n";  // 8 bytes on disk
constexpr size_t CHUNK_MAP_HEADER_SIZE = 64;
constexpr size_t CHUNK_MAP_OFFSET_FILE_SIZE = 8;    // u64 little-endian
constexpr size_t CHUNK_MAP_OFFSET_CHUNK_SIZE = 16;  // u32 little-endian
constexpr size_t CHUNK_MAP_OFFSET_HASH_SIZE = 20;   // u8, 32
constexpr size_t CHUNK_MAP_OFFSET_HASH_TYPE = 21;   // u8, 1
constexpr size_t CHUNK_MAP_SLOT_SIZE = 32;
constexpr uint64_t CHUNK_MAP_MAX_CHUNKS = 33554432;

struct ChunkMap {
  int32_t reference_count;  // changed atomically
  uint64_t file_size;       // bytes of the plain file
  uint64_t chunk_size;      // bytes
  uint32_t chunk_shift;     // log2 of chunk_size
  uint64_t chunk_count;
  uint8_t hash_size;        // 32
  uint8_t hash_type;        // 1
  uint64_t image_size;      // bytes of the chunk map file
  unsigned char image[1];   // image_size bytes: the whole file content
};

// The header fields of a chunk map file, without its slots.
struct ChunkMapHeader {
  uint64_t file_size;
  uint64_t chunk_size;
  uint32_t chunk_shift;
  uint64_t chunk_count;
  uint8_t hash_size;
  uint8_t hash_type;
  uint64_t image_size;
};

// Makes an in-memory chunk map for a plain file of `file_size` bytes going into
// `store`: header filled in, slots zero. `path` only serves the error text.
// Returns 0 or an error number (1305 for too many chunks, 14 without memory).
[[nodiscard]] int chunk_map_new(ChunkMap** out_map, ScratchPool* pool, const char** out_err,
                                const StoreInfo* store, uint64_t file_size, const char* path);
// Reads and validates the chunk map file at `path`. Returns 0 or an error
// number with a text; *out_map is null on failure.
[[nodiscard]] int chunk_map_open(ChunkMap** out_map, ScratchPool* pool, const char** out_err,
                                 const char* path);
// The one answer to "is the file at `path` a chunk map?" for every command.
// A file is plain (0, *out_is_map false) when its first bytes are not the
// magic, when it is empty, or when it is not a disk file (a pipe or character
// device is asked through a handle that reads nothing; a block device is read
// like a file). A file that begins with the magic, or is a non-empty prefix of
// it, is a map: 0 and *out_is_map true when it validates, with its header in
// *out_header and the loaded map in *out_map (both optional; without out_map
// only the header and size are checked, so a map too large for memory is
// still a map); else 1305 and "Damaged chunk map \"path\": <why>". Other
// failures (open, read, memory) return their error number with a text. On
// failure *out_is_map is false and *out_map null. The map is the caller's to
// release; texts are in `pool`.
[[nodiscard]] int chunk_map_recognize(bool* out_is_map, ChunkMap** out_map,
                                      ChunkMapHeader* out_header, ScratchPool* pool,
                                      const char** out_err, const char* path);
// Copies the slot of the chunk that begins at `offset` of the plain file.
// REQUIRES: offset is a multiple of the chunk size below the file size rounded up.
void chunk_map_get_hash(const ChunkMap* map, uint64_t offset, unsigned char* out_hash);
// Stores the 32 bytes of `hash` in that chunk's slot.
void chunk_map_set_hash(ChunkMap* map, uint64_t offset, const unsigned char* hash);
// Drops one reference; the last frees the record. Null is ignored. Thread-safe.
void chunk_map_release(ChunkMap* map);
// The chunk map file size for `count` chunks: the smallest N >= 64 + 32 * count
// with N mod 2048 == 1987.
uint64_t chunk_map_file_size(uint64_t count);
