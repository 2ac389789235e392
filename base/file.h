// File access: opening, creating, deleting and closing files and folders by
// UTF-8 path, and the information calls on open handles. The open mode bits
// are turned into the platform's native access, share, disposition, attribute
// and option values here, on every platform; the platform layer only maps
// those. Failures are Windows error numbers; no texts are produced here.
// Every operation is reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/path.h"
#include "platform/platform.h"

// Open mode bits for open_file and, where they apply, create_file.
enum : uint32_t {
  OPEN_READ_ATTRIBUTES = 0x0001,   // read attributes: always granted, stated by readers
  OPEN_READ = 0x0002,              // read data
  OPEN_WRITE_ATTRIBUTES = 0x0004,  // write attributes and extended attributes
  OPEN_WRITE = 0x0008,             // write data
  OPEN_DENY_WRITE = 0x0020,        // do not let others write
  OPEN_SHARE_ALL = 0x0040,         // keep full sharing even when writing
  OPEN_CREATE = 0x0080,            // create the file when missing
  OPEN_TRUNCATE = 0x0100,          // empty an existing file
  OPEN_UNBUFFERED = 0x0200,        // transfers must be sector-aligned
  OPEN_ASYNC = 0x0400,             // asynchronous handle
  OPEN_EXECUTE = 0x0800,           // execute access
  OPEN_REPARSE_POINT = 0x1000,     // a link itself rather than its target
  OPEN_APPEND = 0x2000,            // append-only data access
  OPEN_UNSEEN_NAME = 0x4000,       // create: a fresh name no other program knows
  OPEN_WRITE_THROUGH = 0x8000,     // writes reach stable storage on return (OS_OPTION_WRITE_THROUGH)
};

// The native values of one create call.
struct FileRequest {
  uint32_t access;
  uint32_t share;
  uint32_t attributes;
  uint32_t disposition;
  uint32_t options;
};

// The request open_file makes for `mode` (before any retry).
FileRequest open_file_request(uint32_t mode);
// The request create_file makes for `mode`.
FileRequest create_file_request(uint32_t mode);

// The native create call on an already converted name. Stores the handle (-1
// on failure) and the create result (0 on failure; out_information optional).
// Returns 0 or an error number.
[[nodiscard]] int native_create(const NativeName* name, uint32_t access, uint32_t share,
                                uint32_t attributes, uint32_t disposition, uint32_t options,
                                OsHandle* out_handle, uint32_t* out_information);
// Converts `path` with path_native_name and calls native_create. Returns its
// result, or 123 / 14 from the conversion.
[[nodiscard]] int native_open(const char* path, uint32_t access, uint32_t share,
                              uint32_t attributes, uint32_t disposition, uint32_t options,
                              OsHandle* out_handle, uint32_t* out_information);

// Opens `path` with the open mode bits. Stores the handle (-1 on failure); a
// null out_handle closes it at once (an existence and access test). Returns
// 0, 14 for a null path, 123 for an empty one, or the platform's error.
[[nodiscard]] int open_file(OsHandle* out_handle, const char* path, uint32_t mode);
// Creates a new file: 183 when it exists, unless `mode` has OPEN_TRUNCATE.
// A non-null `access` is what the new file takes in place of the process's
// defaults (see OsNativeName::access); so for every create below.
[[nodiscard]] int create_file(OsHandle* out_handle, const char* path, uint32_t mode,
                              const OsAccess* access = nullptr);
// Creates one folder and closes it. Returns 0, 183 when it exists, or an error.
[[nodiscard]] int create_folder(const char* path, const OsAccess* access = nullptr);
// The same, keeping the folder open in *out_handle (-1 on failure).
[[nodiscard]] int create_folder_handle(OsHandle* out_handle, const char* path,
                                       const OsAccess* access = nullptr);
// Deletes a file or an empty folder (a link itself, not its target); clears a
// read-only attribute that stands in the way.
[[nodiscard]] int delete_file(const char* path);
// Deletes what `path` names as delete_file does, in one platform call that
// opens nothing (POSIX: one unlink, the deletion's cheapest form), so the
// object deleted is whatever has the name at that moment: for a name nobody
// else can replace meanwhile. Returns 0 or the platform's error. Thread-safe.
[[nodiscard]] int delete_name(const char* path);
// 0 when `path` can be opened; *out_is_folder (optional) then tells whether it
// is a folder. 14 for a null path, 123 for an empty one.
[[nodiscard]] int query_path_kind(const char* path, bool* out_is_folder);
// Stores who may use the file or folder at `path` (a symbolic link itself
// when `link_itself`). Returns 0 or an error number (2 or 3 when missing).
[[nodiscard]] int query_path_access(const char* path, bool link_itself, OsAccess* out_access);

// Reads up to `size` bytes of the file at `path` into `buffer` and stores the
// count (short at the end of the file). Returns 0, or the error of the open
// or of a read.
[[nodiscard]] int read_whole_file(const char* path, void* buffer, size_t size, size_t* out_read);
// Makes the file at `path` hold exactly the `size` bytes of `data` (created
// when missing). Returns 0 or the first error.
[[nodiscard]] int write_whole_file(const char* path, const void* data, size_t size,
                                   const OsAccess* access = nullptr);
// Writes the bytes of `text` without its terminator. Returns 0 or an error.
[[nodiscard]] int write_text(OsHandle handle, const char* text);

// Flushes to stable storage every file of the file system that holds the file
// open on `handle` (where the platform can, else that file). Returns 0 or an
// error number.
[[nodiscard]] int sync_file_system(OsHandle handle);

