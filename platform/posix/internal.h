// Helpers shared by the POSIX implementation files: the errno translation, the
// EINTR retry and the file status the information classes are built from.
// Included only inside platform/posix/.
#pragma once

#include <cerrno>
#include <cstdint>

// Translates an errno value into the Windows error number the program speaks.
// ENOENT gives 2 (file not found); callers that know a folder on the way is
// missing turn it into 3 themselves.
int posix_error_from_errno(int err);

// Runs `call` again while it fails with EINTR, so an interrupted system call
// never surfaces. Returns the call's last result.
template <typename F>
auto posix_retry(F call) -> decltype(call()) {
  decltype(call()) rc;
  do {
    rc = call();
  } while (rc == -1 && errno == EINTR);
  return rc;
}

// Translates an errno value from a call on `path`: ENOENT gives 3 when the
// folder that should hold the last component is missing, else 2.
int posix_error_for_path(int err, const char* path);

// What the file services need of a file's status, from statx.
struct PosixStat {
  uint32_t mode;  // st_mode bits
  uint64_t ino;
  uint64_t dev;   // makedev(major, minor)
  uint64_t size;  // bytes
  uint64_t blocks;  // 512-byte blocks
  uint32_t links;
  int64_t birth_time;  // 100 ns units since 1601; the write time when the file system has none
  int64_t access_time;
  int64_t write_time;
  int64_t change_time;
};

// Reads the status of `name` relative to `dirfd` (AT_* flags as for statx; an
// empty name with AT_EMPTY_PATH describes dirfd itself). Returns 0 or errno.
int posix_stat_at(int dirfd, const char* name, int flags, PosixStat* out);

// The native attributes of a file of this status.
uint32_t posix_attributes(const PosixStat& st);

// Converts seconds and nanoseconds since 1970 into 100 ns units since 1601.
int64_t posix_time_units(int64_t seconds, uint32_t nanoseconds);

// The Windows error for "buffer smaller than the record" (bad length).
constexpr int POSIX_ERR_BAD_LENGTH = 24;
// The Windows error for "more data" (only a variable tail did not fit).
constexpr int POSIX_ERR_MORE_DATA = 234;
