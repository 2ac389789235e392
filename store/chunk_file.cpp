// Chunk files over the file layer: paths in the chunk dictionary, exclusive
// publication of complete chunk files, and the reads and writes in whole
// 4096-byte blocks that unbuffered handles need.
#include "store/chunk_file.h"

#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/runtime.h"
#include "base/text.h"
#include "base/transfer.h"
#include "hash/deflate.h"

namespace {

// Chunk files are opened asynchronous and unbuffered, for reading or creating.
constexpr uint32_t MODE_READ = OPEN_READ_ATTRIBUTES | OPEN_READ | OPEN_UNBUFFERED | OPEN_ASYNC;
constexpr uint32_t MODE_CREATE = OPEN_UNBUFFERED | OPEN_ASYNC | OPEN_WRITE_THROUGH;
// Opening an existing chunk file to flush it: read and write data.
constexpr uint32_t MODE_SYNC = OPEN_READ | OPEN_WRITE;

constexpr char TEXT_MISSING[] = "Missing source chunk file \"%s\"";
constexpr char TEXT_CREATE[] = "Unable to create dest chunk file \"%s\"";
constexpr char TEXT_READ[] = "Read failed from source chunk file \"%s\"";
constexpr char TEXT_INFLATE[] = "Decompression failed for source chunk file \"%s\"";
constexpr char TEXT_WRITE[] = "Write failed to dest chunk file \"%s\"";
constexpr char TEXT_MEMORY[] = "Out of memory for chunk file \"%s\"";
constexpr char TEXT_SYNC[] = "Unable to sync chunk file \"%s\"";

// Sets the text of a failure when there is a pool and no text was set yet,
// and returns `rc`. The operations accept a null pool, which err_set cannot.
int set_first_error(ScratchPool* pool, const char** out_err, int rc, const char* format,
                    const char* path) {
  if (out_err == nullptr || *out_err != nullptr) return rc;
  if (pool == nullptr) return rc;
  return err_set(pool, out_err, rc, format, path);
}

bool handle_open(OsHandle h) { return h != 0 && h != OS_NO_HANDLE; }

// Unbuffered I/O moves whole transfer blocks, so a chunk must be made of them.
bool chunk_size_aligned(uint64_t k) { return k >= CHUNK_FILE_ALIGN && k % CHUNK_FILE_ALIGN == 0; }

// Bytes of `path` up to and including the digits of dictionary level `level`
// (level 0: the metadata folder itself).
size_t level_length(const StoreInfo* store, uint32_t level) {
  return store->path_length + level * (store->folder_digits + 1u);
}

// Creates the dictionary folders of cf->path, outermost first, with the
// metadata folder's access. Existing folders are fine, and a failure shows up
// when the file is created; returns the first error other than "exists",
// which says why better than the create's "path not found" (a full disk).
int create_dictionary_folders(const StoreInfo* store, const ChunkFile* cf) {
  char folder[CHUNK_FILE_PATH_SIZE];
  int first = 0;
  for (uint32_t level = 1; level <= store->folder_levels; ++level) {
    const size_t n = level_length(store, level);
    std::memcpy(folder, cf->path, n);
    folder[n] = 0;
    const int rc = create_folder(folder, &store->access);
    if (first == 0 && rc != 0 && rc != ERR_ALREADY_EXISTS) first = rc;
  }
  return first;
}

// Opens a new temporary file in the chunk's folder and records it as pending.
// It takes the metadata folder's access, and keeps it under the chunk's name.
int open_temp(ChunkFile* cf) {
  char folder[CHUNK_FILE_PATH_SIZE];
  std::memcpy(folder, cf->path, cf->folder_length);
  folder[cf->folder_length] = 0;
  ScratchPool local;
  char* temp = nullptr;
  OsHandle h = OS_NO_HANDLE;
  int rc = create_temp_file(&h, &local, folder, MODE_CREATE, &temp, &cf->store->access);
  if (rc != 0) return rc;
  const size_t n = text_len(temp);
  if (n >= sizeof cf->temp_path) {
    close_handle(h);
    (void)delete_file(temp);
    return ERR_FILENAME_EXCED_RANGE;
  }
  std::memcpy(cf->temp_path, temp, n + 1);
  cf->handle = h;
  cf->kind = cf->store_kind;
  return 0;
}

// Deletes the pending temporary file, if any, after closing the handle.
void discard_temp(ChunkFile* cf) {
  close_handle(cf->handle);
  cf->handle = OS_NO_HANDLE;
  cf->kind = 0;
  if (cf->temp_path[0] != 0) {
    (void)delete_file(cf->temp_path);
    cf->temp_path[0] = 0;
  }
}

// Whether the open chunk file has a size a stored chunk can have: a whole
// chunk, or in a compressing store a deflate stream at least one block
// shorter. Any other size cannot hold the chunk its name promises.
bool stored_size_plausible(const StoreInfo* store, OsHandle handle) {
  uint64_t size = 0;
  if (file_size(handle, &size) != 0) return true;  // unknown: trust the name as before
  if (size == store->chunk_size) return true;
  return store->compression_type == STORE_COMPRESSION_ZIP && size > 0 &&
         size <= store->chunk_size - CHUNK_FILE_ALIGN;
}

}  // namespace

