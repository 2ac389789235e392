// Helpers shared by the POSIX implementation files: the errno translation and
// the EINTR retry. Included only inside platform/posix/.
#pragma once

#include <cerrno>

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
