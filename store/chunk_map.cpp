// Chunk map records: creation, validation on open, slot access.
#include "store/chunk_map.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/text.h"
#include "base/transfer.h"
#include "store/store.h"

namespace {

uint64_t read_le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

void write_le(unsigned char* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t log2_of(uint64_t power) {
  uint32_t shift = 0;
  while ((uint64_t{1} << shift) < power) shift++;
  return shift;
}

// One zero-filled allocation of the fields and the image.
ChunkMap* chunk_map_alloc(uint64_t image_size) {
  return static_cast<ChunkMap*>(std::calloc(1, offsetof(ChunkMap, image) + image_size));
}

void chunk_map_fill(ChunkMap* map, uint64_t file_size, uint64_t chunk_size, uint32_t shift,
                    uint64_t count, uint8_t hash_size, uint8_t hash_type, uint64_t image_size) {
  map->reference_count = 1;
  map->file_size = file_size;
  map->chunk_size = chunk_size;
  map->chunk_shift = shift;
  map->chunk_count = count;
  map->hash_size = hash_size;
  map->hash_type = hash_type;
  map->image_size = image_size;
}

// Why a header does not describe the file it heads: the words, without the
// path, that chunk_map_open's texts and the damaged-map text share, and the
// numbers they show.
struct HeaderFault {
  const char* reason;
  uint64_t a;
  uint64_t b;
};

// Checks the 64 header bytes of a file of `actual` bytes. Returns 0 with *out
// filled in, or 1305 with *out_fault.
int check_header(ChunkMapHeader* out, HeaderFault* out_fault, const unsigned char* header,
                 uint64_t actual) {
  if (std::memcmp(header, CHUNK_MAP_MAGIC, 8) != 0) {
    *out_fault = HeaderFault{"Not in zuvo format", 0, 0};
    return ERR_UNKNOWN_REVISION;
  }
  const unsigned hash_size = header[CHUNK_MAP_OFFSET_HASH_SIZE];
  const unsigned hash_type = header[CHUNK_MAP_OFFSET_HASH_TYPE];
  if (hash_size != CHUNK_MAP_SLOT_SIZE || hash_type != STORE_HASH_TYPE_SHA2_512) {
    *out_fault = HeaderFault{"Unsupported hash type %u %u", hash_size, hash_type};
    return ERR_UNKNOWN_REVISION;
  }
  const uint64_t chunk_size = read_le(header + CHUNK_MAP_OFFSET_CHUNK_SIZE, 4);
  if (chunk_size < STORE_CHUNK_SIZE_MIN || chunk_size > STORE_CHUNK_SIZE_MAX ||
      !is_power_of_two(chunk_size)) {
    *out_fault = HeaderFault{"Unsupported chunk size 0x%u", chunk_size, 0};
    return ERR_UNKNOWN_REVISION;
  }
  const uint32_t shift = log2_of(chunk_size);
  const uint64_t plain_size = read_le(header + CHUNK_MAP_OFFSET_FILE_SIZE, 8);
  // Counted without overflow: a size near 2^64 must not wrap to a small count.
  const uint64_t count = (plain_size >> shift) + ((plain_size & (chunk_size - 1)) ? 1 : 0);
  if (count > CHUNK_MAP_MAX_CHUNKS) {
    *out_fault = HeaderFault{"Unsupported too many chunks", 0, 0};
    return ERR_UNKNOWN_REVISION;
  }
  const uint64_t image_size = chunk_map_file_size(count);
  if (actual != image_size) {
    *out_fault = HeaderFault{"Bad zuvo file size", 0, 0};
    return ERR_UNKNOWN_REVISION;
  }
  *out = ChunkMapHeader{plain_size,  chunk_size, shift, count, static_cast<uint8_t>(hash_size),
                        static_cast<uint8_t>(hash_type), image_size};
  return 0;
}

// The 1305 text of a fault: chunk_map_open's "<reason> \"path\"", or, for a
// file that begins as a chunk map, "Damaged chunk map \"path\": <reason>".
int fault_text(ScratchPool* pool, const char** out_err, const HeaderFault& fault, bool damaged,
               const char* path) {
  char* reason = out_err && pool ? pool_format(pool, fault.reason, fault.a, fault.b) : nullptr;
  if (!reason) return err_set(nullptr, out_err, ERR_UNKNOWN_REVISION, "");
  if (!damaged) return err_set(pool, out_err, ERR_UNKNOWN_REVISION, "%s \"%s\"", reason, path);
  reason[0] = static_cast<char>(char_to_lower_ascii(reason[0]));
  return err_set(pool, out_err, ERR_UNKNOWN_REVISION, "Damaged chunk map \"%s\": %s", path,
                 reason);
}

// Reads the first 64 bytes of the file open on `file` (zero past a shorter
// file) and its size. Only a file that really is that short counts as short;
// a read that stopped early must not make a map pass for plain data.
int read_head(unsigned char* header, size_t* out_got, uint64_t* out_size, ScratchPool* pool,
              const char** out_err, const char* path, OsHandle file) {
  int rc = read_file(file, header, CHUNK_MAP_HEADER_SIZE, out_got);
  if (rc == 0) rc = file_size(file, out_size);
  if (rc == 0 && *out_got < CHUNK_MAP_HEADER_SIZE && *out_size > *out_got) rc = ERR_HANDLE_EOF;
  if (rc) return err_set(pool, out_err, rc, "Unable to read file \"%s\"", path);
  return 0;
}

// Reads and checks the header of the chunk map file open on `file`, and that
// the file's size fits it, without touching the slots.
int read_header(ChunkMapHeader* out, unsigned char* header, ScratchPool* pool,
                const char** out_err, const char* path, OsHandle file) {
  size_t got = 0;
  uint64_t actual = 0;
  const int rc = read_head(header, &got, &actual, pool, out_err, path, file);
  if (rc) return rc;
  HeaderFault fault{};
  if (check_header(out, &fault, header, actual) != 0) {
    return fault_text(pool, out_err, fault, false, path);
  }
  return 0;
}

// Loads the slots of the map whose checked header `h` (and raw `header`) was
// read from `file`.
int load_map(ChunkMap** out_map, ScratchPool* pool, const char** out_err, const char* path,
             OsHandle file, const ChunkMapHeader& h, const unsigned char* header) {
  ChunkMap* map = chunk_map_alloc(h.image_size);
  if (!map) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory reading \"%s\"", path);
  chunk_map_fill(map, h.file_size, h.chunk_size, h.chunk_shift, h.chunk_count, h.hash_size,
                 h.hash_type, h.image_size);
  std::memcpy(map->image, header, CHUNK_MAP_HEADER_SIZE);
  int rc = set_file_position(file, CHUNK_MAP_HEADER_SIZE);
  const size_t rest = h.image_size - CHUNK_MAP_HEADER_SIZE;
  size_t got = 0;
  if (rc == 0) rc = read_file(file, map->image + CHUNK_MAP_HEADER_SIZE, rest, &got);
  if (rc == 0 && got < rest) rc = ERR_HANDLE_EOF;
  if (rc) {
    chunk_map_release(map);
    return err_set(pool, out_err, rc, "Unable to read file \"%s\"", path);
  }
  *out_map = map;
  return 0;
}

// chunk_map_recognize on the file open for reading on `file`.
int recognize_open(bool* out_is_map, ChunkMap** out_map, ChunkMapHeader* out_header,
                   ScratchPool* pool, const char** out_err, const char* path, OsHandle file) {
  unsigned char header[CHUNK_MAP_HEADER_SIZE] = {0};
  size_t got = 0;
  uint64_t actual = 0;
  int rc = read_head(header, &got, &actual, pool, out_err, path, file);
  if (rc) return rc;
  if (got == 0 || std::memcmp(header, CHUNK_MAP_MAGIC, std::min<size_t>(got, 8)) != 0) return 0;
  // From here on the file claims to be a map: failing the checks makes it a
  // damaged one, never plain data.
  ChunkMapHeader h{};
  HeaderFault fault{"Bad zuvo file size", 0, 0};  // a cut magic
  if (got < 8 || check_header(&h, &fault, header, actual) != 0) {
    return fault_text(pool, out_err, fault, true, path);
  }
  if (out_map) {
    rc = load_map(out_map, pool, out_err, path, file, h, header);
    if (rc) return rc;
  }
  if (out_header) *out_header = h;
  *out_is_map = true;
  return 0;
}

int chunk_map_read(ChunkMap** out_map, ScratchPool* pool, const char** out_err, const char* path,
                   OsHandle file) {
  unsigned char header[CHUNK_MAP_HEADER_SIZE] = {0};
  ChunkMapHeader h{};
  const int rc = read_header(&h, header, pool, out_err, path, file);
  if (rc) return rc;
  return load_map(out_map, pool, out_err, path, file, h, header);
}

}  // namespace

