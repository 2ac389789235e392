// Publication on POSIX: exclusive and replacing renames, and the process id
// for temporary names.
#include "platform/posix/publish.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include <pthread.h>

#include "base/err.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

// The error of a failed rename or link: ENOENT names whichever side is at
// fault (the source missing, or the folder that should hold the target).
int rename_error(int err, const char* from, const char* to) {
  if (err != ENOENT) return posix_error_from_errno(err);
  struct stat st;
  if (lstat(from, &st) != 0) return posix_error_for_path(ENOENT, from);
  return posix_error_for_path(ENOENT, to);
}

}  // namespace

int posix_rename_by_link(const char* from, const char* to) {
  if (link(from, to) != 0) {
    const int err = errno;
    // A network file system may report a taken name as a general failure
    // (the file transfer protocol over SSH has no code for it): the rename
    // cannot take a name that is there, whatever the reason given.
    struct stat st;
    if (err != EEXIST && err != ENOENT && lstat(to, &st) == 0) return ERR_ALREADY_EXISTS;
    return rename_error(err, from, to);
  }
  if (unlink(from) == 0) return 0;
  // Both names now lead to the file; a rename must leave exactly one, and
  // `to` is certainly ours (the link was exclusive), so it goes again.
  const int rc = posix_error_from_errno(errno);
  (void)unlink(to);
  return rc;
}

int os_file_rename(const OsNativeName* from, const OsNativeName* to, bool replace) {
  if (from == nullptr || from->bytes == nullptr || from->bytes[0] == 0 || to == nullptr ||
      to->bytes == nullptr || to->bytes[0] == 0) {
    return ERR_INVALID_NAME;
  }
  const char* a = from->bytes;
  const char* b = to->bytes;
  if (replace) {
    if (rename(a, b) == 0) return 0;
    return rename_error(errno, a, b);
  }
  if (renameat2(AT_FDCWD, a, AT_FDCWD, b, RENAME_NOREPLACE) == 0) return 0;
  // Some file systems (and old kernels) do not know the flag; a hard link is
  // just as exclusive.
  if (errno == EINVAL || errno == ENOSYS) return posix_rename_by_link(a, b);
  return rename_error(errno, a, b);
}

namespace {
// The id is asked once per process for every temporary name; a forked child
// forgets the parent's.
std::atomic<uint64_t> g_process_id{0};
void forget_process_id() { g_process_id.store(0, std::memory_order_relaxed); }
}  // namespace

uint64_t os_process_id() {
  uint64_t id = g_process_id.load(std::memory_order_relaxed);
  if (id == 0) {
    static const int registered = pthread_atfork(nullptr, nullptr, forget_process_id);
    (void)registered;
    id = static_cast<uint64_t>(getpid());
    g_process_id.store(id, std::memory_order_relaxed);
  }
  return id;
}
