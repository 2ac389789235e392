// The error numbers the program speaks on every platform (Windows error numbers,
// which feed the exit-code table), and err_set, the one-line failure helper.
#pragma once

#include "base/fmt.h"

enum : int {
  ERR_OK = 0,
  ERR_FILE_NOT_FOUND = 2,
  ERR_PATH_NOT_FOUND = 3,
  ERR_TOO_MANY_OPEN_FILES = 4,
  ERR_ACCESS_DENIED = 5,
  ERR_INVALID_HANDLE = 6,
  ERR_NOT_ENOUGH_MEMORY = 8,
  ERR_BAD_FORMAT = 11,
  ERR_OUTOFMEMORY = 14,
  ERR_NOT_SAME_DEVICE = 17,
  ERR_NO_MORE_FILES = 18,
  ERR_WRITE_PROTECT = 19,
  ERR_CRC = 23,                 // data error
  ERR_GEN_FAILURE = 31,
  ERR_SHARING_VIOLATION = 32,
  ERR_LOCK_VIOLATION = 33,     // a lock another handle holds
  ERR_HANDLE_EOF = 38,          // short read
  ERR_HANDLE_DISK_FULL = 39,
  ERR_NOT_SUPPORTED = 50,
  ERR_INVALID_PARAMETER = 87,
  ERR_BROKEN_PIPE = 109,
  ERR_DISK_FULL = 112,
  ERR_SEM_TIMEOUT = 121,
  ERR_INVALID_NAME = 123,
  ERR_DIR_NOT_EMPTY = 145,
  ERR_BUSY = 170,
  ERR_ALREADY_EXISTS = 183,
  ERR_FILENAME_EXCED_RANGE = 206,
  ERR_FILE_TOO_LARGE = 223,
  ERR_FILE_INVALID = 1006,      // the file changed under an open handle
  ERR_IO_DEVICE = 1117,
  ERR_NOT_FOUND = 1168,         // no store on the path
  ERR_CANCELLED = 1223,
  ERR_UNKNOWN_REVISION = 1305,  // not in the format or unsupported parameters
  ERR_CANT_RESOLVE_FILENAME = 1921,
};

// Returns `rc`; when out_err is non-null it first receives the formatted text,
// owned by `pool` (null if the pool fails or is null). The one-line failure site:
//   return err_set(pool, out_err, ERR_FILE_NOT_FOUND, "Missing \"%s\"", path);
template <typename... A>
[[nodiscard]] int err_set(Allocator* pool, const char** out_err, int rc, const char* format,
                          const A&... args) {
  if (out_err) *out_err = pool ? pool_format(pool, format, args...) : nullptr;
  return rc;
}