uint64_t chunk_map_file_size(uint64_t count) {
  const uint64_t x = 32 * (count + 2);
  return ((x + 60) & ~uint64_t{2047}) + 1987;
}

int chunk_map_new(ChunkMap** out_map, ScratchPool* pool, const char** out_err,
                  const StoreInfo* store, uint64_t file_size, const char* path) {
  *out_map = nullptr;
  if (out_err) *out_err = nullptr;
  const uint64_t chunk_size = store->chunk_size;
  const uint32_t shift = log2_of(chunk_size);
  const uint64_t count = (file_size >> shift) + ((file_size & (chunk_size - 1)) ? 1 : 0);
  if (count > CHUNK_MAP_MAX_CHUNKS) {
    return err_set(pool, out_err, ERR_UNKNOWN_REVISION, "Unsupported too many chunks \"%s\"",
                   path);
  }
  const uint64_t image_size = chunk_map_file_size(count);
  ChunkMap* map = chunk_map_alloc(image_size);
  if (!map) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory for \"%s\"", path);
  chunk_map_fill(map, file_size, chunk_size, shift, count, STORE_HASH_SIZE,
                 STORE_HASH_TYPE_SHA2_512, image_size);
  std::memcpy(map->image, CHUNK_MAP_MAGIC, 8);
  write_le(map->image + CHUNK_MAP_OFFSET_FILE_SIZE, file_size, 8);
  write_le(map->image + CHUNK_MAP_OFFSET_CHUNK_SIZE, chunk_size, 4);
  map->image[CHUNK_MAP_OFFSET_HASH_SIZE] = STORE_HASH_SIZE;
  map->image[CHUNK_MAP_OFFSET_HASH_TYPE] = STORE_HASH_TYPE_SHA2_512;
  *out_map = map;
  return 0;
}

