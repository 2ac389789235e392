// The metadata folder's guard. The typed path catches the plain spellings at
// no cost; links, "..", case and a metadata folder that is itself a link to a
// folder elsewhere are caught on what the system resolves: one final-path
// query (two when the destination is new) and one look for `_info` per
// folder above it.
#include "store/store_guard.h"

#include <cstring>

#include "base/err.h"
#include "base/file.h"
#include "base/folder.h"
#include "base/path.h"
#include "base/text.h"
#include "store/store.h"

namespace {

// True when a component of the full path `path` is the metadata folder's
// name. Case is ignored everywhere: where names ignore it, ".ZUVO" is that
// folder, and elsewhere a folder of that name is no place for data either.
bool names_meta_folder(const char* path) {
  const char sep = path_default_syntax()->separator;
  const size_t length = text_len(STORE_META_FOLDER);
  for (const char* at = path; *at;) {
    const char* end = at;
    while (*end && *end != sep) ++end;
    if (static_cast<size_t>(end - at) == length &&
        text_compare_nocase(at, length, STORE_META_FOLDER, length) == 0) {
      return true;
    }
    at = *end ? end + 1 : end;
  }
  return false;
}

// True when the file at `info` is a store's description.
bool is_store_info(const char* info) {
  FileInfo file{};
  // Only a plain file of the description's size is opened: a pipe planted
  // under that name in a shared folder must not hold the copy up.
  if (query_path_info(info, &file) != 0 || file.folder || file.size != STORE_INFO_SIZE) {
    return false;
  }
  unsigned char magic[8] = {0};
  size_t read = 0;
  return read_whole_file(info, magic, sizeof magic, &read) == 0 && read == sizeof magic &&
         std::memcmp(magic, STORE_INFO_MAGIC, sizeof magic) == 0;
}

// True when `folder` holds a store's `_info`, as only a metadata folder does.
bool holds_store_info(Allocator* pool, const char* folder) {
  const char* info = path_join(pool, folder, STORE_INFO_FILE);
  return info != nullptr && is_store_info(info);
}

// The folder above the full path `path`, or null at its root.
const char* folder_above(Allocator* pool, const char* path) {
  const char* up = path_full(pool, path, "..");
  return up && std::strcmp(up, path) != 0 ? up : nullptr;
}

}  // namespace

int store_guard_destination(ScratchPool* pool, const char** out_err, const char* dest) {
  if (out_err) *out_err = nullptr;
  ScratchPool local;
  const char* real = nullptr;
  for (const char* p = dest; p != nullptr && real == nullptr; p = folder_above(&local, p)) {
    real = final_path(&local, p);
  }
  // A hard link to `_info` has a name of its own; only its bytes tell.
  bool inside = names_meta_folder(dest) ||
                (real != nullptr && (names_meta_folder(real) || is_store_info(real)));
  for (const char* q = real; q != nullptr && !inside; q = folder_above(&local, q)) {
    inside = holds_store_info(&local, q);
  }
  if (inside) {
    return err_set(pool, out_err, ERR_ACCESS_DENIED,
                   "Destination inside the metadata folder of a store \"%s\"", dest);
  }
  return 0;
}
