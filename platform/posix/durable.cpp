// Flushes to stable storage on POSIX: fsync for files and folders, syncfs for
// a whole file system.
#include <fcntl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <climits>

#include "base/err.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

// fsync on `fd`; a descriptor that cannot be flushed (EINVAL or EROFS for
// pipes, sockets and some special files) has nothing to make durable.
int sync_descriptor(int fd) {
  if (posix_retry([&] { return fsync(fd); }) == 0) return 0;
  if (errno == EINVAL || errno == EROFS) return 0;
  return posix_error_from_errno(errno);
}

// syncfs stops in the kernel's cache for these: their servers write a file's
// data to stable storage only when that file is flushed. User-space file
// systems (shared folders and cluster volumes mounted through them), SMB in
// its three names, and 9P.
bool flush_stops_locally(int fd) {
  struct statfs fs;
  // Unknown counts as remote: one flush too many costs time, one too few data.
  if (posix_retry([&] { return fstatfs(fd, &fs); }) != 0) return true;
  const unsigned long per_file[] = {0x65735546, 0xFF534D42, 0xFE534D42, 0x517B, 0x01021997};
  for (unsigned long magic : per_file) {
    if (static_cast<unsigned long>(fs.f_type) == magic) return true;
  }
  return false;
}

}  // namespace

int os_file_sync(OsHandle handle) {
  if (handle < 0 || handle > INT_MAX) return ERR_INVALID_HANDLE;
  return sync_descriptor(static_cast<int>(handle));
}

int os_folder_sync(const OsNativeName* name) {
  if (name == nullptr || name->bytes == nullptr || name->bytes[0] == 0) return ERR_INVALID_NAME;
  const int fd = posix_retry([&] { return open(name->bytes, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
  if (fd < 0) return posix_error_for_path(errno, name->bytes);
  const int rc = sync_descriptor(fd);
  close(fd);
  return rc;
}

int os_file_system_sync(OsHandle handle) {
  if (handle < 0) return 6;
  // syncfs writes back the whole file system: every chunk file this copy
  // stored, the dictionary folders and the map, in one call.
  if (syncfs(static_cast<int>(handle)) != 0) return posix_error_from_errno(errno);
  // Where that does not reach the server, the file itself still must.
  if (flush_stops_locally(static_cast<int>(handle))) return sync_descriptor(static_cast<int>(handle));
  return 0;
}

int os_file_system_syncs_files(OsHandle handle, bool* out_yes) {
  *out_yes = true;
  if (handle < 0 || handle > INT_MAX) return ERR_INVALID_HANDLE;
  *out_yes = !flush_stops_locally(static_cast<int>(handle));
  return 0;
}
