// The prune command: gives back the space of chunks that no chunk map of the
// store lists any more, and of temporary files that interrupted copies left.
// It marks first (every chunk map of the store's tree is read and checked;
// anything doubtful stops it before a single deletion), then sweeps the
// dictionary. It holds the store lock alone, so no copy into the store runs
// meanwhile; a prune killed at any moment has deleted only unlisted files.
// Maps that people move or delete meanwhile are not under the lock: the tree
// is walked again until a walk finds no map it had not read, so a map moved
// behind the walk is never missed.
#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/signal.h"
#include "base/text.h"
#include "frame/console_msg.h"
#include "hash/chunk_hash.h"
#include "store/chunk_map.h"
#include "store/commands.h"
#include "store/mark_set.h"
#include "store/store.h"
#include "store/store_lock.h"
#include "store/store_walk.h"

namespace {

struct PathNode {
  PathNode* next;
  const char* path;
};

struct Prune {
  ScratchPool pool;
  const StoreInfo* store = nullptr;
  bool dry_run = false;
  Signal* cancel = nullptr;
  const char* text = nullptr;  // the failure's text, in pool
  MarkSet marks{};
  PathNode* tree_temps = nullptr;  // temporary map files, removed after the sweep
  uint64_t maps = 0;
  uint64_t kept = 0;
  uint64_t removed = 0;
  uint64_t removed_bytes = 0;
  uint64_t temps = 0;
  uint64_t damaged = 0;
  ChunkHasher* hasher = nullptr;
  MarkSet seen{};   // each map read: its name, size and time, hashed; sorted
  MarkSet found{};  // the same, of maps read by the walk under way
  int pass = 0;
};

// Walks before a tree that keeps changing stops the prune.
constexpr int PRUNE_PASSES = 5;

// What tells one listing of a map from another: its path, size and time.
void map_identity(Prune* p, const StoreFile* file, uint8_t* out) {
  chunk_hasher_init(p->hasher);
  chunk_hasher_update(p->hasher, file->path, text_len(file->path) + 1);
  chunk_hasher_update(p->hasher, &file->info->size, sizeof file->info->size);
  chunk_hasher_update(p->hasher, &file->info->last_write_time,
                      sizeof file->info->last_write_time);
  chunk_hasher_final(p->hasher, out, MARK_SET_HASH_SIZE);
}

int check_cancel(Prune* p) {
  if (!signal_is_set(p->cancel)) return 0;
  return err_set(&p->pool, &p->text, ERR_CANCELLED, "cancelled");
}

int mark_file(void* context, const StoreFile* file) {
  auto* p = static_cast<Prune*>(context);
  int rc = check_cancel(p);
  if (rc) return rc;
  // Maps copied in through a folder link may lie behind it; not counting
  // them would delete their chunks.
  if (file->kind == STORE_FILE_FOLDER_LINK) {
    return err_set(&p->pool, &p->text, ERR_ACCESS_DENIED,
                   "Folder link in the store's folders \"%s\": chunk maps behind it would not "
                   "count, so nothing was deleted",
                   file->path);
  }
  if (file->kind == STORE_FILE_TEMP) {
    if (p->pass > 1) return 0;  // no copy runs, so no walk finds new ones
    auto* node = static_cast<PathNode*>(allocate(&p->pool, sizeof(PathNode)));
    const char* path = pool_copy_text(&p->pool, file->path);
    if (!node || !path) return err_set(&p->pool, &p->text, ERR_OUTOFMEMORY, "Out of memory");
    *node = PathNode{p->tree_temps, path};
    p->tree_temps = node;
    return 0;
  }
  uint8_t identity[MARK_SET_HASH_SIZE];
  map_identity(p, file, identity);
  if (mark_set_contains(&p->seen, identity)) return 0;
  ChunkMap* map = nullptr;
  rc = store_read_map(&map, &p->pool, &p->text, file->path);
  if (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND) {
    // Deleted since the folder was read, or moved: a later walk finds it.
    p->text = nullptr;
    return 0;
  }
  if (rc || !map) return rc;
  if (map->chunk_size != p->store->chunk_size) {
    chunk_map_release(map);
    return err_set(&p->pool, &p->text, ERR_INVALID_PARAMETER,
                   "Mismatched chunk map and store chunk size \"%s\"", file->path);
  }
  for (uint64_t i = 0; i < map->chunk_count && rc == 0; i++) {
    rc = mark_set_add(&p->marks, map->image + CHUNK_MAP_HEADER_SIZE + CHUNK_MAP_SLOT_SIZE * i);
  }
  chunk_map_release(map);
  if (rc == 0) rc = mark_set_add(&p->found, identity);
  if (rc) return err_set(&p->pool, &p->text, rc, "Out of memory for the chunk list");
  p->maps++;
  return 0;
}

// Marks every chunk that a map of the tree lists. Maps moved or added while
// a walk runs may lie where it had been already, so the tree is walked again
// until a walk finds no map it had not read (under the same name, size and
// time); a map deleted meanwhile needs nothing kept.
int mark_tree(Prune* p, const char* folder) {
  int rc = chunk_hasher_new(&p->hasher);
  if (rc) return err_set(&p->pool, &p->text, rc, "Out of memory");
  for (p->pass = 1;; p->pass++) {
    rc = store_walk_tree(&p->pool, &p->text, folder, mark_file, p);
    if (rc) break;
    if (p->found.count == 0) break;
    for (size_t i = 0; i < p->found.count && rc == 0; i++) {
      rc = mark_set_add(&p->seen, mark_set_at(&p->found, i));
    }
    mark_set_free(&p->found);
    mark_set_finish(&p->seen);
    if (rc) {
      rc = err_set(&p->pool, &p->text, rc, "Out of memory for the chunk list");
      break;
    }
    if (p->pass == PRUNE_PASSES) {
      rc = err_set(&p->pool, &p->text, ERR_BUSY,
                   "Chunk maps kept moving while the store's folders were read \"%s\"", folder);
      break;
    }
  }
  chunk_hasher_destroy(p->hasher);
  p->hasher = nullptr;
  mark_set_free(&p->found);
  mark_set_free(&p->seen);
  return rc;
}

int remove_file(Prune* p, const char* path) {
  if (p->dry_run) return 0;
  const int rc = delete_file(path);
  if (rc) return err_set(&p->pool, &p->text, rc, "Unable to delete file \"%s\"", path);
  return 0;
}

int sweep_file(void* context, const StoreFile* file) {
  auto* p = static_cast<Prune*>(context);
  int rc = check_cancel(p);
  if (rc) return rc;
  switch (file->kind) {
    case STORE_FILE_CHUNK:
      if (mark_set_contains(&p->marks, file->hash)) {
        p->kept++;
        return 0;
      }
      rc = remove_file(p, file->path);
      if (rc == 0) {
        p->removed++;
        p->removed_bytes += file->info->size;
      }
      return rc;
    case STORE_FILE_TEMP:
      rc = remove_file(p, file->path);
      if (rc == 0) p->temps++;
      return rc;
    case STORE_FILE_DAMAGED:
      p->damaged++;
      return 0;
    default:
      return 0;
  }
}

int run_prune(Prune* p, const char* folder) {
  int rc = mark_tree(p, folder);
  if (rc) return rc;
  mark_set_finish(&p->marks);
  rc = store_walk_dictionary(&p->pool, &p->text, p->store, sweep_file, p);
  for (PathNode* node = p->tree_temps; node && rc == 0; node = node->next) {
    rc = remove_file(p, node->path);
    if (rc == 0) p->temps++;
  }
  return rc;
}

void print_summary(const Prune* p) {
  console_print("chunk maps read: %I64u\n", p->maps);
  console_print("chunk files kept: %I64u\n", p->kept);
  if (p->dry_run) {
    console_print("chunk files to remove: %I64u (%I64u bytes)\n", p->removed, p->removed_bytes);
    console_print("temporary files to remove: %I64u\n", p->temps);
  } else {
    console_print("chunk files removed: %I64u (%I64u bytes freed)\n", p->removed, p->removed_bytes);
    console_print("temporary files removed: %I64u\n", p->temps);
  }
  if (p->damaged) console_print("damaged chunk files kept aside: %I64u\n", p->damaged);
}

}  // namespace

