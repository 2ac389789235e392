// Store creation, opening and location.
#include "store/store.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/err.h"
#include "base/file.h"
#include "base/folder.h"
#include "base/path.h"
#include "base/text.h"

namespace {

uint32_t read_le32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void write_le32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// The chunk sizes a store may be made with (a power of two in the range).
bool chunk_size_allowed(uint64_t size) {
  return size >= STORE_CHUNK_SIZE_MIN && size <= STORE_CHUNK_SIZE_MAX && is_power_of_two(size);
}

// A new record with its own copy of the metadata folder path; null without memory.
StoreInfo* store_info_new(const char* meta, const unsigned char* image, const OsAccess& access) {
  void* block = std::calloc(1, sizeof(StoreInfo));
  if (!block) return nullptr;
  auto* store = new (block) StoreInfo();
  store->path = pool_copy_text(&store->pool, meta);
  if (!store->path) {
    store->~StoreInfo();
    std::free(block);
    return nullptr;
  }
  store->path_length = text_len(meta);
  store->chunk_size = read_le32(image + STORE_INFO_OFFSET_CHUNK_SIZE);
  store->hash_size = image[STORE_INFO_OFFSET_HASH_SIZE];
  store->hash_type = image[STORE_INFO_OFFSET_HASH_TYPE];
  store->compression_type = image[STORE_INFO_OFFSET_COMPRESSION];
  store->folder_levels = image[STORE_INFO_OFFSET_LEVELS];
  store->folder_digits = image[STORE_INFO_OFFSET_DIGITS];
  store->reference_count = 1;
  store->access = access;
  return store;
}

// Hands the record to the caller, or releases it when the caller wants none.
int store_hand_out(StoreInfo* store, StoreInfo** out_store) {
  if (out_store) {
    *out_store = store;
  } else {
    store_release(store);
  }
  return 0;
}

// Creates one folder of the store; an existing folder is used as it is.
int store_make_folder(ScratchPool* pool, const char** out_err, const char* path, bool* created,
                      const OsAccess* access) {
  const int rc = create_folder(path, access);
  if (rc == 0) {
    *created = true;
    return 0;
  }
  bool is_folder = false;
  if (query_path_kind(path, &is_folder) == 0 && is_folder) return 0;
  return err_set(pool, out_err, rc, "Unable to create folder \"%s\"", path);
}

int store_create_steps(StoreInfo** out_store, ScratchPool* pool, const char** out_err,
                       const char* folder, const char* full, const char* meta, const char* info,
                       uint64_t chunk_size, uint64_t compression, uint64_t levels,
                       uint64_t digits, bool* created_full, bool* created_meta,
                       bool* wrote_info, FolderEnum** enumerator) {
  if (!full || !meta || !info || text_len(full) > STORE_PATH_MAX) {
    return err_set(pool, out_err, ERR_INVALID_NAME, "Bad folder name \"%s\"", folder);
  }
  if (!chunk_size_allowed(chunk_size)) {
    return err_set(pool, out_err, ERR_INVALID_PARAMETER, "Invalid chunk size specified");
  }
  if (compression > STORE_COMPRESSION_ZIP) {
    return err_set(pool, out_err, ERR_INVALID_PARAMETER, "Invalid compression type specified");
  }
  if (levels < 1 || levels > 3) {
    return err_set(pool, out_err, ERR_INVALID_PARAMETER,
                   "Invalid dictionary folder level count specified");
  }
  if (digits < 1 || digits > 4) {
    return err_set(pool, out_err, ERR_INVALID_PARAMETER,
                   "Invalid dictionary folder name digit count specified");
  }
  int rc = store_make_folder(pool, out_err, full, created_full, nullptr);
  if (rc) return rc;
  // Private until its owner shares it: the umask is made for the user's own
  // files, not for copies of them that others could read here.
  OsAccess owner_only{};
  owner_only.mode = 0700;
  rc = store_make_folder(pool, out_err, meta, created_meta, &owner_only);
  if (rc) return rc;
  rc = folder_open(enumerator, meta, 0);
  if (rc) {
    if (out_err) *out_err = nullptr;
    return rc;
  }
  if (folder_next(*enumerator, nullptr, nullptr, nullptr) == 0) {
    return err_set(pool, out_err, ERR_ALREADY_EXISTS, "Folder exists and is not empty \"%s\"",
                   meta);
  }
  unsigned char image[STORE_INFO_SIZE] = {0};
  bytes_move(image, STORE_INFO_MAGIC, 8);
  write_le32(image + STORE_INFO_OFFSET_CHUNK_SIZE, static_cast<uint32_t>(chunk_size));
  image[STORE_INFO_OFFSET_HASH_SIZE] = STORE_HASH_SIZE;
  image[STORE_INFO_OFFSET_HASH_TYPE] = STORE_HASH_TYPE_SHA2_512;
  image[STORE_INFO_OFFSET_COMPRESSION] = static_cast<uint8_t>(compression);
  image[STORE_INFO_OFFSET_LEVELS] = static_cast<uint8_t>(levels);
  image[STORE_INFO_OFFSET_DIGITS] = static_cast<uint8_t>(digits);
  OsAccess access{};
  rc = query_path_access(meta, false, &access);
  if (rc) return err_set(pool, out_err, rc, "Unable to write file \"%s\"", info);
  // The description holds no data of the user's and is never rewritten: any
  // user who may enter the metadata folder may read it, so that opening up
  // the folder later (chmod 2770 .zuvo) is all it takes to share the store.
  OsAccess info_access = access;
  info_access.mode |= 0444;
  *wrote_info = true;
  rc = write_whole_file(info, image, sizeof image, &info_access);
  if (rc) return err_set(pool, out_err, rc, "Unable to write file \"%s\"", info);
  StoreInfo* store = store_info_new(meta, image, access);
  if (!store) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory");
  return store_hand_out(store, out_store);
}

// Whether `folder` holds a metadata folder.
bool store_meta_present(ScratchPool* pool, const char* folder) {
  const char* meta = path_join(pool, folder, STORE_META_FOLDER);
  bool is_folder = false;
  return meta && query_path_kind(meta, &is_folder) == 0 && is_folder;
}

// Whether the metadata folder `meta` of `folder` may be used: 0, with
// *out_absent when there is none to use, or 5 when another user owns it and
// users outside the folder's owner and group may write the folder. Anyone
// could have made it there, and data copied below it would land in their hands.
int store_trusted(const char* meta, const char* folder, bool* out_absent) {
  OsAccess found{};
  // Nothing that could not be looked at is used: without this answer no
  // store here is tried.
  *out_absent = !meta || query_path_access(meta, true, &found) != 0;
  if (*out_absent || found.owned) return 0;
  OsAccess holder{};
  if (query_path_access(folder, false, &holder) == 0 && !holder.others_write) return 0;
  // Only a folder is ever taken for a store; anything else is passed over as before.
  bool is_folder = false;
  return query_path_kind(meta, &is_folder) == 0 && is_folder ? ERR_ACCESS_DENIED : 0;
}

}  // namespace

