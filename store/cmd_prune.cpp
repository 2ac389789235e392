// The prune command: gives back the space of chunks that no chunk map of the
// store lists any more, and of temporary files that interrupted copies left.
// It marks first (every chunk map of the store's tree is read and checked;
// anything doubtful stops it before a single deletion), then sweeps the
// dictionary. It holds the store lock alone, so no copy into the store runs
// meanwhile; a prune killed at any moment has deleted only unlisted files.
// Maps that people move or delete meanwhile are not under the lock: marking
// reads what one walk of the tree listed, once the walk's time stamps have
// settled, and walks again until a walk finds the tree as the one before it
// (doc/architecture.md, "Publication and crash safety", tells why that is a
// consistent picture).
#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/runtime.h"
#include "base/signal.h"
#include "base/text.h"
#include "frame/command.h"
#include "frame/console_msg.h"
#include "frame/switches.h"
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

// A file a walk listed that no earlier read knows: read once the walk is over.
struct ReadNode {
  ReadNode* next;
  const char* path;
  bool temp;  // named like a temporary file
  bool has_identity;
  uint8_t identity[MARK_SET_HASH_SIZE];
};

// What one lane of the sweep counted; a cache line each, as lanes count at once.
struct alignas(64) SweepCounts {
  uint64_t kept;
  uint64_t removed;
  uint64_t removed_bytes;
  uint64_t temps;
  uint64_t damaged;
};

struct Prune {
  ScratchPool pool;
  const StoreInfo* store = nullptr;
  bool dry_run = false;
  Signal* cancel = nullptr;
  const char* text = nullptr;  // the failure's text, in pool
  MarkSet marks{};
  ScratchPool walk_pool;           // the lists of the latest walk
  PathNode* tree_temps = nullptr;  // temporary files it listed, removed after the sweep
  ReadNode* to_read = nullptr;     // files it listed to read, in walk order
  ReadNode** read_tail = &to_read;
  bool read_missed = false;  // a file listed was gone when read
  MarkSet known{};           // identities of the files read so far, maps or not; sorted
  uint64_t maps = 0;
  uint64_t kept = 0;
  uint64_t removed = 0;
  uint64_t removed_bytes = 0;
  uint64_t temps = 0;
  uint64_t damaged = 0;
  ChunkHasher* hasher = nullptr;
  SweepCounts lanes[STORE_WALK_MAX_LANES] = {};
};

// Walks before a tree that keeps changing stops the prune; a quiet tree
// takes two.
constexpr int PRUNE_WALKS = 8;
// How long a time stamp a walk took needs before any later change is sure to
// stamp another value: more than the tick of the clock that stamps changes
// (a few ms on Linux, 15.6 ms on Windows), and more than the 1 or 2 s of file
// systems that keep whole seconds.
constexpr int32_t PRUNE_SETTLE_MS = 50;
constexpr int32_t PRUNE_SETTLE_SECONDS_MS = 2100;
// Dictionary folders swept at once: one per processor, at least two.
// Deleting is nearly all the file system's work in the kernel, on one
// folder's lock at a time, so lanes on other folders use the other
// processors, and one waiting for the journal or the disk leaves the
// processor to another. More lanes than processors only queue up on the
// journal (ext4, two processors: 8 lanes were no faster than 2).
uint32_t prune_lanes() {
  const uint32_t processors = processor_count();
  return processors < 2 ? 2 : processors;
}

