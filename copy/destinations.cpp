// The destinations of one copy command: reserved names and what was written.
#include "copy/destinations.h"

#include <cstring>

#include "base/err.h"
#include "base/folder.h"
#include "base/path.h"
#include "store/store_walk.h"

int destination_log_init(DestinationLog* log, ScratchPool* pool, int capacity) {
  *log = DestinationLog{};
  log->entries =
      static_cast<WrittenDestination*>(allocate(pool, (capacity + 1) * sizeof(WrittenDestination)));
  if (!log->entries) return ERR_OUTOFMEMORY;
  log->capacity = capacity;
  return 0;
}

int destination_check_name(ScratchPool* pool, const char** out_err, const char* dest) {
  size_t name_start = 0;
  if (path_split(dest, nullptr, nullptr, &name_start) != 0) return 0;  // left to the open
  // Compared as prune compares, byte for byte: exactly the names it deletes.
  if (std::strncmp(dest + name_start, STORE_TEMP_PREFIX, sizeof STORE_TEMP_PREFIX - 1) != 0) {
    return 0;
  }
  return err_set(pool, out_err, ERR_INVALID_NAME,
                 "Destination name is reserved for temporary files \"%s\"", dest);
}

int destination_check_unwritten(const DestinationLog* log, ScratchPool* pool, const char** out_err,
                                const char* dest) {
  if (log->count == 0 || !dest) return 0;
  FileInfo info{};
  const bool exists = query_path_info(dest, &info) == 0 && (info.file_id[0] | info.file_id[1]);
  for (int i = 0; i < log->count; i++) {
    const WrittenDestination& w = log->entries[i];
    const bool same_path = std::strcmp(w.path, dest) == 0;
    const bool same_file = exists && !info.folder && w.volume_serial == info.volume_serial &&
                           w.file_id[0] == info.file_id[0] && w.file_id[1] == info.file_id[1];
    if (same_path || same_file) {
      return err_set(pool, out_err, ERR_ALREADY_EXISTS,
                     "Will not overwrite \"%s\", which this command has just copied from \"%s\"",
                     dest, w.source);
    }
  }
  return 0;
}

void destination_note_written(DestinationLog* log, const char* source, const char* dest) {
  if (!dest || log->count == log->capacity) return;
  WrittenDestination& w = log->entries[log->count++];
  w = WrittenDestination{dest, source, 0, {0, 0}};
  FileInfo info{};
  if (query_path_info(dest, &info) == 0 && !info.folder) {
    w.volume_serial = info.volume_serial;
    w.file_id[0] = info.file_id[0];
    w.file_id[1] = info.file_id[1];
  }
}
