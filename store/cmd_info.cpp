// The info command: what a path is, its chunk map parameters and its store.
#include "base/err.h"
#include "base/file.h"
#include "base/path.h"
#include "base/text.h"
#include "frame/console_msg.h"
#include "frame/switches.h"
#include "store/chunk_map.h"
#include "store/commands.h"
#include "store/store.h"

const char* hash_type_name(unsigned type) { return type == 1 ? "sha2_512" : "unknown"; }

const char* compression_type_name(unsigned type) {
  return type == 0 ? "none" : type == 1 ? "zip" : "unknown";
}

int info_command(int argc, char** argv) {
  ScratchPool pool;
  SwitchLine line{nullptr, 0, 1, 0};
  const int parsed = switches_read(&pool, &line, argc, argv);
  if (parsed) return parsed;
  const char* name = line.operands[0];
  if (text_is_empty(name)) name = ".";
  const char* path = path_full(&pool, nullptr, name);
  if (!path) {
    console_print("Bad file/folder name \"%s\"", name);
    return ERR_INVALID_PARAMETER;
  }
  // A store that may not be trusted ends the command before anything is
  // shown; any other failure to find one shows as no store.
  StoreInfo* store = nullptr;
  const char* err = nullptr;
  const int located = store_locate(&store, &pool, &err, path);
  if (located == ERR_ACCESS_DENIED) {
    console_print("ERROR: %s\n", err);
    return located;
  }
  const char* type = "no-exist";
  // Only the header is read: a map too large to load is still a map.
  ChunkMapHeader map{};
  bool is_map = false;
  bool is_folder = false;
  int result = 0;  // 1305 for a damaged map
  const char* damage = nullptr;
  if (query_path_kind(path, &is_folder) == 0) {
    if (is_folder) {
      type = "folder";
    } else {
      const int rc = chunk_map_recognize(&is_map, nullptr, &map, &pool, &damage, path);
      // A file that cannot be read shows as a file; one that begins as a map
      // and does not validate is reported, as copy, verify and prune stop on it.
      if (rc == ERR_UNKNOWN_REVISION) result = rc;
      type = is_map ? "zuvo-file" : result ? "damaged-map" : "file";
    }
  }
  console_print("file: %s\n", path);
  console_print("  type: %s\n", type);
  if (is_map) {
    console_print("  file-size: %I64u\n", map.file_size);
    console_print("  chunk-size: %u\n", map.chunk_size);
    console_print("  hash-type: %s\n", hash_type_name(map.hash_type));
    console_print("  hash-size: %u\n", map.hash_size);
  }
  if (located == 0) {
    console_print("store: %s\n", store->path);
    console_print("  chunk-size: %u\n", store->chunk_size);
    console_print("  hash-type: %s\n", hash_type_name(store->hash_type));
    console_print("  hash-size: %u\n", store->hash_size);
    console_print("  comp-type: %s\n", compression_type_name(store->compression_type));
    console_print("  dict_levels: %u\n", store->folder_levels);
    console_print("  level_digits: %u\n", store->folder_digits);
  } else {
    console_print("store: %s\n", "");
  }
  store_release(store);
  if (result) console_print("ERROR: %s\n", damage ? damage : path);
  return result;
}