// What tells one file from every other and from itself once changed: its
// volume, file id, change time and size, wherever it is moved (a rename moves
// the change time too). Without a file id or a change time that does not
// hold, and such a file has none: it is read again after every walk.
bool file_identity(Prune* p, const StoreFile* file, uint8_t* out) {
  const FileInfo* info = file->info;
  if ((info->file_id[0] == 0 && info->file_id[1] == 0) || info->change_time == 0) return false;
  chunk_hasher_init(p->hasher);
  chunk_hasher_update(p->hasher, &info->volume_serial, sizeof info->volume_serial);
  chunk_hasher_update(p->hasher, info->volume_identity, sizeof info->volume_identity);
  chunk_hasher_update(p->hasher, info->file_id, sizeof info->file_id);
  chunk_hasher_update(p->hasher, &info->change_time, sizeof info->change_time);
  chunk_hasher_update(p->hasher, &info->last_write_time, sizeof info->last_write_time);
  chunk_hasher_update(p->hasher, &info->size, sizeof info->size);
  chunk_hasher_final(p->hasher, out, MARK_SET_HASH_SIZE);
  return true;
}

int check_cancel(Prune* p) {
  if (!signal_is_set(p->cancel)) return 0;
  return err_set(&p->pool, &p->text, ERR_CANCELLED, "cancelled");
}

int out_of_memory(Prune* p) {
  return err_set(&p->pool, &p->text, ERR_OUTOFMEMORY, "Out of memory");
}

// Visits a file of a walk: notes what the walk lists, reads nothing.
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
  // Its target may be a map (or a folder of maps) on a volume that is not
  // mounted now, or one this user may not see.
  if (file->kind == STORE_FILE_DEAD_LINK) {
    return err_set(&p->pool, &p->text, ERR_ACCESS_DENIED,
                   "Link in the store's folders whose target cannot be reached \"%s\": a chunk "
                   "map behind it would not count, so nothing was deleted",
                   file->path);
  }
  if (file->kind == STORE_FILE_TEMP) {
    auto* node = static_cast<PathNode*>(allocate(&p->walk_pool, sizeof(PathNode)));
    const char* path = pool_copy_text(&p->walk_pool, file->path);
    if (!node || !path) return out_of_memory(p);
    *node = PathNode{p->tree_temps, path};
    p->tree_temps = node;
  }
  // A temporary file is read too: whatever its name, a whole map there may
  // still be renamed into place.
  ReadNode entry{};
  entry.temp = file->kind == STORE_FILE_TEMP;
  entry.has_identity = file_identity(p, file, entry.identity);
  if (entry.has_identity && mark_set_contains(&p->known, entry.identity)) return 0;
  auto* node = static_cast<ReadNode*>(allocate(&p->walk_pool, sizeof(ReadNode)));
  entry.path = pool_copy_text(&p->walk_pool, file->path);
  if (!node || !entry.path) return out_of_memory(p);
  *node = entry;
  *p->read_tail = node;
  p->read_tail = &node->next;
  return 0;
}

// Reads one listed file; a chunk map's chunks are marked.
int read_listed(Prune* p, const ReadNode* node) {
  ChunkMap* map = nullptr;
  bool is_map = false;
  int rc = chunk_map_recognize(&is_map, &map, nullptr, &p->pool, &p->text, node->path);
  if (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND) {
    // Deleted or moved since its folder was listed: the tree is changing.
    p->text = nullptr;
    p->read_missed = true;
    return 0;
  }
  // A temporary file that is no whole map is a write cut short: removed
  // after the sweep, never a reason to stop.
  if (node->temp && rc == ERR_UNKNOWN_REVISION) {
    p->text = nullptr;
    rc = 0;
  }
  if (rc) return rc;
  if (is_map && map->chunk_size != p->store->chunk_size) {
    chunk_map_release(map);
    return err_set(&p->pool, &p->text, ERR_INVALID_PARAMETER,
                   "Mismatched chunk map and store chunk size \"%s\"", node->path);
  }
  for (uint64_t i = 0; is_map && i < map->chunk_count && rc == 0; i++) {
    rc = mark_set_add(&p->marks, map->image + CHUNK_MAP_HEADER_SIZE + CHUNK_MAP_SLOT_SIZE * i);
  }
  chunk_map_release(map);
  if (rc == 0 && node->has_identity) rc = mark_set_add(&p->known, node->identity);
  if (rc) return err_set(&p->pool, &p->text, rc, "Out of memory for the chunk list");
  if (is_map) p->maps++;
  return 0;
}

