// A fault-injecting platform for tests: wrappers with the signatures of the
// file services in platform.h that forward to the real ones, count every call
// by kind, and fail the Nth call of one chosen kind with a chosen error
// number. Tests put the wrappers into the file layer's and the transfer
// engine's swappable tables; nothing in the program links this.
//
// The kinds are told apart by what the call asks for. A create call whose
// disposition needs an existing object (open, overwrite) is an open; one that
// may make a new file (create, open-if, overwrite-if, supersede) is a create;
// a folder option with a create or open-if disposition is a make-folder. An
// information change of the end-of-file or allocation class is a set-end; renames, deletions
// and the disposition (delete-on-close) class, the calls that change a name, are
// renames; file, folder and file system flushes are syncs. Every counted
// call can also be logged, with its create options and path. Writes to the
// standard output and error handles are passed through uncounted, so that a
// test can capture what a command prints.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The kinds of call that can be failed.
enum : int {
  FAULT_OPEN = 0,
  FAULT_CREATE,
  FAULT_READ,
  FAULT_WRITE,
  FAULT_SET_END,
  FAULT_MAKE_FOLDER,
  FAULT_RENAME,
  FAULT_SYNC,
  FAULT_COUNT,
};

// The kind's name ("open", "create", ...). REQUIRES: 0 <= kind < FAULT_COUNT.
const char* fault_kind_name(int kind);

// The kind of a create call with these native values.
int fault_create_kind(uint32_t disposition, uint32_t options);

// What the failed call was.
struct FaultRecord {
  int kind;
  uint64_t nth;          // which call of its kind, from 1
  int error;             // the number it was failed with
  uint32_t access;       // of the create call, or of the create that made the handle
  uint32_t disposition;  // likewise
  uint32_t info_class;   // of an information change; 0 otherwise
  char path[1024];       // the name given, or the one the handle was made with; "" when unknown
};

// Zeroes the counters and fails the `nth` call (from 1) of `kind` from now on
// with `error`; a `nth` of 0 fails nothing and only counts. Not thread-safe
// against running calls.
void fault_arm(int kind, uint64_t nth, int error);
// The calls of `kind` made since fault_arm. Thread-safe.
uint64_t fault_calls(int kind);
// True when the armed call has been failed; *out_record (optional) then
// describes it. Thread-safe.
bool fault_fired(FaultRecord* out_record);

// One counted call, as the call log keeps it.
struct FaultCall {
  int kind;
  uint32_t options;     // of a create call; 0 otherwise
  uint32_t info_class;  // of an information change; 0 otherwise
  char path[1024];      // as in FaultRecord; a rename's new name
};
// Starts (or with false stops) logging every counted call in order, and
// clears the log. For tests that check which calls were made and in which
// order. Not thread-safe against running calls.
void fault_log_start(bool on);
// The number of calls logged, and one of them (REQUIRES: index < the count).
// Thread-safe.
size_t fault_log_count();
FaultCall fault_log_at(size_t index);

// The wrappers: the signatures of the platform.h functions of the same stem.
// Thread-safe.
int fault_file_create(const OsNativeName* name, uint32_t access, uint32_t share,
                      uint32_t attributes, uint32_t disposition, uint32_t options,
                      OsHandle* out_handle, uint32_t* out_information);
int fault_file_set_info(OsHandle handle, uint32_t info_class, const void* buffer, uint32_t size);
int fault_file_rename(const OsNativeName* from, const OsNativeName* to, bool replace);
int fault_file_sync(OsHandle handle);
int fault_folder_sync(const OsNativeName* name);
int fault_file_system_sync(OsHandle handle);
int fault_file_delete(const OsNativeName* name);
int fault_plain_read(OsHandle handle, void* buffer, uint32_t size, uint32_t* out_count);
int fault_plain_write(OsHandle handle, const void* data, uint32_t size, uint32_t* out_count);
int fault_native_transfer(OsHandle handle, bool write, bool asynchronous, void* buffer,
                          uint32_t size, const uint64_t* offset, uint32_t* out_count);
