// Store walks: folders read whole into a pool, then visited.
#include "store/store_walk.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/lock.h"
#include "base/path.h"
#include "base/semaphore.h"
#include "base/text.h"
#include "base/work_item.h"
#include "hash/chunk_hash.h"
#include "store/chunk_file.h"

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

// One walk of a tree: where it reports, and what it records of what it read
// when a snapshot is asked for.
struct TreeWalk {
  ScratchPool* pool;
  const char** out_err;
  StoreVisit visit;
  void* context;
  ChunkHasher* hasher;  // null: no snapshot
  StoreTreeSnapshot* snapshot;
};

constexpr int64_t TIME_UNITS_PER_SECOND = 10000000;

bool is_temp_name(const Entry* entry) {
  return std::strncmp(entry->path + entry->name_offset, STORE_TEMP_PREFIX,
                      sizeof STORE_TEMP_PREFIX - 1) == 0;
}

void snapshot_text(TreeWalk* w, const char* text) {
  chunk_hasher_update(w->hasher, text, text_len(text) + 1);
}

// Adds what tells one state of a file or folder from another. The time stamp
// that moves on every change is the change time; where the file system keeps
// none, the write time.
void snapshot_record(TreeWalk* w, const FileInfo& info) {
  const int64_t stamp = info.change_time ? info.change_time : info.last_write_time;
  if (stamp % TIME_UNITS_PER_SECOND == 0) w->snapshot->whole_seconds = true;
  const uint64_t words[] = {
      uint64_t{info.attributes} | uint64_t{info.symlink} << 32 | uint64_t{info.folder} << 40 |
          uint64_t{info.link_unreachable} << 48 | uint64_t{info.mount_point} << 56,
      info.volume_serial,
      info.file_id[0],
      info.file_id[1],
      info.size,
      static_cast<uint64_t>(info.change_time),
      static_cast<uint64_t>(info.last_write_time)};
  chunk_hasher_update(w->hasher, words, sizeof words);
}

// Records the folder at `path` as it is now; `listed` is its record in its
// parent's listing (null for the top). Returns 0 with *out_gone set when it is
// no longer there.
int snapshot_folder(TreeWalk* w, const char* path, const FileInfo* listed, bool* out_gone) {
  *out_gone = false;
  FileInfo info{};
  const int rc = query_path_info(path, &info);
  if (listed && (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND)) {
    *out_gone = w->snapshot->moved = true;
    return 0;
  }
  if (rc) return err_set(w->pool, w->out_err, rc, "Unable to read folder \"%s\"", path);
  // Another folder put under the listed name since: what the walk read is
  // not what the parent's listing stands for.
  if (listed && info.file_id[0] && listed->file_id[0] && info.file_id[0] != listed->file_id[0]) {
    w->snapshot->moved = true;
  }
  snapshot_text(w, path);
  snapshot_record(w, info);
  return 0;
}