int prune_command(int argc, char** argv) {
  Prune p;
  bool fail_at_once = false;
  const char* name = nullptr;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (!((arg[0] == '-' || arg[0] == '/') && text_len(arg) == 2)) {
      if (!name) {
        name = arg;
      } else {
        warn_unexpected_argument(arg);
      }
      continue;
    }
    switch (char_to_lower_ascii(arg[1])) {
      case 'b':
        fail_at_once = true;
        break;
      case 'n':
        p.dry_run = true;
        break;
      default:
        warn_unknown_switch(arg);
        break;
    }
  }
  if (text_is_empty(name)) {
    console_print("ERROR: Must specify the store folder.\n");
    return ERR_INVALID_PARAMETER;
  }
  const char* folder = path_full(&p.pool, nullptr, name);
  if (!folder) {
    console_print("ERROR: Invalid store folder \"%s\"\n", name);
    return ERR_INVALID_PARAMETER;
  }
  StoreInfo* store = nullptr;
  const char* err = nullptr;
  int rc = store_open(&store, &p.pool, &err, folder);
  if (rc) {
    console_print("ERROR: Not a store folder \"%s\": %s\n", folder, text_or_empty(err));
    return rc == ERR_UNKNOWN_REVISION || rc == ERR_PATH_NOT_FOUND || rc == ERR_FILE_NOT_FOUND
               ? ERR_NOT_FOUND
               : rc;
  }
  p.store = store;
  p.cancel = signal_get(SIGNAL_INTERRUPT);
  StoreLock lock{OS_NO_HANDLE};
  rc = store_lock_for_command(&lock, store, STORE_LOCK_EXCLUSIVE, fail_at_once);
  if (rc == 0) {
    rc = run_prune(&p, folder);
    // Stopped while marking, nothing was deleted: the error alone says it.
    if (rc == 0 || p.removed || p.temps) print_summary(&p);
    if (rc) console_print("ERROR: %s\n", text_or_empty(p.text));
  }
  store_lock_release(&lock);
  mark_set_free(&p.marks);
  store_release(store);
  return rc;
}