// Opens the file at `path` (for writing where it may, since Windows flushes
// only handles that can write, else for reading) and calls sync_file_system
// on it. Returns 0 or the error of the open or of the flush.
[[nodiscard]] int sync_file_system_at(const char* path);
// Whether sync_file_system covers a file written through (OPEN_WRITE_THROUGH)
// on the file system that holds `handle`; false where each such file needs
// sync_file of its own (file systems served from elsewhere), and when unknown.
[[nodiscard]] bool file_system_syncs_files(OsHandle handle);
// Stores the serial number of the volume (file system) that holds the file
// open on `handle`; 0 on failure. Returns 0 or an error number.
[[nodiscard]] int query_file_volume(OsHandle handle, uint64_t* out_volume);

// Closes a handle; nothing happens for 0 or -1, and standard console handles
// stay open. Returns 0 or the error the system reported on closing (a write
// that a network file system could not complete); callers that do not depend
// on the data written may ignore it. REQUIRES: no other thread uses the handle.
int close_handle(OsHandle handle);
// Advisory whole-file lock on `handle`, shared or exclusive, without waiting.
// Returns 0, 33 when another handle holds a lock that conflicts, or an error
// number (50 where the file system keeps no locks). It ends with unlock_file
// or when the handle is closed.
[[nodiscard]] int lock_file(OsHandle handle, bool exclusive);
void unlock_file(OsHandle handle);
// The process's standard output and error handles, asked anew at each call.
OsHandle standard_output();
OsHandle standard_error();

// The end-of-file position; size 0 on failure. Returns 0 or an error (6 for an
// invalid handle).
[[nodiscard]] int file_size(OsHandle handle, uint64_t* out_size);
// Sets the current position. Returns 0 or an error.
[[nodiscard]] int set_file_position(OsHandle handle, uint64_t position);
// Cuts or extends the file to `size` bytes. Returns 0 or an error.
[[nodiscard]] int set_file_end(OsHandle handle, uint64_t size);
// Reserves disk space for the first `size` bytes of a file without changing
// its size. Returns 0 or an error (50 where the file system or the kind of
// file cannot, 112 when the disk is full).
[[nodiscard]] int reserve_file_space(OsHandle handle, uint64_t size);

// The native information calls by class. Each returns 6 for a handle of 0 or
// -1 without calling the platform, else 0 or the platform's error.
[[nodiscard]] int query_file_info(OsHandle handle, uint32_t info_class, void* buffer,
                                  uint32_t size, uint64_t* out_information);
[[nodiscard]] int query_volume_info(OsHandle handle, uint32_t info_class, void* buffer,
                                    uint32_t size, uint64_t* out_information);
[[nodiscard]] int query_object_info(OsHandle handle, uint32_t info_class, void* buffer,
                                    uint32_t size, uint32_t* out_returned);
[[nodiscard]] int set_file_info(OsHandle handle, uint32_t info_class, const void* buffer,
                                uint32_t size);

// Durable, exclusive publication of files: data written under a temporary
// name is flushed and then given its final name in one atomic step, so that
// no reader ever finds a half-written file under the final name.

// Flushes the file's data and size to stable storage. Returns 0 or an error number.
[[nodiscard]] int sync_file(OsHandle handle);
// Flushes a folder's entries (names created or renamed in it) to stable storage.
// Returns 0 or an error number; platforms without such a flush return 0.
[[nodiscard]] int sync_folder(const char* path);
// Creates a new, empty file with a unique temporary name (beginning ".zuvo-tmp-")
// in `folder`, opened as create_file opens with `mode` (0 or OPEN_UNBUFFERED | OPEN_ASYNC), and
// stores its handle and its full path (in `pool`). Returns 0 or an error number. The name holds the
// process id, the thread id and a counter, and the create is exclusive (a taken name is skipped),
// so concurrent threads and processes never share a file. On failure the handle is -1 and the path
// null.
[[nodiscard]] int create_temp_file(OsHandle* out_handle, Allocator* pool, const char* folder,
                                   uint32_t mode, char** out_path,
                                   const OsAccess* access = nullptr);
// Gives the file at `from` the name `to` in one atomic step. With replace false
// the call fails with 183 (and `from` stays) when `to` exists; with replace true
// an existing `to` is replaced. Returns 0 or an error number.
[[nodiscard]] int rename_file(const char* from, const char* to, bool replace);

// The platform calls that create, change, rename and flush files, swappable
// so that tests can count and fail them (with transfer_platform_swap_for_test
// for the reads and writes). Every create and open, every information change
// (end of file, position, disposition, attributes), every rename and every
// flush made here goes through it.
struct FilePlatform {
  int (*create)(const OsNativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                uint32_t disposition, uint32_t options, OsHandle* out_handle,
                uint32_t* out_information);
  int (*set_info)(OsHandle handle, uint32_t info_class, const void* buffer, uint32_t size);
  int (*rename)(const OsNativeName* from, const OsNativeName* to, bool replace);
  int (*file_sync)(OsHandle handle);
  int (*folder_sync)(const OsNativeName* name);
  int (*file_system_sync)(OsHandle handle);
  int (*remove)(const OsNativeName* name);
};
// The real platform's calls.
extern const FilePlatform FILE_PLATFORM_REAL;
// FOR TESTS ONLY: makes the file layer use `platform` (null: the real one) and
// returns the previous table. REQUIRES: no file call is running.
const FilePlatform* file_platform_swap_for_test(const FilePlatform* platform);
