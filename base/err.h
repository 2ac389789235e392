// The error numbers the program speaks on every platform (Windows error numbers,
// which feed the exit-code table), and err_set, the one-line failure helper.
#pragma once

#include <cstdint>

#include "base/fmt.h"

enum : int {
  ERR_OK = 0,
  ERR_INVALID_FUNCTION = 1,
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
  ERR_NETNAME_DELETED = 64,
  ERR_FILE_EXISTS = 80,
  ERR_INVALID_PARAMETER = 87,
  ERR_SEM_IS_SET = 102,
  ERR_BROKEN_PIPE = 109,
  ERR_BUFFER_OVERFLOW = 111,
  ERR_DISK_FULL = 112,
  ERR_SEM_TIMEOUT = 121,
  ERR_INVALID_NAME = 123,
  ERR_MOD_NOT_FOUND = 126,
  ERR_CHILD_NOT_COMPLETE = 129,
  ERR_DIRECT_ACCESS_HANDLE = 130,
  ERR_IS_SUBSTED = 135,
  ERR_DIR_NOT_EMPTY = 145,
  ERR_STORE_IN_USE = 167,  // the store lock was not granted in time (a lock failure)
  ERR_BUSY = 170,
  ERR_ALREADY_EXISTS = 183,
  ERR_BAD_EXE_FORMAT = 193,
  ERR_FILENAME_EXCED_RANGE = 206,
  ERR_FILE_TOO_LARGE = 223,
  ERR_DIRECTORY = 267,  // a folder where a file was expected
  ERR_DELETE_PENDING = 303,
  ERR_ASSERTION_FAILURE = 668,
  ERR_USER_APC = 737,
  ERR_OPERATION_ABORTED = 995,
  ERR_FILE_INVALID = 1006,  // the file changed under an open handle
  ERR_IO_DEVICE = 1117,
  ERR_NOT_FOUND = 1168,         // no store on the path
  ERR_CANCELLED = 1223,
  ERR_RETRY = 1237,
  ERR_UNKNOWN_REVISION = 1305,  // not in the format or unsupported parameters
  // Numbers only event log calls give, which the program never makes: each
  // stands for one finding of its own, so its exit code means only that.
  ERR_PROBLEMS_FOUND = 1500,  // verify found missing or damaged files
  ERR_SOURCE_CHANGED = 1503,  // the source changed while it was copied
  ERR_CANT_RESOLVE_FILENAME = 1921,
  ERR_WOULD_BLOCK = 10035,  // a socket's "try again"
};

// A native status code that may reach the exit-code table unmapped; compared
// there as a 32-bit pattern.
constexpr uint32_t ERR_NATIVE_FILE_IS_A_DIRECTORY = 0xC00000BA;

// Returns `rc`; when out_err is non-null it first receives the formatted text,
// owned by `pool` (null if the pool fails or is null). The one-line failure site:
//   return err_set(pool, out_err, ERR_FILE_NOT_FOUND, "Missing \"%s\"", path);
template <typename... A>
[[nodiscard]] int err_set(Allocator* pool, const char** out_err, int rc, const char* format,
                          const A&... args) {
  if (out_err) *out_err = pool ? pool_format(pool, format, args...) : nullptr;
  return rc;
}
