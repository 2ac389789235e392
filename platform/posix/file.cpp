// Opening, creating and closing files and folders on POSIX: the native access,
// disposition and options values are mapped onto open/openat flags and mkdir.
// Share modes are enforced among writers only, through advisory locks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/err.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

const bool OS_WINDOWS_NAMES = false;

namespace {

// Opens with the given flags, retrying on EINTR; returns the descriptor or -1.
int open_retry(const char* path, int flags, mode_t mode) {
  return posix_retry([&] { return open(path, flags, mode); });
}

// The process's file mode creation mask, read once. Asking umask() means
// setting it, which would race with files other threads create meanwhile.
mode_t creation_mask() {
  static const mode_t mask = [] {
    mode_t found = 0777;  // unknown: every create with an access is corrected
    const int fd = open_retry("/proc/self/status", O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) return found;
    char text[4096];
    const ssize_t n = posix_retry([&] { return read(fd, text, sizeof text - 1); });
    close(fd);
    text[n > 0 ? n : 0] = 0;
    if (const char* line = strstr(text, "\nUmask:")) {
      char* end = nullptr;
      const unsigned long value = strtoul(line + 7, &end, 8);
      if (end != line + 7 && value <= 0777) found = static_cast<mode_t>(value);
    }
    return found;
  }();
  return mask;
}

// How a create gives a new object the access asked for in its name: the
// permission bits it is made with, and those it should end with.
struct AccessPlan {
  mode_t create_mode;
  mode_t final_mode;
  gid_t group;
  uid_t owner;
  bool regroup;  // the object must be given `group` after it is made
  bool reown;    // ... and `owner` (only the superuser may)
  bool settle;   // something is left to do once it is made
};

AccessPlan plan_access(const OsAccess* access, mode_t mode, bool folder) {
  AccessPlan p{};
  p.final_mode = folder ? access->mode & (S_ISGID | S_ISVTX | 0777) : access->mode & mode & 0666;
  // In a set-group-ID folder the system hands the group down itself.
  p.regroup = access->has_group && !(access->mode & S_ISGID) && access->group != getegid();
  p.group = access->group;
  p.owner = access->owner;
  p.reown = access->has_group && geteuid() == 0 && access->owner != 0;
  p.regroup = p.regroup || p.reown;
  // Until the group is right the object gives its group nothing: the
  // process's own group must not read what was meant for another.
  p.create_mode = p.regroup ? p.final_mode & ~S_IRWXG : p.final_mode;
  p.settle = p.regroup || (p.create_mode & 0777 & creation_mask()) != 0;
  return p;
}

// Finishes what plan_access planned on the object just made, open on `fd`.
// A failure leaves it with fewer permissions than planned, never more.
void settle_access(int fd, const AccessPlan& p) {
  mode_t mode = p.create_mode;
  const uid_t owner = p.reown ? p.owner : static_cast<uid_t>(-1);
  if (p.regroup && fchown(fd, owner, p.group) == 0) mode = p.final_mode;
  (void)fchmod(fd, mode);
}

int create_folder_node(const char* path, uint32_t disposition, const OsAccess* access,
                       uint32_t* info) {
  const AccessPlan plan = access ? plan_access(access, 0777, true) : AccessPlan{};
  switch (disposition) {
    case OS_DISPOSITION_OPEN:
      *info = OS_CREATE_OPENED;
      return 0;
    case OS_DISPOSITION_CREATE:
    case OS_DISPOSITION_OPEN_IF:
      if (mkdir(path, access ? plan.create_mode : 0777) == 0) {
        *info = OS_CREATE_CREATED;
        if (plan.settle) {
          // Through a descriptor opened without following links: in a shared
          // store another member could have put a link in the folder's place.
          const int fd = open_retry(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
          if (fd >= 0) {
            settle_access(fd, plan);
            close(fd);
          }
        }
        return 0;
      }
      if (errno == EEXIST && disposition == OS_DISPOSITION_OPEN_IF) {
        *info = OS_CREATE_OPENED;
        return 0;
      }
      return posix_error_for_path(errno, path);
    default:
      return ERR_INVALID_PARAMETER;  // a folder cannot be overwritten
  }
}

}  // namespace

int os_file_create(const OsNativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                   uint32_t disposition, uint32_t options, OsHandle* out_handle,
                   uint32_t* out_information) {
  uint32_t info_local = 0;
  uint32_t* info = out_information ? out_information : &info_local;
  *out_handle = OS_NO_HANDLE;
  *info = 0;
  if (name == nullptr || name->bytes == nullptr || name->bytes[0] == 0) return ERR_INVALID_NAME;
  if (disposition > OS_DISPOSITION_OVERWRITE_IF) return ERR_INVALID_PARAMETER;
  const char* path = name->bytes;

  const bool reads = (access & OS_FILE_READ_DATA) != 0;
  const bool writes = (access & OS_FILE_WRITE_DATA) != 0;
  const bool appends = (access & OS_FILE_APPEND_DATA) != 0;
  int flags = O_CLOEXEC;
  if (options & OS_OPTION_OPEN_REPARSE_POINT) flags |= O_NOFOLLOW;

  if (options & OS_OPTION_DIRECTORY) {
    // For a folder, "write data" means adding entries: the descriptor only
    // needs to list it, or nothing at all.
    uint32_t created = 0;
    int rc = create_folder_node(path, disposition, name->access, &created);
    if (rc != 0) return rc;
    flags |= O_DIRECTORY | (reads ? O_RDONLY : O_PATH);
    int fd = open_retry(path, flags, 0);
    if (fd < 0) return posix_error_for_path(errno, path);
    *out_handle = fd;
    *info = created;
    return 0;
  }

  const bool data = reads || writes || appends;
  const bool creates = disposition != OS_DISPOSITION_OPEN && disposition != OS_DISPOSITION_OVERWRITE;
  if (!data && !creates) {
    flags |= O_PATH;  // attributes, control and delete only: no data permission needed
  } else if (writes || appends) {
    flags |= reads ? O_RDWR : O_WRONLY;
    if (appends && !writes) flags |= O_APPEND;
  } else {
    flags |= O_RDONLY;
  }
  const mode_t default_mode = (attributes & OS_ATTRIBUTE_READONLY) ? 0444 : 0666;
  const AccessPlan plan =
      name->access ? plan_access(name->access, default_mode, false) : AccessPlan{};
  const mode_t mode = name->access ? plan.create_mode : default_mode;
  const bool truncates = disposition == OS_DISPOSITION_SUPERSEDE ||
                         disposition == OS_DISPOSITION_OVERWRITE ||
                         disposition == OS_DISPOSITION_OVERWRITE_IF;

  int fd = -1;
  if (disposition == OS_DISPOSITION_CREATE) {
    fd = open_retry(path, flags | O_CREAT | O_EXCL, mode);
    if (fd < 0) return posix_error_for_path(errno, path);
    *info = OS_CREATE_CREATED;
  } else {
    // Open what is there first, so that the result can tell opened from
    // created; a name that appears between the two attempts is opened.
    for (int attempt = 0; fd < 0; ++attempt) {
      fd = open_retry(path, flags, 0);  // truncated below, once the file is ours
      if (fd >= 0) {
        *info = disposition == OS_DISPOSITION_SUPERSEDE ? OS_CREATE_SUPERSEDED
                : truncates                             ? OS_CREATE_OVERWRITTEN
                                                        : OS_CREATE_OPENED;
        break;
      }
      if (errno != ENOENT || !creates || attempt == 8) return posix_error_for_path(errno, path);
      fd = open_retry(path, flags | O_CREAT | O_EXCL, mode);
      if (fd >= 0) {
        *info = OS_CREATE_CREATED;
        break;
      }
      if (errno != EEXIST) return posix_error_for_path(errno, path);
    }
  }

  if (*info == OS_CREATE_CREATED && plan.settle) settle_access(fd, plan);

  // A writer that denies write sharing holds an exclusive lock and one that
  // shares writing a shared lock, so two writers that exclude each other
  // fail as the native share check fails them (two copies into one plain
  // file would otherwise interleave their chunks). Readers take no lock.
  const bool unseen = *info == OS_CREATE_CREATED && (options & OS_OPTION_UNSEEN_NAME);
  if ((writes || appends) && !unseen) {
    const int how = ((share & OS_SHARE_WRITE) ? LOCK_SH : LOCK_EX) | LOCK_NB;
    if (posix_retry([&] { return flock(fd, how); }) != 0 && errno == EWOULDBLOCK) {
      close(fd);
      *info = 0;
      return ERR_SHARING_VIOLATION;
    }
  }
  struct stat opened;
  if (truncates && *info != OS_CREATE_CREATED && fstat(fd, &opened) == 0 &&
      S_ISREG(opened.st_mode) && posix_retry([&] { return ftruncate(fd, 0); }) != 0) {
    const int err = errno;
    close(fd);
    *info = 0;
    return posix_error_from_errno(err);
  }

  if ((options & OS_OPTION_NON_DIRECTORY) && *info != OS_CREATE_CREATED) {
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      close(fd);
      return ERR_ACCESS_DENIED;
    }
  }
  if ((options & OS_OPTION_NO_BUFFERING) && !(flags & O_PATH)) {
    // Set after opening: a file system that refuses direct I/O fails the open
    // only after creating the file, so asking at open time would leave it behind.
    // Of the flags F_SETFL sets, only O_APPEND can be on here.
    (void)fcntl(fd, F_SETFL, (flags & O_APPEND) | O_DIRECT);  // refused: stay buffered
  }
  *out_handle = fd;
  return 0;
}

