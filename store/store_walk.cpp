// Store walks: folders read whole into a pool, then visited.
#include "store/store_walk.h"

#include <algorithm>
#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/text.h"
#include "base/transfer.h"
#include "store/chunk_file.h"
#include "store/chunk_map.h"

namespace {

struct Entry {
  Entry* next;
  const char* path;
  size_t name_offset;
  FileInfo info;
};

// Puts the list in name order, so that walks (and what commands print
// along them) do not depend on the file system's order.
int sort_entries(ScratchPool* pool, Entry** first) {
  size_t count = 0;
  for (Entry* e = *first; e; e = e->next) count++;
  if (count < 2) return 0;
  auto** all = static_cast<Entry**>(allocate(pool, count * sizeof(Entry*)));
  if (!all) return ERR_OUTOFMEMORY;
  size_t i = 0;
  for (Entry* e = *first; e; e = e->next) all[i++] = e;
  std::sort(all, all + count, [](const Entry* a, const Entry* b) {
    return std::strcmp(a->path + a->name_offset, b->path + b->name_offset) < 0;
  });
  for (i = 0; i + 1 < count; i++) all[i]->next = all[i + 1];
  all[count - 1]->next = nullptr;
  *first = all[0];
  return 0;
}

// The entries of `folder` in name order, in `pool`. Links are followed
// for their description; one leading nowhere keeps the link's own record.
int read_folder(ScratchPool* pool, const char** out_err, const char* folder, Entry** out_first) {
  *out_first = nullptr;
  FolderEnum* e = nullptr;
  int rc = folder_open(&e, folder, 0);
  if (rc) return err_set(pool, out_err, rc, "Unable to read folder \"%s\"", folder);
  Entry** tail = out_first;
  for (;;) {
    const char* path = nullptr;
    size_t name_offset = 0;
    const FileInfo* info = nullptr;
    rc = folder_next(e, &path, &name_offset, &info);
    if (rc == ERR_NO_MORE_FILES) {
      rc = 0;
      break;
    }
    if (rc) break;
    auto* entry = static_cast<Entry*>(allocate(pool, sizeof(Entry)));
    const char* copy = pool_copy_text(pool, path);
    if (!entry || !copy) {
      rc = ERR_OUTOFMEMORY;
      break;
    }
    entry->next = nullptr;
    entry->path = copy;
    entry->name_offset = name_offset;
    entry->info = info ? *info : FileInfo{};
    *tail = entry;
    tail = &entry->next;
  }
  folder_close(e);
  if (rc) return err_set(pool, out_err, rc, "Unable to read folder \"%s\"", folder);
  return sort_entries(pool, out_first);
}

bool is_link(const FileInfo& info) { return info.symlink || info.mount_point; }

bool name_is(const Entry* entry, const char* name) {
  return std::strcmp(entry->path + entry->name_offset, name) == 0;
}

// Whether the folder at `path` is another store (its maps belong to that
// one), with the rule store_locate follows: a metadata folder whose
// description is in another format does not make a store; one whose
// description cannot be read stops the walk.
int nested_store(ScratchPool* pool, const char** out_err, const char* path, bool* out_nested) {
  *out_nested = false;
  ScratchPool local;
  const char* meta = path_join(&local, path, STORE_META_FOLDER);
  bool is_folder = false;
  if (!meta || query_path_kind(meta, &is_folder) != 0 || !is_folder) return 0;
  StoreInfo* other = nullptr;
  const char* text = nullptr;
  const int rc = store_open(&other, &local, &text, path);
  store_release(other);
  if (rc == 0) {
    *out_nested = true;
    return 0;
  }
  if (rc == ERR_UNKNOWN_REVISION || rc == ERR_PATH_NOT_FOUND) return 0;
  return err_set(pool, out_err, rc, "%s", text_or_empty(text));
}

int walk_tree(ScratchPool* pool, const char** out_err, const char* folder, bool top,
              StoreVisit visit, void* context) {
  ScratchPool local;
  Entry* first = nullptr;
  int rc = read_folder(&local, nullptr, folder, &first);
  // A folder deleted or moved since its parent was read: what it held is
  // gone, or found where it went by a later walk.
  if (!top && (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND)) return 0;
  if (rc) return err_set(pool, out_err, rc, "Unable to read folder \"%s\"", folder);
  for (Entry* entry = first; entry; entry = entry->next) {
    const FileInfo& info = entry->info;
    if (info.link_unreachable) continue;
    if (info.folder) {
      if (name_is(entry, STORE_META_FOLDER)) continue;
      if (is_link(info)) {
        StoreFile link{entry->path, entry->name_offset, &info, STORE_FILE_FOLDER_LINK, {}};
        rc = visit(context, &link);
        if (rc) return rc;
        continue;
      }
      bool nested = false;
      rc = nested_store(pool, out_err, entry->path, &nested);
      if (rc) return rc;
      if (nested) continue;
      rc = walk_tree(pool, out_err, entry->path, false, visit, context);
      if (rc) return rc;
      continue;
    }
    StoreFile file{entry->path, entry->name_offset, &info, STORE_FILE_PLAIN, {}};
    const char* name = entry->path + entry->name_offset;
    if (std::strncmp(name, STORE_TEMP_PREFIX, sizeof STORE_TEMP_PREFIX - 1) == 0) {
      file.kind = STORE_FILE_TEMP;
    }
    rc = visit(context, &file);
    if (rc) return rc;
  }
  return 0;
}

int classify(const StoreInfo* store, const Entry* entry, bool leaf, StoreFile* file) {
  const char* name = entry->path + entry->name_offset;
  const size_t length = text_len(name);
  if (std::strncmp(name, STORE_TEMP_PREFIX, sizeof STORE_TEMP_PREFIX - 1) == 0) {
    return STORE_FILE_TEMP;
  }
  if (!leaf || entry->info.folder || length < CHUNK_FILE_NAME_LENGTH ||
      !store_parse_chunk_name(name, CHUNK_FILE_NAME_LENGTH, file->hash)) {
    return STORE_FILE_OTHER;
  }
  if (length > CHUNK_FILE_NAME_LENGTH) {
    const char* suffix = name + CHUNK_FILE_NAME_LENGTH;
    return std::strncmp(suffix, STORE_DAMAGED_SUFFIX, sizeof STORE_DAMAGED_SUFFIX - 1) == 0
               ? STORE_FILE_DAMAGED
               : STORE_FILE_OTHER;
  }
  // A chunk's name in another chunk's folder is not that chunk's file.
  char expected[CHUNK_FILE_PATH_SIZE];
  if (chunk_file_path(store, file->hash, expected, sizeof expected, nullptr) == 0 ||
      std::strcmp(expected, entry->path) != 0) {
    return STORE_FILE_OTHER;
  }
  return STORE_FILE_CHUNK;
}

int walk_dictionary(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                    const char* folder, uint32_t level, StoreVisit visit, void* context) {
  ScratchPool local;
  Entry* first = nullptr;
  int rc = read_folder(&local, nullptr, folder, &first);
  if (rc) return err_set(pool, out_err, rc, "Unable to read folder \"%s\"", folder);
  const bool leaf = level == store->folder_levels;
  for (Entry* entry = first; entry; entry = entry->next) {
    if (level == 0 && name_is(entry, STORE_INFO_FILE)) continue;
    if (entry->info.folder && !leaf && !is_link(entry->info)) {
      rc = walk_dictionary(pool, out_err, store, entry->path, level + 1, visit, context);
      if (rc) return rc;
      continue;
    }
    if (entry->info.link_unreachable) continue;
    StoreFile file{entry->path, entry->name_offset, &entry->info, STORE_FILE_OTHER, {}};
    file.kind = classify(store, entry, leaf, &file);
    rc = visit(context, &file);
    if (rc) return rc;
  }
  return 0;
}

// Chunk names are written in lowercase only; another spelling is another file.
int lower_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

bool store_parse_chunk_name(const char* name, size_t length, uint8_t* out_hash) {
  if (length != CHUNK_FILE_NAME_LENGTH) return false;
  uint8_t hash[CHUNK_FILE_HASH_SIZE];
  for (size_t i = 0; i < CHUNK_FILE_HASH_SIZE; i++) {
    const int high = lower_hex_value(name[2 * i]);
    const int low = lower_hex_value(name[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    hash[i] = static_cast<uint8_t>(high << 4 | low);
  }
  if (out_hash) std::memcpy(out_hash, hash, sizeof hash);
  return true;
}

int store_walk_tree(ScratchPool* pool, const char** out_err, const char* folder, StoreVisit visit,
                    void* context) {
  if (out_err) *out_err = nullptr;
  return walk_tree(pool, out_err, folder, true, visit, context);
}

int store_walk_dictionary(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                          StoreVisit visit, void* context) {
  if (out_err) *out_err = nullptr;
  return walk_dictionary(pool, out_err, store, store->path, 0, visit, context);
}

int store_read_map(ChunkMap** out_map, ScratchPool* pool, const char** out_err, const char* path) {
  *out_map = nullptr;
  if (out_err) *out_err = nullptr;
  // Asked through a handle that reads nothing: opening a pipe for reading
  // would wait for a writer.
  OsHandle h = OS_NO_HANDLE;
  int rc = open_file(&h, path, 0);
  if (rc) return err_set(pool, out_err, rc, "Unable to open file \"%s\"", path);
  uint8_t kind = 0;
  rc = handle_kind(h, &kind);
  close_handle(h);
  if (rc) return err_set(pool, out_err, rc, "Unable to open file \"%s\"", path);
  if ((kind & HANDLE_CLASS_MASK) != HANDLE_CLASS_DISK) return 0;
  char head[8] = {0};
  size_t got = 0;
  rc = read_whole_file(path, head, sizeof head, &got);
  if (rc) return err_set(pool, out_err, rc, "Unable to read file \"%s\"", path);
  if (got == 0 || std::memcmp(head, CHUNK_MAP_MAGIC, got) != 0) return 0;
  if (got < sizeof head) {
    return err_set(pool, out_err, ERR_UNKNOWN_REVISION, "Bad zuvo file size \"%s\"", path);
  }
  return chunk_map_open(out_map, pool, out_err, path);
}