// Marks every chunk that a map of the tree lists, from a consistent picture
// of the tree: each walk lists the tree (and records a snapshot of it); once
// its time stamps have settled, the files it listed that no earlier read knows
// are read; then the tree is walked again. When that walk finds the tree as
// the one before it, nothing in it changed while those files were read, so
// every map in the tree then was read. Marks of every walk count.
int mark_tree(Prune* p, const char* folder) {
  int rc = chunk_hasher_new(&p->hasher);
  if (rc) return err_set(&p->pool, &p->text, rc, "Out of memory");
  StoreTreeSnapshot last{};
  bool last_settled = false;
  for (int walk = 1;; walk++) {
    release_all(&p->walk_pool);
    p->tree_temps = nullptr;
    p->to_read = nullptr;
    p->read_tail = &p->to_read;
    StoreTreeSnapshot now{};
    rc = store_walk_tree_snapshot(&p->pool, &p->text, folder, mark_file, p, &now);
    if (rc) break;
    if (last_settled && !now.moved &&
        std::memcmp(last.digest, now.digest, sizeof now.digest) == 0) {
      break;
    }
    if (walk == PRUNE_WALKS) {
      rc = err_set(&p->pool, &p->text, ERR_BUSY,
                   "Chunk maps kept moving while the store's folders were read \"%s\"", folder);
      break;
    }
    // From now on any change stamps a time this walk did not see, so the next
    // walk shows whether the tree changed while its files are read.
    sleep_ms(now.whole_seconds ? PRUNE_SETTLE_SECONDS_MS : PRUNE_SETTLE_MS);
    p->read_missed = false;
    for (ReadNode* node = p->to_read; node && rc == 0; node = node->next) {
      rc = check_cancel(p);
      if (rc == 0) rc = read_listed(p, node);
    }
    if (rc) break;
    mark_set_finish(&p->known);
    last = now;
    last_settled = !now.moved && !p->read_missed;
  }
  chunk_hasher_destroy(p->hasher);
  p->hasher = nullptr;
  mark_set_free(&p->known);
  return rc;
}

int remove_file(const Prune* p, ScratchPool* pool, const char** out_err, const char* path) {
  if (p->dry_run) return 0;
  // Under the store lock no one else writes a name prune deletes, so the
  // deletion need not open the file first.
  const int rc = delete_name(path);
  if (rc) return err_set(pool, out_err, rc, "Unable to delete file \"%s\"", path);
  return 0;
}

// Visits one dictionary file on a lane of the sweep. Only the lane's own
// counters change; the marks are only read.
int sweep_file(void* context, uint32_t lane, const StoreFile* file, ScratchPool* pool,
               const char** out_err) {
  auto* p = static_cast<Prune*>(context);
  SweepCounts* counts = &p->lanes[lane];
  if (signal_is_set(p->cancel)) return err_set(pool, out_err, ERR_CANCELLED, "cancelled");
  int rc = 0;
  switch (file->kind) {
    case STORE_FILE_CHUNK:
      if (mark_set_contains(&p->marks, file->hash)) {
        counts->kept++;
        return 0;
      }
      rc = remove_file(p, pool, out_err, file->path);
      if (rc == 0) {
        counts->removed++;
        counts->removed_bytes += file->info->size;
      }
      return rc;
    case STORE_FILE_TEMP:
      rc = remove_file(p, pool, out_err, file->path);
      if (rc == 0) counts->temps++;
      return rc;
    case STORE_FILE_DAMAGED:
      counts->damaged++;
      return 0;
    default:
      return 0;
  }
}