void chunk_file_init(ChunkFile* cf) {
  std::memset(cf, 0, sizeof *cf);
  cf->handle = OS_NO_HANDLE;
}

size_t chunk_file_path(const StoreInfo* store, const uint8_t* hash, char* buffer, size_t capacity,
                       uint32_t* out_folder_length) {
  if (out_folder_length) *out_folder_length = 0;
  const uint32_t levels = store->folder_levels;
  const uint32_t digits = store->folder_digits;
  if (levels < 1 || levels > 3 || digits < 1 || digits > 4 || store->path == nullptr) return 0;
  const size_t folder = level_length(store, levels);
  const size_t length = folder + 1 + CHUNK_FILE_NAME_LENGTH;
  if (length >= capacity) return 0;
  char name[CHUNK_FILE_NAME_LENGTH + 1];
  hex_from_bytes(name, hash, CHUNK_FILE_HASH_SIZE);
  const char separator = path_default_syntax()->separator;
  std::memcpy(buffer, store->path, store->path_length);
  size_t at = store->path_length;
  for (uint32_t level = 0; level < levels; ++level) {
    buffer[at++] = separator;
    std::memcpy(buffer + at, name + level * digits, digits);
    at += digits;
  }
  buffer[at++] = separator;
  std::memcpy(buffer + at, name, CHUNK_FILE_NAME_LENGTH + 1);
  if (out_folder_length) *out_folder_length = static_cast<uint32_t>(folder);
  return length;
}

