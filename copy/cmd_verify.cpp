// The verify command: checks that a store holds what its chunk maps promise.
// The paths name chunk maps, folders of a store's tree or store folders; the
// maps are grouped by store and each store's distinct chunks are checked at
// copy speed (verify.h). Every problem gets a line naming the chunk file and
// the maps that list it; with -r a damaged chunk file is moved aside, so that
// copying the original data in again writes the chunk anew. Nothing is deleted.
// A summary line for scripts ends every run whose command line was accepted.
#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/runtime.h"
#include "base/signal.h"
#include "base/text.h"
#include "copy/commands.h"
#include "copy/progress.h"
#include "copy/verify.h"
#include "frame/command.h"
#include "frame/console_msg.h"
#include "frame/switches.h"
#include "store/chunk_file.h"
#include "store/chunk_map.h"
#include "store/store_lock.h"
#include "store/store_walk.h"

namespace {

// Maps listed on a problem's line; the rest are counted.
constexpr int VERIFY_MAPS_SHOWN = 3;

struct MapNode {
  MapNode* next;
  const char* path;
  bool needed;  // lists a missing or damaged chunk
};

// One store and what to check in it.
struct StoreRun {
  StoreRun* next;
  StoreInfo* store;
  StoreLock lock;
  MapNode* maps;
  MapNode** maps_tail;
  bool whole;  // -a on the store folder: every file of the dictionary too
  uint64_t dead_links;  // links in its tree whose target cannot be reached
};

// A chunk with a problem and the maps that list it.
struct Problem {
  size_t index;
  MapNode** lists;  // the maps that list it, up to list_count
  size_t list_count;
  size_t list_capacity;
};

struct Verify {
  ScratchPool pool;
  bool all = false;
  bool repair = false;
  uint64_t damaged_maps = 0;  // maps that begin as maps and do not validate
  uint64_t wait_ms = 0;       // for each store's lock
  bool quiet = false;         // no progress line
  StoreRun* runs = nullptr;
  uint64_t problems = 0;
  // For the summary line, over the stores checked.
  uint64_t stores = 0;
  uint64_t maps = 0;
  uint64_t chunks = 0;
  uint64_t chunk_bytes = 0;  // chunks times their store's chunk size
  uint64_t moved = 0;        // damaged chunk files moved aside
};

// The run of `store` (a reference the run takes over), made and locked on
// first use. Returns 0 or an error already printed.
int run_for(Verify* v, StoreInfo* store, StoreRun** out_run) {
  for (StoreRun* r = v->runs; r; r = r->next) {
    if (std::strcmp(r->store->path, store->path) == 0) {
      store_release(store);
      *out_run = r;
      return 0;
    }
  }
  auto* r = static_cast<StoreRun*>(allocate(&v->pool, sizeof(StoreRun)));
  if (!r) {
    store_release(store);
    console_print("ERROR: Out of memory\n");
    return ERR_OUTOFMEMORY;
  }
  *r = StoreRun{nullptr, store, {OS_NO_HANDLE}, nullptr, nullptr, false, 0};
  r->maps_tail = &r->maps;
  StoreRun** tail = &v->runs;
  while (*tail) tail = &(*tail)->next;
  *tail = r;
  *out_run = r;
  const char* err = nullptr;
  const int own = v->repair ? store_check_own_metadata(&v->pool, &err, store) : 0;
  if (own) {
    console_print("ERROR: %s\n", text_or_empty(err));
    return own;
  }
  // Shared with copies into the store, taken before any map is read: a
  // prune must not delete maps or chunks while they are checked.
  return store_lock_for_command(&r->lock, store, STORE_LOCK_READER, v->wait_ms);
}

int add_map(Verify* v, StoreRun* r, const char* path) {
  auto* node = static_cast<MapNode*>(allocate(&v->pool, sizeof(MapNode)));
  const char* copy = pool_copy_text(&v->pool, path);
  if (!node || !copy) return ERR_OUTOFMEMORY;
  *node = MapNode{nullptr, copy, false};
  *r->maps_tail = node;
  r->maps_tail = &node->next;
  return 0;
}

struct WalkContext {
  Verify* v;
  StoreRun* run;
};

int collect_file(void* context, const StoreFile* file) {
  auto* w = static_cast<WalkContext*>(context);
  if (file->kind == STORE_FILE_DEAD_LINK) {
    // It may stand for chunk maps that are out of reach now: not checked.
    console_print("link whose target cannot be reached \"%s\"\n", file->path);
    w->run->dead_links++;
    return 0;
  }
  if (file->kind != STORE_FILE_PLAIN) return 0;
  return add_map(w->v, w->run, file->path);
}

// Resolves one path argument into a store run and its maps.
int add_path(Verify* v, const char* arg) {
  ScratchPool local;
  const char* path = path_full(&v->pool, nullptr, arg);
  if (!path) {
    console_print("ERROR: Invalid path \"%s\"\n", arg);
    return ERR_INVALID_PARAMETER;
  }
  bool is_folder = false;
  int rc = query_path_kind(path, &is_folder);
  if (rc) {
    console_print("ERROR: Unable to open \"%s\"\n", path);
    return rc;
  }
  StoreInfo* store = nullptr;
  const char* err = nullptr;
  rc = store_locate(&store, &local, &err, path);
  if (rc) {
    console_print("ERROR: %s\n", text_or_empty(err));
    return rc;
  }
  // The store folder itself is the parent of the metadata folder.
  const char* store_folder = path_full(&local, store->path, "..");
  StoreRun* r = nullptr;
  rc = run_for(v, store, &r);
  if (rc) return rc;
  if (!store_folder) return ERR_OUTOFMEMORY;
  if (!is_folder) {
    ChunkMap* map = nullptr;
    bool is_map = false;
    rc = chunk_map_recognize(&is_map, &map, nullptr, &local, &err, path);
    if (rc == 0 && !map) {
      rc = ERR_UNKNOWN_REVISION;
      err = pool_format(&local, "Not a chunk map \"%s\"", path);
    }
    chunk_map_release(map);
    if (rc) {
      console_print("ERROR: %s\n", text_or_empty(err));
      return rc;
    }
    return add_map(v, r, path);
  }
  if (v->all && std::strcmp(store_folder, path) == 0) r->whole = true;
  WalkContext w{v, r};
  rc = store_walk_tree(&local, &err, path, collect_file, &w);
  if (rc) console_print("ERROR: %s\n", text_or_empty(err));
  return rc;
}

const char* reason_text(uint8_t status) {
  switch (status) {
    case VERIFY_BAD_SIZE:
      return " (a size no chunk can have)";
    case VERIFY_NO_INFLATE:
      return " (does not inflate)";
    case VERIFY_MISMATCH:
      return " (content does not match its name)";
    case VERIFY_UNREADABLE:
      return " (cannot be read)";
    default:
      return "";
  }
}

const char* plural(uint64_t n) { return n == 1 ? "" : "s"; }

// Finds the maps that list each problem chunk by reading the maps again:
// only a store with problems pays for it, and the check itself keeps no
// more than the distinct hashes.
int find_listing_maps(ScratchPool* pool, StoreRun* r, const MarkSet* chunks, Problem* problems,
                      size_t problem_count) {
  MarkSet wanted{};
  for (size_t i = 0; i < problem_count; i++) {
    if (mark_set_add(&wanted, mark_set_at(chunks, problems[i].index)) != 0) {
      mark_set_free(&wanted);
      return ERR_OUTOFMEMORY;
    }
  }
  mark_set_finish(&wanted);
  int rc = 0;
  for (MapNode* m = r->maps; m && rc == 0; m = m->next) {
    ScratchPool local;
    ChunkMap* map = nullptr;
    bool is_map = false;
    if (chunk_map_recognize(&is_map, &map, nullptr, &local, nullptr, m->path) != 0 || !map) {
      continue;
    }
    for (uint64_t s = 0; s < map->chunk_count && rc == 0; s++) {
      const uint8_t* hash = map->image + CHUNK_MAP_HEADER_SIZE + CHUNK_MAP_SLOT_SIZE * s;
      if (!mark_set_contains(&wanted, hash)) continue;
      // The problems are in hash order, as the chunks are.
      size_t lo = 0;
      size_t hi = problem_count;
      while (lo < hi) {
        const size_t mid = (lo + hi) / 2;
        if (std::memcmp(mark_set_at(chunks, problems[mid].index), hash, MARK_SET_HASH_SIZE) < 0) {
          lo = mid + 1;
        } else {
          hi = mid;
        }
      }
      Problem& p = problems[lo];
      if (p.list_count && p.lists[p.list_count - 1] == m) continue;
      if (p.list_count == p.list_capacity) {
        const size_t capacity = p.list_capacity ? 2 * p.list_capacity : 4;
        auto* lists = static_cast<MapNode**>(allocate(pool, capacity * sizeof(MapNode*)));
        if (!lists) {
          rc = ERR_OUTOFMEMORY;
          break;
        }
        if (p.list_count) std::memcpy(lists, p.lists, p.list_count * sizeof(MapNode*));
        p.lists = lists;
        p.list_capacity = capacity;
      }
      p.lists[p.list_count++] = m;
    }
    chunk_map_release(map);
  }
  mark_set_free(&wanted);
  return rc;
}

struct DictionaryCount {
  Verify* v;
  const StoreInfo* store;
  MarkSet* chunks;
  uint64_t temps;
  uint64_t aside;
};

// A folder where chunk files belong. One under a chunk's own name stands
// where that chunk's file should: it is checked as the chunk (and found
// damaged, so -r moves it aside). One moved aside from there is counted with
// the files kept aside. Any other is stray.
int collect_folder(DictionaryCount* d, const StoreFile* file) {
  const char* name = file->path + file->name_offset;
  const size_t length = text_len(name);
  uint8_t hash[CHUNK_FILE_HASH_SIZE];
  if (length >= CHUNK_FILE_NAME_LENGTH &&
      store_parse_chunk_name(name, CHUNK_FILE_NAME_LENGTH, hash)) {
    char own[CHUNK_FILE_PATH_SIZE];
    if (length == CHUNK_FILE_NAME_LENGTH &&
        chunk_file_path(d->store, hash, own, sizeof own, nullptr) != 0 &&
        std::strcmp(own, file->path) == 0) {
      return mark_set_add(d->chunks, hash);
    }
    if (std::strncmp(name + CHUNK_FILE_NAME_LENGTH, STORE_DAMAGED_SUFFIX,
                     sizeof STORE_DAMAGED_SUFFIX - 1) == 0) {
      d->aside++;
      return 0;
    }
  }
  console_print("stray folder \"%s\"\n", file->path);
  d->v->problems++;
  return 0;
}

int collect_dictionary(void* context, const StoreFile* file) {
  auto* d = static_cast<DictionaryCount*>(context);
  switch (file->kind) {
    case STORE_FILE_CHUNK:
      return mark_set_add(d->chunks, file->hash);
    case STORE_FILE_TEMP:
      d->temps++;
      return 0;
    case STORE_FILE_DAMAGED:
      d->aside++;
      return 0;
    default:
      if (file->info->folder) return collect_folder(d, file);
      console_print("not a chunk file \"%s\"\n", file->path);
      d->v->problems++;
      return 0;
  }
}

// Checks one store. Returns 0 or an error that stopped the check.
int verify_store(Verify* v, StoreRun* r) {
  ScratchPool pool;
  MarkSet chunks{};
  uint64_t maps = 0;
  const uint64_t earlier_problems = v->problems;
  v->problems += r->dead_links;
  int rc = 0;
  const StoreInfo* store = r->store;
  for (MapNode* m = r->maps; m && rc == 0; m = m->next) {
    ScratchPool local;
    ChunkMap* map = nullptr;
    const char* err = nullptr;
    bool is_map = false;
    rc = chunk_map_recognize(&is_map, &map, nullptr, &local, &err, m->path);
    if (rc == ERR_FILE_NOT_FOUND || rc == ERR_PATH_NOT_FOUND) {
      // Deleted since it was found: nothing left to check.
      rc = 0;
      continue;
    }
    if (rc == 0 && map && map->chunk_size != store->chunk_size) {
      rc = ERR_INVALID_PARAMETER;
      err = pool_format(&local, "Mismatched chunk map and store chunk size \"%s\"", m->path);
    }
    if (rc) {
      // A map that cannot be read is a problem of the store, not the end of the check.
      console_print("bad chunk map: %s\n", text_or_empty(err));
      v->problems++;
      if (rc == ERR_UNKNOWN_REVISION) v->damaged_maps++;
      m->needed = true;
      rc = 0;
    } else if (map) {
      maps++;
      for (uint64_t s = 0; s < map->chunk_count && rc == 0; s++) {
        rc = mark_set_add(&chunks, map->image + CHUNK_MAP_HEADER_SIZE + CHUNK_MAP_SLOT_SIZE * s);
      }
    }
    chunk_map_release(map);
  }
  DictionaryCount d{v, store, &chunks, 0, 0};
  const char* err = nullptr;
  if (rc == 0 && r->whole) rc = store_walk_dictionary(&pool, &err, store, collect_dictionary, &d);
  if (rc) {
    mark_set_free(&chunks);
    console_print("ERROR: %s\n", err ? err : "Out of memory for the chunk list");
    return rc;
  }
  mark_set_finish(&chunks);

  auto* status = static_cast<uint8_t*>(allocate(&pool, chunks.count + 1));
  if (!status) rc = ERR_OUTOFMEMORY;
  ProgressLine line{};
  if (rc == 0) {
    rc = verify_chunks(&pool, &err, store, &chunks, status, signal_get(SIGNAL_INTERRUPT),
                       v->quiet ? nullptr : progress_update, &line);
  }
  if (line.last_length) console_print("\n");
  if (rc) {
    mark_set_free(&chunks);
    console_print("ERROR: %s\n", err ? err : "Out of memory for the chunk list");
    return rc;
  }

  size_t problem_count = 0;
  for (size_t i = 0; i < chunks.count; i++) problem_count += status[i] != VERIFY_OK;
  auto* problems = static_cast<Problem*>(allocate(&pool, (problem_count + 1) * sizeof(Problem)));
  if (!problems) rc = ERR_OUTOFMEMORY;
  size_t n = 0;
  for (size_t i = 0; i < chunks.count && problems; i++) {
    if (status[i] != VERIFY_OK) problems[n++] = Problem{i, nullptr, 0, 0};
  }
  if (rc == 0) rc = find_listing_maps(&pool, r, &chunks, problems, problem_count);
  if (rc) {
    mark_set_free(&chunks);
    console_print("ERROR: Out of memory for the problem list\n");
    return rc;
  }

  // Each chunk is checked again right before its line: a copy may have
  // stored it since, and only a file damaged now is moved aside.
  VerifyCheck check;
  if (verify_check_init(&check, store) != 0) {
    verify_check_destroy(&check);
    mark_set_free(&chunks);
    console_print("ERROR: Out of memory for the check\n");
    return ERR_OUTOFMEMORY;
  }
  bool damaged = false;
  uint64_t found = 0;
  for (size_t i = 0; i < problem_count; i++) {
    const Problem& p = problems[i];
    char chunk_path[CHUNK_FILE_PATH_SIZE];
    if (chunk_file_path(store, mark_set_at(&chunks, p.index), chunk_path, sizeof chunk_path,
                        nullptr) == 0) {
      chunk_path[0] = 0;
    }
    VerifyRecheck again;
    verify_recheck(&check, &pool, mark_set_at(&chunks, p.index), v->repair, &again);
    const uint8_t s = again.status;
    if (s == VERIFY_OK) {
      if (again.aside) {
        console_print("chunk file \"%s\" was stored again while it was moved aside; a good copy "
                      "stays at \"%s\"\n",
                      chunk_path, again.aside);
      }
      continue;
    }
    found++;
    for (size_t m = 0; m < p.list_count; m++) p.lists[m]->needed = true;
    console_print("%s \"%s\"%s", s == VERIFY_MISSING ? "missing chunk file" : "damaged chunk file",
                  chunk_path, reason_text(s));
    if (p.list_count == 0) console_print(", listed in no chunk map");
    for (size_t m = 0; m < p.list_count && m < VERIFY_MAPS_SHOWN; m++) {
      console_print(m == 0 ? ", listed in \"%s\"" : ", \"%s\"", p.lists[m]->path);
    }
    if (p.list_count > VERIFY_MAPS_SHOWN) {
      console_print(" and %I64u more", static_cast<uint64_t>(p.list_count - VERIFY_MAPS_SHOWN));
    }
    console_print("\n");
    if (verify_status_damaged(s)) {
      damaged = true;
      if (again.aside) {
        v->moved++;
        console_print("  moved aside to \"%s\"\n", again.aside);
      } else if (again.move_error) {
        console_print("  ERROR: unable to move it aside (error %d)\n", again.move_error);
      }
    }
  }
  verify_check_destroy(&check);
  v->problems += found;

  const char* store_folder = path_full(&pool, store->path, "..");
  const uint64_t count = chunks.count;
  v->stores++;
  v->maps += maps;
  v->chunks += count;
  v->chunk_bytes += count * store->chunk_size;
  console_print("store \"%s\": %I64u chunk map%s, %I64u chunk%s, %s checked, %I64u problem%s\n",
                text_or_empty(store_folder), maps, plural(maps), count, plural(count),
                text_or_empty(format_size(&pool, count * store->chunk_size)),
                v->problems - earlier_problems, plural(v->problems - earlier_problems));
  if (d.temps) console_print("temporary files: %I64u (prune removes them)\n", d.temps);
  if (d.aside) console_print("damaged chunk files kept aside: %I64u\n", d.aside);
  bool any_needed = false;
  for (MapNode* m = r->maps; m; m = m->next) any_needed |= m->needed;
  if (any_needed) {
    console_print(damaged && !v->repair
                      ? "to repair, run verify -r, then copy the original data of these chunk "
                        "maps into the store again:\n"
                      : "to repair, copy the original data of these chunk maps into the store "
                        "again:\n");
    for (MapNode* m = r->maps; m; m = m->next) {
      if (m->needed) console_print("  %s\n", m->path);
    }
  }
  mark_set_free(&chunks);
  return 0;
}

// Repairs move files: a damaged map anywhere stops them all before any
// file is moved, as it stops a prune.
int refuse_damaged_maps(Verify* v) {
  for (StoreRun* r = v->runs; r; r = r->next) {
    for (MapNode* m = r->maps; m; m = m->next) {
      ScratchPool local;
      const char* err = nullptr;
      bool is_map = false;
      const int rc = chunk_map_recognize(&is_map, nullptr, nullptr, &local, &err, m->path);
      if (rc == ERR_UNKNOWN_REVISION) {
        console_print("ERROR: %s\n", text_or_empty(err));
        return rc;
      }
    }
  }
  return 0;
}

// Checks what the paths name, store by store.
int verify_paths(Verify* v, char** paths, int count) {
  int rc = 0;
  for (int i = 0; i < count && rc == 0; i++) rc = add_path(v, paths[i]);
  if (rc == 0 && v->repair) rc = refuse_damaged_maps(v);
  for (StoreRun* r = v->runs; r && rc == 0; r = r->next) rc = verify_store(v, r);
  for (StoreRun* r = v->runs; r; r = r->next) {
    store_lock_release(&r->lock);
    store_release(r->store);
  }
  if (rc) return rc;
  // A damaged map is the worse news: what it listed cannot be known.
  if (v->damaged_maps) return ERR_UNKNOWN_REVISION;
  return v->problems ? ERR_PROBLEMS_FOUND : 0;
}

}  // namespace

