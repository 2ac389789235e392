// The copy command: switches, destinations, a line per file, the pipeline with
// its progress line, and Ctrl-C.
#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/signal.h"
#include "base/text.h"
#include "copy/commands.h"
#include "copy/copy_pipeline.h"
#include "copy/progress.h"
#include "frame/console_msg.h"
#include "store/store_lock.h"

namespace {

bool is_switch(const char* arg) { return (arg[0] == '-' || arg[0] == '/') && text_len(arg) == 2; }

// Copies each source in turn; stops at the first failure.
int copy_sources(ScratchPool* pool, char** sources, int count, uint32_t options,
                 const char* folder, const char* file, const char* parent) {
  for (int i = 0; i < count; i++) {
    const char* source = path_full(pool, nullptr, sources[i]);
    if (!source) {
      console_print("ERROR: Invalid source file \"%s\"\n", sources[i]);
      return ERR_INVALID_PARAMETER;
    }
    const char* dest = file;
    if (folder) {
      (void)create_folder(folder);
      size_t name_start = 0;
      (void)path_split(source, nullptr, nullptr, &name_start);
      dest = path_join(pool, folder, source + name_start);
    } else if (parent) {
      (void)create_folder(parent);
    }
    console_print("copying \"%s\" to \"%s\"\n", source, dest);
    ProgressLine line{};
    const char* err = nullptr;
    const int rc = copy_file(pool, &err, signal_get(SIGNAL_INTERRUPT), options, source, dest,
                             progress_update, &line);
    if (line.last_length) console_print("\n");
    if (rc) {
      console_print("ERROR: %s\n", err);
      return rc;
    }
    console_print("copy complete\n");
  }
  return 0;
}

}  // namespace

int copy_command(int argc, char** argv) {
  ScratchPool pool;
  char** listed = static_cast<char**>(allocate(&pool, (argc + 1) * sizeof(char*)));
  if (!listed) return ERR_OUTOFMEMORY;
  int count = 0;
  uint32_t options = COPY_DEFAULT_OPTIONS;
  bool fail_at_once = false;
  const char* dest_folder = nullptr;
  const char* dest_file = nullptr;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    if (!is_switch(arg)) {
      listed[count++] = argv[i];
      continue;
    }
    switch (char_to_lower_ascii(arg[1])) {
      case 'd':
      case 'f': {
        // A -d or -f without a value undoes any earlier one.
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        (char_to_lower_ascii(arg[1]) == 'd' ? dest_folder : dest_file) = value;
        break;
      }
      case 'b': fail_at_once = true; break;
      case 'n': options &= ~COPY_OVERWRITE; break;
      case 'p': options |= COPY_ANY_SIZE; break;
      case 'w': options &= ~COPY_AVOID_DUPLICATES; break;
      default: warn_unknown_switch(arg); break;
    }
  }
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
  // A copy into a store shares the store's lock for its whole run, so that
  // a prune cannot delete a chunk the copy has found stored and will list.
  StoreInfo* store = nullptr;
  StoreLock lock{OS_NO_HANDLE};
  const char* err = nullptr;
  int rc = store_locate(&store, &pool, &err, folder ? folder : file);
  if (rc == 0) {
    rc = store_lock_for_command(&lock, store, STORE_LOCK_SHARED, fail_at_once);
    store_release(store);
    if (rc) return rc;
  } else if (rc != ERR_NOT_FOUND) {
    console_print("ERROR: %s\n", err ? err : "");
    return rc;
  }
  rc = copy_sources(&pool, listed, count, options, folder, file, parent);
  store_lock_release(&lock);
  return rc;
}