int chunk_file_open(const StoreInfo* store, ScratchPool* pool, const char** out_err, ChunkFile* cf,
                    const uint8_t* hash, bool for_write) {
  if (out_err) *out_err = nullptr;
  const char* text = for_write ? TEXT_CREATE : TEXT_MISSING;
  const bool new_store = cf->store != store;
  if (new_store || std::memcmp(cf->hash, hash, CHUNK_FILE_HASH_SIZE) != 0) {
    chunk_file_close(cf);
    if (new_store) {
      // The buffer belongs to the old store's chunk size.
      page_free(cf->work, cf->work_size);
      cf->work = nullptr;
      cf->work_size = 0;
      cf->store = nullptr;
      cf->store_kind = 0;
    }
    std::memcpy(cf->hash, hash, CHUNK_FILE_HASH_SIZE);
    if (chunk_file_path(store, hash, cf->path, sizeof cf->path, &cf->folder_length) == 0) {
      // Nothing valid is recorded, so the next call builds everything anew.
      cf->store = nullptr;
      cf->path[0] = 0;
      return set_first_error(pool, out_err, ERR_FILENAME_EXCED_RANGE, text, store->path);
    }
  }
  if (cf->store != store) {
    if (!chunk_size_aligned(store->chunk_size)) {
      return set_first_error(pool, out_err, ERR_INVALID_PARAMETER, text, cf->path);
    }
    cf->work = page_alloc(store->chunk_size);
    if (cf->work == nullptr)
      return set_first_error(pool, out_err, ERR_OUTOFMEMORY, TEXT_MEMORY, cf->path);
    cf->work_size = store->chunk_size;
    cf->store = store;
  }

  if (handle_open(cf->handle)) {
    // Keep a chunk file open for reading, or a pending temporary file for writing.
    const bool pending = cf->temp_path[0] != 0;
    if (for_write == pending) return 0;
    chunk_file_close(cf);
  }
  cf->created = 0;
  cf->replace = 0;

  // A chunk under its own name is complete: readers use it, writers skip it.
  int rc = open_file(&cf->handle, cf->path, MODE_READ);
  if (rc == 0) {
    cf->kind = cf->store_kind;
    if (!for_write || stored_size_plausible(store, cf->handle)) return 0;
    // Published but never flushed before a power loss: an empty or cut file
    // under the name. Skipping it would make new chunk maps depend on it.
    close_handle(cf->handle);
    cf->handle = OS_NO_HANDLE;
    cf->replace = 1;
  } else if (!for_write) {
    return set_first_error(pool, out_err, rc, TEXT_MISSING, cf->path);
  }

  // The lookup above said whether the chunk's folder is there: a missing one
  // is made before the temporary file, not after its create failed too (two
  // round trips less per new folder on a network file system).
  int folders = rc == ERR_PATH_NOT_FOUND ? create_dictionary_folders(store, cf) : 0;
  rc = open_temp(cf);
  if (rc != 0) {
    folders = create_dictionary_folders(store, cf);
    rc = open_temp(cf);
  }
  if (rc == ERR_PATH_NOT_FOUND && folders != 0) rc = folders;
  if (rc != 0) return set_first_error(pool, out_err, rc, TEXT_CREATE, cf->path);
  cf->created = 1;
  return 0;
}

int chunk_file_read(const StoreInfo* store, ScratchPool* pool, const char** out_err, ChunkFile* cf,
                    const uint8_t* hash, void* out_data) {
  int rc = chunk_file_open(store, pool, out_err, cf, hash, false);
  if (rc != 0) return rc;
  const uint64_t k = store->chunk_size;
  uint64_t size = k;
  if (store->compression_type == STORE_COMPRESSION_ZIP) {
    rc = file_size(cf->handle, &size);
    if (rc != 0) return set_first_error(pool, out_err, rc, TEXT_READ, cf->path);
  }
  if (size >= k) {
    rc = read_exact_at(cf->handle, &cf->kind, 0, out_data, k);
    cf->store_kind = cf->kind;
    if (rc != 0) return set_first_error(pool, out_err, rc, TEXT_READ, cf->path);
    return 0;
  }
  // Smaller than a chunk: a deflate stream, read whole into the work buffer.
  rc = read_exact_at(cf->handle, &cf->kind, 0, cf->work, size);
  cf->store_kind = cf->kind;
  if (rc != 0) return set_first_error(pool, out_err, rc, TEXT_READ, cf->path);
  size_t produced = 0;
  rc = chunk_uncompress(cf->work, size, out_data, k, &produced);
  if (rc == 0 && produced != k) rc = ERR_CRC;
  if (rc != 0) return set_first_error(pool, out_err, rc, TEXT_INFLATE, cf->path);
  return 0;
}