bool is_power_of_two(uint64_t value) { return (value & (value - 1)) == 0; }

int store_create(StoreInfo** out_store, ScratchPool* pool, const char** out_err,
                 const char* folder, uint64_t chunk_size, uint64_t compression_type,
                 uint64_t folder_levels, uint64_t folder_digits) {
  if (out_store) *out_store = nullptr;
  if (out_err) *out_err = nullptr;
  ScratchPool local;
  const char* full = path_full(&local, nullptr, folder);
  const char* meta = full ? path_join(&local, full, STORE_META_FOLDER) : nullptr;
  const char* info = meta ? path_join(&local, meta, STORE_INFO_FILE) : nullptr;
  bool created_full = false;
  bool created_meta = false;
  bool wrote_info = false;
  FolderEnum* enumerator = nullptr;
  const int rc = store_create_steps(out_store, pool, out_err, folder, full, meta, info, chunk_size,
                                    compression_type, folder_levels, folder_digits, &created_full,
                                    &created_meta, &wrote_info, &enumerator);
  if (enumerator) folder_close(enumerator);
  if (rc) {
    // Only what this call created goes; a folder that was there stays. A
    // partial _info is ours too (the metadata folder was empty), and left
    // behind it would block every later attempt.
    if (wrote_info) (void)delete_file(info);
    if (created_meta) (void)delete_file(meta);
    if (created_full) (void)delete_file(full);
  }
  return rc;
}

