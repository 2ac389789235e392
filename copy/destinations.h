// The destinations of one copy command: names a copy may not make, and the
// record of what the command has already written, so that a later source of
// the same name cannot silently replace an earlier one. Whether a source is
// copied is left to the pipeline. One thread at a time.
#pragma once

#include <cstdint>

#include "base/scratch.h"

// A destination the command has written, by path and by what the system names.
struct WrittenDestination {
  const char* path;    // the full destination path, in the log's pool
  const char* source;  // the full source path it was copied from, in the log's pool
  uint64_t volume_serial;
  uint64_t file_id[2];  // all zero when it could not be asked
};

// Every destination written so far by one command.
struct DestinationLog {
  WrittenDestination* entries;  // `capacity` records, in the command's pool
  int count;
  int capacity;
};

// Makes room for `capacity` destinations in `pool`. Returns 0 or 14.
[[nodiscard]] int destination_log_init(DestinationLog* log, ScratchPool* pool, int capacity);

// Refuses a destination whose file name begins with the temporary prefix:
// such files are taken for leftovers of killed copies and deleted by prune.
// Returns 0 or 123, with a text in `pool`.
[[nodiscard]] int destination_check_name(ScratchPool* pool, const char** out_err, const char* dest);

// Refuses a destination that this command has already written: the same full
// path, or an existing file that is the same file (through a link, another
// spelling or another case where names ignore case). Returns 0 or 183, with a
// text in `pool`.
[[nodiscard]] int destination_check_unwritten(const DestinationLog* log, ScratchPool* pool,
                                              const char** out_err, const char* dest);

// Notes `dest`, just written from `source`, asking the system what file it now
// names (after the copy, since a chunk map's copy replaces the file). The
// texts are kept as given; nothing is noted once the log is full.
void destination_note_written(DestinationLog* log, const char* source, const char* dest);