int chunk_file_write(const StoreInfo* store, ScratchPool* pool, const char** out_err, ChunkFile* cf,
                     const uint8_t* hash, const void* data) {
  int rc = chunk_file_open(store, pool, out_err, cf, hash, true);
  if (rc != 0) return rc;
  if (cf->created == 0) return 0;  // the store holds the chunk already

  const uint64_t k = store->chunk_size;
  const void* out = data;
  size_t length = k;
  size_t true_length = k;
  if (store->compression_type == STORE_COMPRESSION_ZIP) {
    // Kept compressed only when that saves at least one whole block; a
    // stream that does not fit (or any failure) leaves the chunk raw, and
    // so does data that the cheap estimate finds cannot save that much.
    size_t n = 0;
    if (chunk_compress_promising(data, k, k - CHUNK_FILE_ALIGN) &&
        chunk_compress(data, k, cf->work, k - CHUNK_FILE_ALIGN, &n) == 0 && n > 0) {
      const size_t pad = (CHUNK_FILE_ALIGN - n % CHUNK_FILE_ALIGN) % CHUNK_FILE_ALIGN;
      std::memset(static_cast<char*>(cf->work) + n, 0, pad);
      out = cf->work;
      length = n + pad;
      true_length = n;
    }
  }
  rc = write_exact_at(cf->handle, &cf->kind, 0, out, length);
  cf->store_kind = cf->kind;
  if (rc == 0 && true_length != length) rc = set_file_end(cf->handle, true_length);
  if (rc != 0) {
    discard_temp(cf);
    cf->created = 0;
    return set_first_error(pool, out_err, rc, TEXT_WRITE, cf->path);
  }

  // Asked on the open handle, no path walk: the caller flushes the volumes
  // its chunks went to, which differ where dictionary folders are mounted.
  (void)query_file_volume(cf->handle, &cf->volume);  // 0 when unknown
  // Asked once per volume: a file system served from elsewhere writes a
  // chunk to stable storage only when that chunk is flushed, and its map must
  // not list a chunk that a power loss of the server can take back.
  if (cf->volume == 0 || cf->volume != cf->flush_volume) {
    cf->flush_each = file_system_syncs_files(cf->handle) ? 0 : 1;
    cf->flush_volume = cf->volume;
  }
  if (cf->flush_each) {
    rc = sync_file(cf->handle);
    if (rc != 0) {
      discard_temp(cf);
      cf->created = 0;
      return set_first_error(pool, out_err, rc, TEXT_SYNC, cf->path);
    }
  }

  // Publish: the complete file takes the chunk's name, unless another writer
  // got there first, in which case the store holds the chunk and this copy goes.
  // A network file system may report a failed write only on closing, and then
  // the file must not be published.
  rc = close_handle(cf->handle);
  cf->handle = OS_NO_HANDLE;
  cf->kind = 0;
  if (rc != 0) {
    discard_temp(cf);
    cf->created = 0;
    return set_first_error(pool, out_err, rc, TEXT_WRITE, cf->path);
  }
  rc = rename_file(cf->temp_path, cf->path, cf->replace != 0);
  cf->replace = 0;
  if (rc == 0) {
    cf->temp_path[0] = 0;
    return 0;  // created stays 1: this call stored the chunk
  }
  discard_temp(cf);
  cf->created = 0;
  if (rc == ERR_ALREADY_EXISTS) return 0;
  return set_first_error(pool, out_err, rc, TEXT_WRITE, cf->path);
}

void chunk_file_close(ChunkFile* cf) {
  discard_temp(cf);
  cf->created = 0;
}

void chunk_file_destroy(ChunkFile* cf) {
  chunk_file_close(cf);
  page_free(cf->work, cf->work_size);
  cf->work = nullptr;
  cf->work_size = 0;
  cf->store = nullptr;
}

int chunk_file_sync(const StoreInfo* store, ScratchPool* pool, const char** out_err,
                    const uint8_t* hash) {
  if (out_err) *out_err = nullptr;
  char path[CHUNK_FILE_PATH_SIZE];
  if (chunk_file_path(store, hash, path, sizeof path, nullptr) == 0) {
    return set_first_error(pool, out_err, ERR_FILENAME_EXCED_RANGE, TEXT_SYNC, store->path);
  }
  OsHandle h = OS_NO_HANDLE;
  int rc = open_file(&h, path, MODE_SYNC);
  if (rc == 0) {
    rc = sync_file(h);
    close_handle(h);
  }
  // Each folder holds the entry of the next one down, the last one the file's.
  char folder[CHUNK_FILE_PATH_SIZE];
  for (uint32_t level = store->folder_levels + 1; rc == 0 && level-- > 0;) {
    const size_t n = level_length(store, level);
    std::memcpy(folder, path, n);
    folder[n] = 0;
    rc = sync_folder(folder);
  }
  if (rc != 0) return set_first_error(pool, out_err, rc, TEXT_SYNC, path);
  return 0;
}