int chunk_map_open(ChunkMap** out_map, ScratchPool* pool, const char** out_err,
                   const char* path) {
  *out_map = nullptr;
  if (out_err) *out_err = nullptr;
  OsHandle file = OS_NO_HANDLE;
  const int rc = open_file(&file, path, OPEN_READ_ATTRIBUTES | OPEN_READ);
  if (rc) return err_set(pool, out_err, rc, "Unable to open file \"%s\"", path);
  const int result = chunk_map_read(out_map, pool, out_err, path, file);
  close_handle(file);
  return result;
}

int chunk_map_recognize(bool* out_is_map, ChunkMap** out_map, ChunkMapHeader* out_header,
                        ScratchPool* pool, const char** out_err, const char* path) {
  *out_is_map = false;
  if (out_map) *out_map = nullptr;
  if (out_header) *out_header = ChunkMapHeader{};
  if (out_err) *out_err = nullptr;
  // Asked through a handle that reads nothing: opening a pipe for reading
  // would wait for a writer. Only disk-class files (block devices included)
  // are read; a device begins with the magic no more than a file does. When
  // the kind cannot be asked, the open for reading below gives the answer.
  OsHandle file = OS_NO_HANDLE;
  uint8_t kind = 0;
  if (open_file(&file, path, 0) == 0) {
    if (handle_kind(file, &kind) != 0) kind = HANDLE_CLASS_DISK;
    close_handle(file);
    if ((kind & HANDLE_CLASS_MASK) != HANDLE_CLASS_DISK) return 0;
  }
  int rc = open_file(&file, path, OPEN_READ_ATTRIBUTES | OPEN_READ);
  if (rc) return err_set(pool, out_err, rc, "Unable to open file \"%s\"", path);
  rc = recognize_open(out_is_map, out_map, out_header, pool, out_err, path, file);
  close_handle(file);
  return rc;
}

void chunk_map_get_hash(const ChunkMap* map, uint64_t offset, unsigned char* out_hash) {
  const uint64_t slot = offset >> map->chunk_shift;
  std::memcpy(out_hash, map->image + CHUNK_MAP_HEADER_SIZE + CHUNK_MAP_SLOT_SIZE * slot,
              CHUNK_MAP_SLOT_SIZE);
}

void chunk_map_set_hash(ChunkMap* map, uint64_t offset, const unsigned char* hash) {
  const uint64_t slot = offset >> map->chunk_shift;
  std::memcpy(map->image + CHUNK_MAP_HEADER_SIZE + CHUNK_MAP_SLOT_SIZE * slot, hash,
              CHUNK_MAP_SLOT_SIZE);
}

void chunk_map_release(ChunkMap* map) {
  if (!map) return;
  if (std::atomic_ref<int32_t>(map->reference_count).fetch_sub(1) == 1) std::free(map);
}