int store_open(StoreInfo** out_store, ScratchPool* pool, const char** out_err,
               const char* folder) {
  if (out_store) *out_store = nullptr;
  if (out_err) *out_err = nullptr;
  ScratchPool local;
  const char* full = path_full(&local, nullptr, folder);
  if (!full || text_len(full) > STORE_PATH_MAX) {
    return err_set(pool, out_err, ERR_INVALID_NAME, "Bad folder name \"%s\"", folder);
  }
  const char* meta = path_join(&local, full, STORE_META_FOLDER);
  const char* info = meta ? path_join(&local, meta, STORE_INFO_FILE) : nullptr;
  if (!info) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory");
  unsigned char image[STORE_INFO_SIZE] = {0};
  size_t read = 0;
  int rc = read_whole_file(info, image, sizeof image, &read);
  if (rc == 0 && read < sizeof image) {
    // A description that is really this short is in another format; one that
    // could not be read whole is not, and must not be taken for one.
    FileInfo file{};
    rc = query_path_info(info, &file);
    if (rc == 0 && file.size > read) rc = ERR_HANDLE_EOF;
  }
  if (rc) return err_set(pool, out_err, rc, "Unable to read file \"%s\"", info);
  if (std::memcmp(image, STORE_INFO_MAGIC, 8) != 0) {
    return err_set(pool, out_err, ERR_UNKNOWN_REVISION, "Store not in zuvo format \"%s\"", info);
  }
  const uint8_t levels = image[STORE_INFO_OFFSET_LEVELS];
  const uint8_t digits = image[STORE_INFO_OFFSET_DIGITS];
  if (!chunk_size_allowed(read_le32(image + STORE_INFO_OFFSET_CHUNK_SIZE)) ||
      image[STORE_INFO_OFFSET_HASH_SIZE] != STORE_HASH_SIZE ||
      image[STORE_INFO_OFFSET_HASH_TYPE] != STORE_HASH_TYPE_SHA2_512 || levels < 1 ||
      levels > 3 || digits < 1 || digits > 4) {
    return err_set(pool, out_err, ERR_UNKNOWN_REVISION, "Unsupported zuvo store parameters \"%s\"",
                   info);
  }
  const unsigned compression = image[STORE_INFO_OFFSET_COMPRESSION];
  if (compression > STORE_COMPRESSION_ZIP) {
    return err_set(pool, out_err, ERR_UNKNOWN_REVISION, "Unsupported compression type %u \"%s\"",
                   compression, info);
  }
  OsAccess access{};
  rc = query_path_access(meta, false, &access);
  if (rc) return err_set(pool, out_err, rc, "Unable to read file \"%s\"", info);
  StoreInfo* store = store_info_new(meta, image, access);
  if (!store) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory");
  return store_hand_out(store, out_store);
}

int store_locate(StoreInfo** out_store, ScratchPool* pool, const char** out_err,
                 const char* path) {
  if (out_store) *out_store = nullptr;
  if (out_err) *out_err = nullptr;
  ScratchPool local;
  char* p = path_full(&local, nullptr, path);
  if (!p) return err_set(pool, out_err, ERR_INVALID_NAME, "Invalid file name \"%s\"", path);
  size_t last = text_len(p);
  for (;;) {
    // Checked before _info is even opened: a planted one could be a pipe.
    const char* meta = path_join(&local, p, STORE_META_FOLDER);
    bool absent = false;
    const int trust = store_trusted(meta, p, &absent);
    if (trust) {
      return err_set(pool, out_err, trust,
                     "Store owned by another user in a folder anyone may write \"%s\"", meta);
    }
    const char* text = nullptr;
    const int rc = absent ? ERR_NOT_FOUND : store_open(out_store, &local, &text, p);
    if (rc == 0) return 0;
    // A store whose description is there but unreadable must not be taken
    // for no store: a copy would then write a plain file over its chunk map.
    if (!absent && rc != ERR_UNKNOWN_REVISION && rc != ERR_PATH_NOT_FOUND &&
        store_meta_present(&local, p)) {
      return err_set(pool, out_err, rc, "%s", text);
    }
    size_t root = 0;
    size_t name = 0;
    if (path_split(p, &root, nullptr, &name) != 0 || name == last) break;
    // The separator before the last name goes with it, unless it ends the root.
    last = name > root + 1 ? name - 1 : name;
    p[last] = 0;
  }
  return err_set(pool, out_err, ERR_NOT_FOUND, "Unable to locate zuvo store in path of \"%s\"",
                 path);
}

void store_release(StoreInfo* store) {
  if (!store) return;
  if (std::atomic_ref<int32_t>(store->reference_count).fetch_sub(1) != 1) return;
  store->~StoreInfo();
  std::free(store);
}
