// Folder and volume queries: an enumerator over the entries of a folder
// through the platform's native folder query, and a fixed information record
// for a file or folder (attributes, size, times, file identity, link kind and
// a volume identity hashed from the volume serial number and the volume's
// device name). An enumerator belongs to one thread; the queries are reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// Describes one file or folder. Times are 100 ns units since 1601-01-01 UTC.
struct FileInfo {
  uint8_t kind_flags;        // attribute bits 0x1, 0x2, 0x4, 0x20; 0x8 for a plain entry
  uint8_t symlink;           // 1 for a symbolic link
  uint8_t folder;            // 1 for a folder
  uint8_t link_unreachable;  // 1 when the link's target could not be described
  uint8_t followed;          // 1 when this describes a link's target
  uint8_t mount_point;       // 1 for a mount point
  uint32_t attributes;       // the platform's native attributes
  uint32_t volume_identity[3];  // 0 when the volume's name is unknown
  uint64_t volume_serial;
  uint64_t file_id[2];  // only the first word when the platform offers 64 bits
  uint64_t size;        // bytes; 0 for folders and symbolic links
  int64_t creation_time;
  int64_t last_access_time;
  int64_t last_write_time;
  int64_t change_time;
};

// Recomputes the kind flags and the folder flag from the attributes and
// clears the size of folders and symbolic links.
void file_info_derive(FileInfo* info);

// Enumerator flags.
enum : uint32_t {
  FOLDER_NO_LINK_INFO = 0x1,     // with FOLDER_NO_FOLLOW clear: no record for links
  FOLDER_NO_FOLLOW = 0x2,        // describe links themselves, not their targets
};

struct FolderEnum;

// Opens an enumerator on the folder at `path`. Returns 0, 14 when memory runs
// out, or the error of the open or of the folder's own query; on failure
// *out_enum is null and nothing stays allocated.
[[nodiscard]] int folder_open(FolderEnum** out_enum, const char* path, uint32_t flags);
// Advances to the next entry ("." and ".." are skipped). Returns 0, 18 at the
// end, or an error. *out_path is the entry's full path in the enumerator's
// buffer (valid until the next call), *out_name_offset where its name begins
// in it, *out_info its record, its link target's record, or null. Every
// out-parameter is optional; on failure they are null and 0.
[[nodiscard]] int folder_next(FolderEnum* e, const char** out_path, size_t* out_name_offset,
                              const FileInfo** out_info);
// Closes the folder and frees the enumerator; null is ignored.
void folder_close(FolderEnum* e);

// Describes the object open on `handle`. Returns 0, 6 for a handle of 0 or
// -1, or the error of the main information query.
[[nodiscard]] int query_handle_info(OsHandle handle, FileInfo* out_info);
// Describes the object at `path` (following links); *out_info is optional.
[[nodiscard]] int query_path_info(const char* path, FileInfo* out_info);
// The native folder query: 6 for a handle of 0 or -1, else the platform's result.
[[nodiscard]] int directory_query(OsHandle handle, uint32_t info_class, bool single, bool restart,
                                  void* buffer, uint32_t length);

// How many separators after the first unit end the volume part of a native
// device name: 2 or 4 by the known device kinds, 0 for a name of no known kind.
int device_name_separators(const char16_t* name, size_t units);
// The units of the volume part of `name` for `separators` separators.
size_t volume_part_units(const char16_t* name, size_t units, int separators);
// The lookup3 hash of `bytes`, all three state words starting at 0xDEADBEEF.
void lookup3_words(const void* bytes, size_t length, uint32_t out_words[3]);
// The volume identity of a serial number and a volume part of a device name:
// lookup3 over the 8 serial bytes (little-endian) and the case-folded UTF-8
// of the name. Returns 0, or 14 when memory runs out.
[[nodiscard]] int volume_identity(uint64_t serial, const char16_t* volume_part, size_t units,
                                  uint32_t out_words[3]);
