// The copy command: switches, destinations, a line per file, the pipeline with
// its progress line, Ctrl-C, and the summary line a script reads.
#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/runtime.h"
#include "base/signal.h"
#include "base/text.h"
#include "copy/commands.h"
#include "copy/copy_pipeline.h"
#include "copy/destinations.h"
#include "copy/progress.h"
#include "frame/command.h"
#include "frame/console_msg.h"
#include "frame/switches.h"
#include "store/store_guard.h"
#include "store/store_lock.h"

namespace {

// Where `source` (full) goes: the file, or its name in the folder.
const char* destination_of(ScratchPool* pool, const char* source, const char* folder,
                           const char* file) {
  if (!folder) return file;
  size_t name_start = 0;
  (void)path_split(source, nullptr, nullptr, &name_start);
  return path_join(pool, folder, source + name_start);
}

// What the command did, summed over its files.
struct CopyTally {
  uint64_t files;  // copied completely
  CopyCounts sum;
};

void tally_add(CopyTally* t, const CopyCounts& c) {
  t->sum.done += c.done;
  t->sum.sr += c.sr;
  t->sum.dr += c.dr;
  t->sum.dw += c.dw;
  t->sum.chunks += c.chunks;
  t->sum.chunks_new += c.chunks_new;
}

// Copies each source in turn; stops at the first failure. Without a progress
// line when `quiet`.
int copy_sources(ScratchPool* pool, char** sources, int count, uint32_t options, const char* folder,
                 const char* file, const char* parent, bool quiet, CopyTally* tally) {
  const char** full = static_cast<const char**>(allocate(pool, (count + 1) * sizeof(char*)));
  const char** dests = static_cast<const char**>(allocate(pool, (count + 1) * sizeof(char*)));
  DestinationLog written;
  if (!full || !dests || destination_log_init(&written, pool, count) != 0) return ERR_OUTOFMEMORY;
  // Reserved names are refused before anything is made, up to the first
  // invalid source, which the loop reports in turn.
  for (int i = 0; i < count; i++) {
    full[i] = path_full(pool, nullptr, sources[i]);
    if (!full[i]) break;
    dests[i] = destination_of(pool, full[i], folder, file);
    const char* err = nullptr;
    int rc = destination_check_name(pool, &err, dests[i]);
    if (rc == 0) rc = store_guard_destination(pool, &err, dests[i]);
    if (rc) {
      console_print("ERROR: %s\n", err);
      return rc;
    }
  }
  for (int i = 0; i < count; i++) {
    const char* source = full[i];
    if (!source) {
      console_print("ERROR: Invalid source file \"%s\"\n", sources[i]);
      return ERR_INVALID_PARAMETER;
    }
    const char* dest = dests[i];
    if (folder) {
      (void)create_folder(folder);
    } else if (parent) {
      (void)create_folder(parent);
    }
    console_print("copying \"%s\" to \"%s\"\n", source, dest);
    const char* err = nullptr;
    // A later source of the same name would silently replace an earlier one.
    int rc = destination_check_unwritten(&written, pool, &err, dest);
    if (rc) {
      console_print("ERROR: %s\n", err);
      return rc;
    }
    ProgressLine line{};
    CopyCounts counts{};
    rc = copy_file_counted(pool, &err, signal_get(SIGNAL_INTERRUPT), options, source, dest,
                           quiet ? nullptr : progress_update, &line, &counts);
    tally_add(tally, counts);
    if (line.last_length) console_print("\n");
    if (rc) {
      console_print("ERROR: %s\n", err);
      return rc;
    }
    if (i + 1 < count) destination_note_written(&written, source, dest);
    tally->files++;
    console_print("copy complete\n");
  }
  return 0;
}

// Takes the destination store's lock, if any, and copies.
int copy_locked(ScratchPool* pool, char** sources, int count, uint32_t options, const char* folder,
                const char* file, const char* parent, uint64_t wait_ms, bool quiet,
                CopyTally* tally) {
  // A copy into a store shares the store's lock for its whole run, so that
  // a prune cannot delete a chunk the copy has found stored and will list.
  StoreInfo* store = nullptr;
  StoreLock lock{OS_NO_HANDLE};
  const char* err = nullptr;
  int rc = store_locate(&store, pool, &err, folder ? folder : file);
  if (rc == 0) {
    rc = store_lock_for_command(&lock, store, STORE_LOCK_SHARED, wait_ms);
    store_release(store);
    if (rc) return rc;
  } else if (rc != ERR_NOT_FOUND) {
    console_print("ERROR: %s\n", err ? err : "");
    return rc;
  }
  rc = copy_sources(pool, sources, count, options, folder, file, parent, quiet, tally);
  store_lock_release(&lock);
  return rc;
}

}  // namespace

