// Path names: splitting a path into its root and last component, joining,
// normalising, making full paths against a base or the current folder, and
// the native name that the file layer hands to the platform's create call.
// One body of code serves two syntaxes, chosen by a PathSyntax record: the
// Windows one (separators '\' and '/', drive, network and native roots, normal
// forms written with '\') and the POSIX one ('/' only, '\' an ordinary name
// byte). The build's own syntax is the default everywhere. Reentrant; results
// live in the caller's pool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/scratch.h"
#include "platform/platform.h"

// How paths are written and where full paths find the current folders.
struct PathSyntax {
  char separator;      // written in normal forms and joins: '\\' or '/'
  bool windows_forms;  // '\' and '/' separate; drive, network and native roots; UTF-16 native names
  // The current folder, and that of a drive, into `pool`; null on failure.
  char* (*current_folder)(Allocator* pool);
  char* (*drive_current_folder)(Allocator* pool, char letter);
};

extern const PathSyntax PATH_SYNTAX_WINDOWS;
extern const PathSyntax PATH_SYNTAX_POSIX;

// The build's syntax (Windows where the platform's names are, else POSIX).
const PathSyntax* path_default_syntax();

// Splits `path`: root length, whether it is absolute, and the offset just
// after the last separator that follows the root (the root length when none).
// Each out-parameter is optional. Returns 0, or 123 for an empty path or a
// malformed network root. A null syntax means the build's.
[[nodiscard]] int path_split(const char* path, size_t* out_root_length, bool* out_absolute,
                             size_t* out_name_start, const PathSyntax* syntax = nullptr);

// The folder, one separator and the name, in `pool` (null when it fails). One
// trailing separator of the folder and one leading separator of the name are
// dropped first; an empty or null folder gives a copy of the name.
char* path_join(Allocator* pool, const char* folder, const char* name,
                const PathSyntax* syntax = nullptr);

// Writes the normal form of `path` (split into root_length and absolute) into
// `buffer` as far as `capacity` allows, without a terminator, and returns its
// full length. When the output outgrows the capacity the length is an upper
// bound; asking again with that capacity gives the exact form.
size_t path_normalize_into(const char* path, size_t root_length, bool absolute, char* buffer,
                           size_t capacity, const PathSyntax* syntax = nullptr);

// The normal form of `path` in `pool`; null for an invalid path or a failed pool.
char* path_normalize(Allocator* pool, const char* path, const PathSyntax* syntax = nullptr);

// The full, normal path of `path` in `pool`: a relative path is taken against
// `base` (a folder; null means the current folder). Null when the path or the
// base is invalid or no absolute folder can be found. Without a base, in the
// build's POSIX syntax, a path with a ".." is resolved as path_full_resolved
// does with final_path, so that it names what the system names.
char* path_full(Allocator* pool, const char* base, const char* path,
                const PathSyntax* syntax = nullptr);

// The process's current folder in `pool`; null when the platform fails or
// answers an empty text.
char* current_folder(Allocator* pool);
// The current folder of drive `letter` in `pool`; null where there is none.
char* drive_current_folder(Allocator* pool, char letter);

// Answers the full path that the system finally names for the existing
// `path`, in `pool`; null when it cannot tell.
using PathResolver = char* (*)(Allocator* pool, const char* path);

// The full path of `path` (a relative one taken against the current folder)
// with each ".." taken as POSIX systems take it: to the parent of what
// `resolve` answers for the path before it, so that "link/.." is the folder
// above the link's target. Where `resolve` answers null (the path before it
// does not exist) that step is lexical. k dots climb k - 1 times, as in the
// normal form. The Windows syntax, whose system climbs lexically, gives
// path_full's answer. Null as path_full; the result lives in `pool`.
char* path_full_resolved(Allocator* pool, const char* path, PathResolver resolve,
                         const PathSyntax* syntax = nullptr);

// The full path that the system finally names for the existing `path`, every
// link on the way followed, in `pool`; null when it is missing or the platform
// cannot tell.
char* final_path(Allocator* pool, const char* path);

// A native name as path_native_name builds it. For a UTF-16 name the three
// units "\\=" stand directly in front of `units`, so that they and the name
// spell it in the native path notation.
struct NativeName {
  OsNativeName name;    // what os_file_create takes; length 0 on failure
  char16_t* units;      // the UTF-16 name, zero-terminated, or null for a byte name
  uint64_t unit_count;  // units of the UTF-16 name, without the terminator
  void* storage;        // the block in the caller's pool
  size_t storage_size;  // bytes
};

// Fills `out` with the native name of the full path of `path`: on Windows the
// "\??\", "\??\UNC\" or "\" forms in UTF-16, on POSIX the full path's bytes.
// Returns 0, 123 for an invalid path or a name over 32767 units, or 14 when
// the pool fails. The name lives in `pool`; on POSIX a path that is full and
// normal already is used as it stands, so the name may point into `path`.
[[nodiscard]] int path_native_name(Allocator* pool, const char* path, NativeName* out,
                                   const PathSyntax* syntax = nullptr);