int os_handle_close(OsHandle handle) {
  // Descriptors 0 to 2 are the standard handles; closing one would hand its
  // number to the next file opened.
  if (handle <= 2 || handle > INT_MAX) return 0;
  // Not retried: on Linux the descriptor is gone after EINTR.
  if (close(static_cast<int>(handle)) != 0 && errno != EINTR) return posix_error_from_errno(errno);
  return 0;
}

namespace {
// The standard handles as set by os_standard_handle_set; -2 for the descriptor itself.
std::atomic<OsHandle> g_standard[3] = {-2, -2, -2};
}  // namespace

OsHandle os_standard_handle(int which) {
  if (which < 0 || which > 2) return OS_NO_HANDLE;
  const OsHandle set = g_standard[which].load(std::memory_order_acquire);
  return set == -2 ? which : set;
}

void os_standard_handle_set(int which, OsHandle handle) {
  if (which < 0 || which > 2) return;
  g_standard[which].store(handle == which ? -2 : handle, std::memory_order_release);
}

int os_pipe_create(OsHandle* out_read, OsHandle* out_write) {
  *out_read = *out_write = OS_NO_HANDLE;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return posix_error_from_errno(errno);
  *out_read = fds[0];
  *out_write = fds[1];
  return 0;
}

int os_current_folder(char* buffer, size_t capacity, size_t* out_length) {
  if (out_length) *out_length = 0;
  if (buffer == nullptr || capacity == 0) return ERR_INVALID_PARAMETER;
  if (getcwd(buffer, capacity) == nullptr) {
    buffer[0] = 0;
    return errno == ERANGE ? ERR_FILENAME_EXCED_RANGE : posix_error_from_errno(errno);
  }
  if (out_length) *out_length = strlen(buffer);
  return 0;
}