int run_prune(Prune* p, const char* folder) {
  int rc = mark_tree(p, folder);
  if (rc) return rc;
  mark_set_finish(&p->marks);
  rc = store_walk_dictionary_lanes(&p->pool, &p->text, p->store, prune_lanes(), sweep_file, p);
  // What every lane did counts, whatever stopped the walk.
  for (const SweepCounts& counts : p->lanes) {
    p->kept += counts.kept;
    p->removed += counts.removed;
    p->removed_bytes += counts.removed_bytes;
    p->temps += counts.temps;
    p->damaged += counts.damaged;
  }
  for (PathNode* node = p->tree_temps; node && rc == 0; node = node->next) {
    rc = remove_file(p, &p->pool, &p->text, node->path);
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

namespace {

// Opens, locks and prunes the store in `folder`; errors are printed.
int prune_folder(Prune* p, const char* folder, uint64_t wait_ms) {
  StoreInfo* store = nullptr;
  const char* err = nullptr;
  int rc = store_open(&store, &p->pool, &err, folder);
  if (rc) {
    console_print("ERROR: Not a store folder \"%s\": %s\n", folder, text_or_empty(err));
    return rc == ERR_UNKNOWN_REVISION || rc == ERR_PATH_NOT_FOUND || rc == ERR_FILE_NOT_FOUND
               ? ERR_NOT_FOUND
               : rc;
  }
  rc = store_check_own_metadata(&p->pool, &err, store);
  if (rc) {
    console_print("ERROR: %s\n", text_or_empty(err));
    store_release(store);
    return rc;
  }
  p->store = store;
  p->cancel = signal_get(SIGNAL_INTERRUPT);
  StoreLock lock{OS_NO_HANDLE};
  rc = store_lock_for_command(&lock, store, STORE_LOCK_EXCLUSIVE, wait_ms);
  if (rc == 0) {
    rc = run_prune(p, folder);
    // Stopped while marking, nothing was deleted: the error alone says it.
    if (rc == 0 || p->removed || p->temps) print_summary(p);
    if (rc) console_print("ERROR: %s\n", text_or_empty(p->text));
  }
  store_lock_release(&lock);
  mark_set_free(&p->marks);
  store_release(store);
  return rc;
}

}  // namespace

int prune_command(int argc, char** argv) {
  const uint64_t start = tick_ms();
  Prune p;
  // Prune deletes: "--dry-run" or a second folder is a mistake to stop at,
  // before the store is opened, not a name to ignore. It draws no progress
  // line; -q is taken as copy and verify take it.
  Switch switches[] = {{'b', 0}, {'n', 0}, {'q', 0}, {'t', SWITCH_VALUE}};
  SwitchLine line = switch_line(switches, 1, SWITCHES_STRICT);
  int rc = switches_read(&p.pool, &line, argc, argv);
  if (rc) return rc;
  uint64_t wait_ms = 0;
  rc = store_lock_wait_of_switches(&line, &wait_ms);
  if (rc) return rc;
  p.dry_run = switch_given(&line, 'n');
  const char* name = line.operands[0];
  if (text_is_empty(name)) {
    console_print("ERROR: Must specify the store folder.\n");
    return ERR_INVALID_PARAMETER;
  }
  const char* folder = path_full(&p.pool, nullptr, name);
  if (!folder) {
    console_print("ERROR: Invalid store folder \"%s\"\n", name);
    return ERR_INVALID_PARAMETER;
  }
  rc = prune_folder(&p, folder, wait_ms);
  // For scripts, whatever the outcome once the command line is accepted;
  // with -n the removals are those it would make.
  const uint64_t ms = tick_ms() - start;
  console_print(
      "summary: prune exit=%d maps=%I64u kept=%I64u removed=%I64u removed_bytes=%I64u "
      "temps=%I64u damaged=%I64u dry_run=%d seconds=%I64u.%03u\n",
      exit_code_for_error(rc), p.maps, p.kept, p.removed, p.removed_bytes, p.temps, p.damaged,
      p.dry_run ? 1 : 0, ms / 1000, ms % 1000);
  return rc;
}