int verify_command(int argc, char** argv) {
  const uint64_t start = tick_ms();
  Verify v;
  // -r moves files: with it, a mistyped switch stops the command before any
  // store is opened.
  Switch switches[] = {
      {'a', 0},
      {'b', 0},
      {'r', SWITCH_STRICT},
      {'q', 0},
      {'t', SWITCH_VALUE | SWITCH_VALUE_REQUIRED},
  };
  SwitchLine line = switch_line(switches, SWITCHES_ANY_OPERANDS, 0);
  int rc = switches_read(&v.pool, &line, argc, argv);
  if (rc) return rc;
  rc = store_lock_wait_of_switches(&line, &v.wait_ms);
  if (rc) return rc;
  v.all = switch_given(&line, 'a');
  v.quiet = switch_given(&line, 'q');
  v.repair = switch_given(&line, 'r');
  if (line.operand_count == 0) {
    console_print("ERROR: Must specify a chunk map, folder or store folder.\n");
    return ERR_INVALID_PARAMETER;
  }
  rc = verify_paths(&v, line.operands, line.operand_count);
  const uint64_t ms = tick_ms() - start;
  console_print(
      "summary: verify exit=%d stores=%I64u maps=%I64u chunks=%I64u bytes=%I64u "
      "problems=%I64u moved=%I64u seconds=%I64u.%03u\n",
      exit_code_for_error(rc), v.stores, v.maps, v.chunks, v.chunk_bytes, v.problems, v.moved,
      ms / 1000, ms % 1000);
  return rc;
}
