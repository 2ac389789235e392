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
#include "base/transfer.h"
#include "store/store_walk.h"

namespace {

// Whether `path` is itself a link (symbolic link, junction or mount point
// reparse point), looked at without following it.
int path_is_link(const char* path, bool* out_link) {
  *out_link = false;
  OsHandle h = OS_NO_HANDLE;
  int rc = open_file(&h, path, OPEN_READ_ATTRIBUTES | OPEN_REPARSE_POINT);
  if (rc) return rc;
  FileInfo info{};
  rc = query_handle_info(h, &info);
  close_handle(h);
  if (rc == 0) *out_link = info.symlink || info.mount_point;
  return rc;
}

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

// 0 when no store that store_locate finds holds the full path `full`, as
// typed or as the system names it (through links): maps kept in a store made
// inside another would leave the outer store's tree without leaving its
// chunks, and its prune, which skips nested stores, would delete those. A
// store above that cannot be used ends it with that error.
int store_check_not_nested(ScratchPool* pool, const char** out_err, const char* full) {
  ScratchPool local;
  const char* above = path_full(&local, full, "..");
  if (!above) return err_set(pool, out_err, ERR_OUTOFMEMORY, "Out of memory");
  if (std::strcmp(above, full) == 0) return 0;  // a root: nothing above it
  // The folder may be there already (a link, say), or only its parent.
  const char* real = final_path(&local, full);
  const char* resolved = real ? path_full(&local, real, "..") : final_path(&local, above);
  if (resolved && std::strcmp(resolved, above) == 0) resolved = nullptr;
  for (const char* start : {above, resolved}) {
    if (!start) continue;
    StoreInfo* outer = nullptr;
    const char* text = nullptr;
    const int rc = store_locate(&outer, &local, &text, start);
    if (rc == ERR_NOT_FOUND) continue;
    if (rc) return err_set(pool, out_err, rc, "%s", text_or_empty(text));
    const char* outer_folder = path_full(&local, outer->path, "..");
    store_release(outer);
    return err_set(pool, out_err, ERR_ALREADY_EXISTS, "Folder \"%s\" is inside the store \"%s\"",
                   full, text_or_empty(outer_folder));
  }
  return 0;
}

bool is_temp_name(const char* name) {
  return std::strncmp(name, STORE_TEMP_PREFIX, sizeof STORE_TEMP_PREFIX - 1) == 0;
}

// Deletes the temporary files in `meta`. Returns 0 or the first error.
int remove_temps(const char* meta) {
  FolderEnum* listing = nullptr;
  int rc = folder_open(&listing, meta, 0);
  const char* entry = nullptr;
  size_t name = 0;
  while (rc == 0 && (rc = folder_next(listing, &entry, &name, nullptr)) == 0) {
    if (is_temp_name(entry + name)) rc = delete_file(entry);
  }
  folder_close(listing);
  return rc == ERR_NO_MORE_FILES ? 0 : rc;
}

// Takes over the metadata folder `meta` that was there before, empty but for
// temporary files (`temps`): only a folder of the user's own, never a link
// (what it leads to may be anyone's, and prune would refuse the store), and
// made private like a new one. There is no call to change permission bits,
// but an empty folder can be made anew.
int store_adopt_meta(ScratchPool* pool, const char** out_err, const char* meta, bool temps,
                     const OsAccess* owner_only) {
  bool link = false;
  int rc = path_is_link(meta, &link);
  if (rc) return err_set(pool, out_err, rc, "Unable to open folder \"%s\"", meta);
  if (link) {
    return err_set(pool, out_err, ERR_ACCESS_DENIED,
                   "Metadata folder is a link; mount the folder there instead \"%s\"", meta);
  }
  OsAccess found{};
  rc = query_path_access(meta, true, &found);
  if (rc) return err_set(pool, out_err, rc, "Unable to open folder \"%s\"", meta);
  if (!found.owned) {
    return err_set(pool, out_err, ERR_ACCESS_DENIED, "Folder owned by another user \"%s\"", meta);
  }
  rc = temps ? remove_temps(meta) : 0;
  if (rc) return err_set(pool, out_err, rc, "Unable to delete temporary files in \"%s\"", meta);
  if (!found.has_group || (found.mode & 07777) == owner_only->mode) return 0;
  // A mount point cannot be removed: its owner makes it private by hand.
  rc = delete_file(meta);
  if (rc) {
    return err_set(pool, out_err, rc, "Unable to make folder private (mode 700) \"%s\"", meta);
  }
  rc = create_folder(meta, owner_only);
  if (rc) return err_set(pool, out_err, rc, "Unable to create folder \"%s\"", meta);
  return 0;
}

// What one store_create has made so far, for the clean-up after a failure.
struct CreateMade {
  bool full = false;              // the store folder
  bool meta = false;              // the metadata folder
  bool info = false;              // `_info` under its name
  char* temp = nullptr;           // `_info` while it has no name yet (in the call's pool)
  FolderEnum* listing = nullptr;  // open on the metadata folder
};

// Writes `image` as `info` the way chunk files are published: under a
// temporary name in `meta`, flushed, then named in one step, and the folder
// flushed. A create_store stopped at any moment thus leaves no short `_info`,
// which would read as "not a store" and block every later attempt until
// removed by hand. Returns 0 or an error number.
int store_publish_info(ScratchPool* pool, const char* meta, const char* info,
                       const unsigned char* image, const OsAccess* access, CreateMade* made) {
  OsHandle h = OS_NO_HANDLE;
  int rc = create_temp_file(&h, pool, meta, 0, &made->temp, access);
  if (rc) return rc;
  rc = write_exact_at(h, nullptr, 0, image, STORE_INFO_SIZE);
  if (rc == 0) rc = sync_file(h);
  const int closed = close_handle(h);
  if (rc == 0) rc = closed;
  if (rc == 0) rc = rename_file(made->temp, info, false);
  if (rc) return rc;
  made->temp = nullptr;
  made->info = true;
  return sync_folder(meta);
}

int store_create_steps(StoreInfo** out_store, ScratchPool* pool, const char** out_err,
                       const char* folder, const char* full, const char* meta, const char* info,
                       uint64_t chunk_size, uint64_t compression, uint64_t levels,
                       uint64_t digits, ScratchPool* local, CreateMade* made) {
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
  int rc = store_check_not_nested(pool, out_err, full);
  if (rc) return rc;
  rc = store_make_folder(pool, out_err, full, &made->full, nullptr);
  if (rc) return rc;
  // Private until its owner shares it: the umask is made for the user's own
  // files, not for copies of them that others could read here.
  OsAccess owner_only{};
  owner_only.mode = 0700;
  rc = store_make_folder(pool, out_err, meta, &made->meta, &owner_only);
  if (rc) return rc;
  rc = folder_open(&made->listing, meta, 0);
  // Temporary files are all that a create_store stopped before `_info` took
  // its name leaves behind: they do not make the folder busy.
  bool temps = false;
  const char* entry = nullptr;
  size_t name = 0;
  while (rc == 0 && (rc = folder_next(made->listing, &entry, &name, nullptr)) == 0) {
    if (!is_temp_name(entry + name)) {
      return err_set(pool, out_err, ERR_ALREADY_EXISTS, "Folder exists and is not empty \"%s\"",
                     meta);
    }
    temps = true;
  }
  if (rc != ERR_NO_MORE_FILES) {
    if (out_err) *out_err = nullptr;
    return rc;
  }
  folder_close(made->listing);
  made->listing = nullptr;
  if (!made->meta) {
    rc = store_adopt_meta(pool, out_err, meta, temps, &owner_only);
    if (rc) return rc;
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
  rc = store_publish_info(local, meta, info, image, &info_access, made);
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

// The folder that holds what the link `meta` leads to (at the end of any
// chain of links), in `pool`; null when that cannot be found, which counts as
// a folder open to others.
const char* link_target_holder(ScratchPool* pool, const char* meta) {
  const char* target = final_path(pool, meta);
  return target ? path_full(pool, target, "..") : nullptr;
}

// Whether users outside the owner and group of `path` may write it (also
// when that cannot be asked).
bool open_to_others(const char* path) {
  OsAccess access{};
  return !path || query_path_access(path, false, &access) != 0 || access.others_write;
}

// Whether the metadata folder `meta` of `folder` may be used: 0, with
// *out_absent when there is none to use, or 5 with *out_why when another user
// owns it and users outside the folder's owner and group may write the
// folder. Anyone could have made it there, and data copied below it would
// land in their hands. A link is judged by the folder it leads to, whose
// holder counts too; in a folder open to others the link must also be the
// user's own, or its maker could point it elsewhere at any time.
int store_trusted(ScratchPool* local, const char* meta, const char* folder, bool* out_absent,
                  const char** out_why) {
  OsAccess found{};
  bool link = false;
  // Nothing that could not be looked at is used: without this answer no
  // store here is tried.
  *out_absent = !meta || query_path_access(meta, true, &found) != 0;
  if (*out_absent) return 0;
  // Judged by the stricter rule for links when that cannot be told.
  if (path_is_link(meta, &link) != 0) link = true;
  *out_why = "Store owned by another user in a folder anyone may write \"%s\"";
  if (!link) {
    if (found.owned || !open_to_others(folder)) return 0;
  } else {
    OsAccess target{};
    // A link that leads nowhere is passed over as before.
    if (query_path_access(meta, false, &target) != 0) return 0;
    const bool open_holder = open_to_others(folder);
    if (open_holder && !found.owned) {
      *out_why = "Store link made by another user in a folder anyone may write \"%s\"";
    } else if (target.owned || (!open_holder && !open_to_others(link_target_holder(local, meta)))) {
      return 0;
    }
  }
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
  CreateMade made;
  const int rc = store_create_steps(out_store, pool, out_err, folder, full, meta, info, chunk_size,
                                    compression_type, folder_levels, folder_digits, &local, &made);
  if (made.listing) folder_close(made.listing);
  if (rc) {
    // Only what this call created goes; a folder that was there stays.
    if (made.temp) (void)delete_file(made.temp);
    if (made.info) (void)delete_file(info);
    if (made.meta) (void)delete_file(meta);
    if (made.full) (void)delete_file(full);
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
    const char* why = nullptr;
    const int trust = store_trusted(&local, meta, p, &absent, &why);
    if (trust) return err_set(pool, out_err, trust, why, meta);
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

int store_check_own_metadata(ScratchPool* pool, const char** out_err, const StoreInfo* store) {
  if (out_err) *out_err = nullptr;
  bool link = false;
  const int rc = path_is_link(store->path, &link);
  if (rc) return err_set(pool, out_err, rc, "Unable to open folder \"%s\"", store->path);
  if (link) {
    return err_set(pool, out_err, ERR_ACCESS_DENIED,
                   "Will not prune or repair through a linked metadata folder \"%s\"", store->path);
  }
  return 0;
}

void store_release(StoreInfo* store) {
  if (!store) return;
  if (std::atomic_ref<int32_t>(store->reference_count).fetch_sub(1) != 1) return;
  store->~StoreInfo();
  std::free(store);
}