int walk_tree(TreeWalk* w, const char* folder, const FileInfo* listed) {
  ScratchPool local;
  Entry* first = nullptr;
  int rc = read_folder(&local, nullptr, folder, &first);
  // A folder deleted or moved since its parent was read: what it held is
  // gone, or found where it went by a later walk.
  if (listed && (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND)) {
    if (w->snapshot) w->snapshot->moved = true;
    return 0;
  }
  if (rc) return err_set(w->pool, w->out_err, rc, "Unable to read folder \"%s\"", folder);
  if (w->hasher) {
    bool gone = false;
    rc = snapshot_folder(w, folder, listed, &gone);
    if (rc || gone) return rc;
    for (const Entry* entry = first; entry; entry = entry->next) {
      if (entry->info.folder && name_is(entry, STORE_META_FOLDER)) continue;
      snapshot_text(w, entry->path + entry->name_offset);
      snapshot_record(w, entry->info);
    }
  }
  for (Entry* entry = first; entry; entry = entry->next) {
    const FileInfo& info = entry->info;
    if (info.link_unreachable) {
      // The store's own names keep their rule: not followed, not visited.
      if (is_temp_name(entry) || name_is(entry, STORE_META_FOLDER)) continue;
      StoreFile link{entry->path, entry->name_offset, &info, STORE_FILE_DEAD_LINK, {}};
      rc = w->visit(w->context, &link);
      if (rc) return rc;
      continue;
    }
    if (info.folder) {
      if (name_is(entry, STORE_META_FOLDER)) continue;
      if (is_link(info)) {
        StoreFile link{entry->path, entry->name_offset, &info, STORE_FILE_FOLDER_LINK, {}};
        rc = w->visit(w->context, &link);
        if (rc) return rc;
        continue;
      }
      bool nested = false;
      rc = nested_store(w->pool, w->out_err, entry->path, &nested);
      if (rc) return rc;
      if (nested) {
        // Whether it still is one shows in its record after the check.
        if (w->hasher) {
          bool gone = false;
          chunk_hasher_update(w->hasher, STORE_META_FOLDER, sizeof STORE_META_FOLDER);
          rc = snapshot_folder(w, entry->path, &info, &gone);
          if (rc) return rc;
        }
        continue;
      }
      rc = walk_tree(w, entry->path, &info);
      if (rc) return rc;
      continue;
    }
    StoreFile file{entry->path, entry->name_offset, &info, STORE_FILE_PLAIN, {}};
    if (is_temp_name(entry)) file.kind = STORE_FILE_TEMP;
    rc = w->visit(w->context, &file);
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
                    const char* folder, uint32_t level, StoreVisit visit, void* context);

// Visits one entry of a dictionary folder at `level`, a whole subtree for a
// folder above the leaves.
int walk_dictionary_entry(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                          const Entry* entry, uint32_t level, StoreVisit visit, void* context) {
  const bool leaf = level == store->folder_levels;
  if (entry->info.folder && !leaf && !is_link(entry->info)) {
    return walk_dictionary(pool, out_err, store, entry->path, level + 1, visit, context);
  }
  if (entry->info.link_unreachable) return 0;
  StoreFile file{entry->path, entry->name_offset, &entry->info, STORE_FILE_OTHER, {}};
  file.kind = classify(store, entry, leaf, &file);
  return visit(context, &file);
}

// The entries of the dictionary's top folder, `_info` left out, in `pool`.
int read_dictionary_top(ScratchPool* pool, const StoreInfo* store, Entry** out_first) {
  const int rc = read_folder(pool, nullptr, store->path, out_first);
  if (rc) return rc;
  for (Entry** at = out_first; *at;) {
    if (name_is(*at, STORE_INFO_FILE)) {
      *at = (*at)->next;
    } else {
      at = &(*at)->next;
    }
  }
  return 0;
}

int walk_dictionary(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                    const char* folder, uint32_t level, StoreVisit visit, void* context) {
  ScratchPool local;
  Entry* first = nullptr;
  int rc = level == 0 ? read_dictionary_top(&local, store, &first)
                      : read_folder(&local, nullptr, folder, &first);
  if (rc) return err_set(pool, out_err, rc, "Unable to read folder \"%s\"", folder);
  for (Entry* entry = first; entry; entry = entry->next) {
    rc = walk_dictionary_entry(pool, out_err, store, entry, level, visit, context);
    if (rc) return rc;
  }
  return 0;
}

constexpr uint64_t NO_UNIT = UINT64_MAX;

// A dictionary walk on several lanes. Its units are the entries of the top
// folder, handed out in name order; a lane walks the whole of one unit before
// it takes the next.
struct LaneWalk {
  const StoreInfo* store;
  StoreLaneVisit visit;
  void* context;
  Lock lock;                // guards next, handed and the changes of failed
  Entry* next;              // the first unit not handed out yet
  uint64_t handed;          // units handed out
  // The earliest unit that failed: units after it stop at their next file,
  // those before it run to their end, as they would have one after another.
  std::atomic<uint64_t> failed{NO_UNIT};
  std::atomic<uint32_t> in_flight{0};  // lanes on pool threads; each lowers it last
  Semaphore done;                      // posted by each lane on a pool thread
};

struct Lane {
  LaneWalk* walk = nullptr;
  uint32_t index = 0;
  uint64_t unit = NO_UNIT;         // the unit it walks
  bool stopped = false;            // quit its unit for an earlier failure
  uint64_t failed_unit = NO_UNIT;  // the unit where it failed
  int failed_rc = 0;
  const char* failed_text = nullptr;  // in pool
  ScratchPool pool;
};

int lane_visit(void* context, const StoreFile* file) {
  auto* lane = static_cast<Lane*>(context);
  LaneWalk* w = lane->walk;
  if (lane->unit > w->failed.load(std::memory_order_relaxed)) {
    lane->stopped = true;
    return ERR_CANCELLED;
  }
  return w->visit(w->context, lane->index, file, &lane->pool, &lane->failed_text);
}

void lane_run(Lane* lane) {
  LaneWalk* w = lane->walk;
  for (;;) {
    lock_acquire(&w->lock);
    Entry* unit = w->failed.load(std::memory_order_relaxed) == NO_UNIT ? w->next : nullptr;
    if (unit) {
      w->next = unit->next;
      lane->unit = w->handed++;
    }
    lock_release(&w->lock);
    if (!unit) return;
    const int rc = walk_dictionary_entry(&lane->pool, &lane->failed_text, w->store, unit, 0,
                                         lane_visit, lane);
    if (rc == 0) continue;
    if (!lane->stopped) {
      lane->failed_unit = lane->unit;
      lane->failed_rc = rc;
      lock_acquire(&w->lock);
      if (lane->unit < w->failed.load(std::memory_order_relaxed)) w->failed.store(lane->unit);
      lock_release(&w->lock);
    }
    return;
  }
}

void lane_work(void* argument) {
  auto* lane = static_cast<Lane*>(argument);
  LaneWalk* w = lane->walk;
  lane_run(lane);
  semaphore_post(&w->done);
  w->in_flight.fetch_sub(1);  // the last touch of the walk
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
  TreeWalk w{pool, out_err, visit, context, nullptr, nullptr};
  return walk_tree(&w, folder, nullptr);
}

int store_walk_tree_snapshot(ScratchPool* pool, const char** out_err, const char* folder,
                             StoreVisit visit, void* context, StoreTreeSnapshot* out_snapshot) {
  if (out_err) *out_err = nullptr;
  *out_snapshot = StoreTreeSnapshot{};
  TreeWalk w{pool, out_err, visit, context, nullptr, out_snapshot};
  int rc = chunk_hasher_new(&w.hasher);
  if (rc) return err_set(pool, out_err, rc, "Out of memory");
  chunk_hasher_init(w.hasher);
  rc = walk_tree(&w, folder, nullptr);
  chunk_hasher_final(w.hasher, out_snapshot->digest, sizeof out_snapshot->digest);
  chunk_hasher_destroy(w.hasher);
  return rc;
}

int store_walk_dictionary(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                          StoreVisit visit, void* context) {
  if (out_err) *out_err = nullptr;
  return walk_dictionary(pool, out_err, store, store->path, 0, visit, context);
}

int store_walk_dictionary_lanes(ScratchPool* pool, const char** out_err, const StoreInfo* store,
                                uint32_t lanes, StoreLaneVisit visit, void* context) {
  if (out_err) *out_err = nullptr;
  ScratchPool local;
  LaneWalk w{};
  w.store = store;
  w.visit = visit;
  w.context = context;
  const int rc = read_dictionary_top(&local, store, &w.next);
  if (rc) return err_set(pool, out_err, rc, "Unable to read folder \"%s\"", store->path);
  uint64_t units = 0;
  for (const Entry* e = w.next; e; e = e->next) units++;
  if (lanes > STORE_WALK_MAX_LANES) lanes = STORE_WALK_MAX_LANES;
  if (lanes > units) lanes = static_cast<uint32_t>(units);
  if (lanes < 1) lanes = 1;
  Lane all[STORE_WALK_MAX_LANES];
  uint32_t started = 0;
  for (uint32_t i = 0; i < lanes; i++) {
    all[i].walk = &w;
    all[i].index = i;
  }
  // Lane 0 is this thread; a lane that gets no pool thread does not run, and
  // the others share its units.
  for (uint32_t i = 1; i < lanes; i++) {
    w.in_flight.fetch_add(1);
    if (!work_item_run(lane_work, &all[i])) {
      w.in_flight.fetch_sub(1);
      break;
    }
    started++;
  }
  lane_run(&all[0]);
  for (uint32_t i = 0; i < started; i++) (void)semaphore_wait(&w.done, nullptr, -1);
  for (uint32_t rounds = 0; w.in_flight.load() != 0;) spin_pause(&rounds);
  const Lane* first = nullptr;
  for (uint32_t i = 0; i < lanes; i++) {
    if (all[i].failed_unit != NO_UNIT && (!first || all[i].failed_unit < first->failed_unit)) {
      first = &all[i];
    }
  }
  if (!first) return 0;
  return err_set(pool, out_err, first->failed_rc, "%s", text_or_empty(first->failed_text));
}