int os_drive_current_folder(char letter, char* buffer, size_t capacity, size_t* out_length) {
  (void)letter;
  if (buffer && capacity) buffer[0] = 0;
  if (out_length) *out_length = 0;
  return ERR_NOT_SUPPORTED;
}

int os_final_path(const OsNativeName* name, char* buffer, size_t capacity, size_t* out_length) {
  if (out_length) *out_length = 0;
  if (buffer == nullptr || capacity == 0) return ERR_INVALID_PARAMETER;
  buffer[0] = 0;
  if (name == nullptr || name->bytes == nullptr || name->bytes[0] == 0) return ERR_INVALID_NAME;
  char* real = realpath(name->bytes, nullptr);
  if (real == nullptr) return posix_error_for_path(errno, name->bytes);
  const size_t length = strlen(real);
  int rc = 0;
  if (length < capacity) {
    memcpy(buffer, real, length + 1);
    if (out_length) *out_length = length;
  } else {
    rc = ERR_FILENAME_EXCED_RANGE;
  }
  free(real);
  return rc;
}

int os_access_query(const OsNativeName* name, bool link_itself, OsAccess* out_access) {
  memset(out_access, 0, sizeof *out_access);
  if (name == nullptr || name->bytes == nullptr || name->bytes[0] == 0) return ERR_INVALID_NAME;
  struct stat st;
  if ((link_itself ? lstat(name->bytes, &st) : stat(name->bytes, &st)) != 0) {
    return posix_error_for_path(errno, name->bytes);
  }
  out_access->mode = st.st_mode & 07777;
  out_access->group = st.st_gid;
  out_access->owner = st.st_uid;
  out_access->has_group = 1;
  out_access->owned = st.st_uid == geteuid();
  out_access->others_write = (st.st_mode & S_IWOTH) != 0;
  return 0;
}