int copy_command(int argc, char** argv) {
  const uint64_t start = tick_ms();
  ScratchPool pool;
  Switch switches[] = {
      {'d', SWITCH_VALUE},
      {'f', SWITCH_VALUE},
      {'b', 0},
      {'n', 0},
      {'p', 0},
      {'w', 0},
      {'q', 0},
      {'t', SWITCH_VALUE | SWITCH_VALUE_REQUIRED},
  };
  SwitchLine line = switch_line(switches, SWITCHES_ANY_OPERANDS, 0);
  int rc = switches_read(&pool, &line, argc, argv);
  if (rc) return rc;
  uint64_t wait_ms = 0;
  rc = store_lock_wait_of_switches(&line, &wait_ms);
  if (rc) return rc;
  char** listed = line.operands;
  int count = line.operand_count;
  uint32_t options = COPY_DEFAULT_OPTIONS;
  if (switch_given(&line, 'n')) options &= ~COPY_OVERWRITE;
  if (switch_given(&line, 'p')) options |= COPY_ANY_SIZE;
  if (switch_given(&line, 'w')) options &= ~COPY_AVOID_DUPLICATES;
  const bool quiet = switch_given(&line, 'q');
  // A -d or -f without a value undoes any earlier one.
  const char* dest_folder = switch_value(&line, 'd');
  const char* dest_file = switch_value(&line, 'f');
  const char* folder = nullptr;
  const char* file = nullptr;
  const char* parent = nullptr;
  if (dest_folder) {
    folder = path_full(&pool, nullptr, dest_folder);
    if (!folder) {
      console_print("ERROR: Invalid destination folder \"%s\"\n", dest_folder);
      return ERR_INVALID_PARAMETER;
    }
  } else if (dest_file) {
    file = path_full(&pool, nullptr, dest_file);
    if (!file) {
      console_print("ERROR: Invalid destination file \"%s\"\n", dest_file);
      return ERR_INVALID_PARAMETER;
    }
    parent = path_full(&pool, file, "..");
  } else {
    if (count < 2) {
      console_print("ERROR: Must specify destination file/folder.\n");
      return ERR_INVALID_PARAMETER;
    }
    const char* last = listed[--count];
    const char* d = path_full(&pool, nullptr, last);
    if (!d) {
      console_print("ERROR: Invalid destination \"%s\"\n", last);
      return ERR_INVALID_PARAMETER;
    }
    bool is_folder = false;
    if (query_path_kind(d, &is_folder) == 0 && is_folder) {
      folder = d;
    } else {
      file = d;
    }
  }
  if (count == 0) {
    console_print("ERROR: No source file(s) specified\n");
    return ERR_INVALID_PARAMETER;
  }
  if (count > 1 && file) {
    console_print("ERROR: Can't copy multiple source files to destination file\n");
    return ERR_INVALID_PARAMETER;
  }
  CopyTally tally{};
  rc = copy_locked(&pool, listed, count, options, folder, file, parent, wait_ms, quiet, &tally);
  // Once the command line is accepted, a script gets the counts of what was
  // done whatever the outcome; the keys are documented and kept stable.
  const CopyCounts& c = tally.sum;
  const uint64_t ms = tick_ms() - start;
  console_print(
      "summary: copy exit=%d files=%I64u bytes=%I64u read=%I64u compared=%I64u "
      "written=%I64u chunks=%I64u chunks_new=%I64u chunks_existing=%I64u "
      "seconds=%I64u.%03u\n",
      exit_code_for_error(rc), tally.files, c.done, c.sr, c.dr, c.dw, c.chunks, c.chunks_new,
      c.chunks - c.chunks_new, ms / 1000, ms % 1000);
  return rc;
}
