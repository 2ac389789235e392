// The native information classes on POSIX: file, volume and object queries
// answered from statx, fstatfs and the descriptor, in the native record layouts.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "base/err.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

int64_t posix_time_units(int64_t seconds, uint32_t nanoseconds) {
  return (seconds + 11644473600LL) * 10000000LL + nanoseconds / 100;
}

int posix_stat_at(int dirfd, const char* name, int flags, PosixStat* out) {
  struct statx sx;
  const unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
  if (posix_retry([&] { return statx(dirfd, name, flags, mask, &sx); }) != 0) return errno;
  out->mode = sx.stx_mode;
  out->ino = sx.stx_ino;
  out->dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
  out->size = sx.stx_size;
  out->blocks = sx.stx_blocks;
  out->links = sx.stx_nlink;
  out->access_time = posix_time_units(sx.stx_atime.tv_sec, sx.stx_atime.tv_nsec);
  out->write_time = posix_time_units(sx.stx_mtime.tv_sec, sx.stx_mtime.tv_nsec);
  out->change_time = posix_time_units(sx.stx_ctime.tv_sec, sx.stx_ctime.tv_nsec);
  out->birth_time = (sx.stx_mask & STATX_BTIME)
                        ? posix_time_units(sx.stx_btime.tv_sec, sx.stx_btime.tv_nsec)
                        : out->write_time;
  return 0;
}

uint32_t posix_attributes(const PosixStat& st) {
  uint32_t a = 0;
  if (S_ISDIR(st.mode)) a |= OS_ATTRIBUTE_DIRECTORY;
  else if (S_ISLNK(st.mode)) a |= OS_ATTRIBUTE_REPARSE_POINT;
  else if (!S_ISREG(st.mode)) a |= OS_ATTRIBUTE_DEVICE;
  // Read-only in the native sense: nobody may write it.
  if (!S_ISLNK(st.mode) && (st.mode & 0222) == 0) a |= OS_ATTRIBUTE_READONLY;
  return a ? a : OS_ATTRIBUTE_NORMAL;
}

namespace {

int fd_of(OsHandle handle) {
  return (handle < 0 || handle > INT_MAX) ? -1 : static_cast<int>(handle);
}

// Status of the object behind the descriptor (O_PATH descriptors included).
// `cached_ok` takes what the kernel holds (AT_STATX_DONT_SYNC), without a
// round trip to a file server.
int stat_fd(int fd, PosixStat* st, bool cached_ok = false) {
  if (fd < 0) return ERR_INVALID_HANDLE;
  const int flags = AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW | (cached_ok ? AT_STATX_DONT_SYNC : 0);
  int err = posix_stat_at(fd, "", flags, st);
  return err ? posix_error_from_errno(err) : 0;
}

// The end of file: block devices report their size through an ioctl.
int64_t end_of_file(int fd, const PosixStat& st) {
  if (S_ISDIR(st.mode)) return 0;
  if (S_ISBLK(st.mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) == 0) return static_cast<int64_t>(bytes);
    return 0;
  }
  return static_cast<int64_t>(st.size);
}

void fill_basic(const PosixStat& st, OsFileBasicInfo* b) {
  b->creation_time = st.birth_time;
  b->last_access_time = st.access_time;
  b->last_write_time = st.write_time;
  b->change_time = st.change_time;
  b->attributes = posix_attributes(st);
  b->reserved = 0;
}

void fill_standard(int fd, const PosixStat& st, OsFileStandardInfo* s) {
  s->allocation_size = static_cast<int64_t>(st.blocks * 512);
  s->end_of_file = end_of_file(fd, st);
  s->links = st.links;
  s->delete_pending = 0;
  s->directory = S_ISDIR(st.mode) ? 1 : 0;
  s->reserved[0] = s->reserved[1] = 0;
}

int64_t position_of(int fd) {
  off_t pos = lseek(fd, 0, SEEK_CUR);
  return pos < 0 ? 0 : pos;  // pipes and O_PATH descriptors have none
}

// The descriptor's path as the kernel knows it, for the calls that need a name.
void proc_path(int fd, char* out, size_t size) { snprintf(out, size, "/proc/self/fd/%d", fd); }

int set_basic(int fd, const OsFileBasicInfo* b) {
  char proc[40];
  proc_path(fd, proc, sizeof proc);
  auto given = [](int64_t t) { return t != 0 && t != -1; };
  if (given(b->last_access_time) || given(b->last_write_time)) {
    struct timespec ts[2];
    const int64_t times[2] = {b->last_access_time, b->last_write_time};
    for (int i = 0; i < 2; ++i) {
      if (!given(times[i])) {
        ts[i].tv_sec = 0;
        ts[i].tv_nsec = UTIME_OMIT;
      } else {
        int64_t since_1970 = times[i] - 11644473600LL * 10000000LL;
        ts[i].tv_sec = since_1970 / 10000000LL;
        ts[i].tv_nsec = (since_1970 % 10000000LL) * 100;
        if (ts[i].tv_nsec < 0) {
          ts[i].tv_sec -= 1;
          ts[i].tv_nsec += 1000000000L;
        }
      }
    }
    if (utimensat(AT_FDCWD, proc, ts, 0) != 0) return posix_error_from_errno(errno);
  }
  if (b->attributes != 0) {
    PosixStat st;
    int rc = stat_fd(fd, &st);
    if (rc) return rc;
    if (S_ISLNK(st.mode)) return 0;  // a link has no permission bits of its own
    mode_t mode = st.mode & 07777;
    mode_t want = (b->attributes & OS_ATTRIBUTE_READONLY) ? (mode & ~0222u)
                  : (mode & 0222) ? mode
                                  : (mode | 0200);
    if (want != mode && chmod(proc, want) != 0) return posix_error_from_errno(errno);
  }
  return 0;
}

// Deletes the object behind the descriptor now: POSIX has no delete-on-close,
// and the name is found again through /proc after checking that it still
// names the same object.
int set_delete(int fd, bool remove) {
  if (!remove) return 0;
  PosixStat own;
  int rc = stat_fd(fd, &own);
  if (rc) return rc;
  char proc[40];
  proc_path(fd, proc, sizeof proc);
  char path[PATH_MAX + 1];
  ssize_t n = readlink(proc, path, PATH_MAX);
  if (n <= 0) return posix_error_from_errno(errno);
  path[n] = 0;
  PosixStat named;
  if (path[0] != '/' || posix_stat_at(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW, &named) != 0 ||
      named.dev != own.dev || named.ino != own.ino) {
    return ERR_FILE_NOT_FOUND;  // already gone or moved away
  }
  int r = S_ISDIR(own.mode) ? rmdir(path) : unlink(path);
  if (r != 0) return errno == EEXIST ? ERR_DIR_NOT_EMPTY : posix_error_from_errno(errno);
  return 0;
}

int set_end(int fd, int64_t size) {
  if (size < 0) return ERR_INVALID_PARAMETER;
  int fl = fcntl(fd, F_GETFL);
  if (fl < 0) return ERR_INVALID_HANDLE;
  PosixStat st;
  int rc = stat_fd(fd, &st);
  if (rc) return rc;
  if (S_ISBLK(st.mode)) return ERR_NOT_SUPPORTED;  // a device's size is fixed
  if ((fl & O_PATH) || (fl & O_ACCMODE) == O_RDONLY) return ERR_ACCESS_DENIED;
  if (posix_retry([&] { return ftruncate(fd, size); }) != 0) return posix_error_from_errno(errno);
  return 0;
}

// Reserves the disk blocks of [0, size) without changing the file's size:
// writes into reserved blocks then take the inode lock shared and run side by
// side, where writes into a hole are serialised behind block allocation.
int set_allocation(int fd, int64_t size) {
  if (size < 0) return ERR_INVALID_PARAMETER;
  PosixStat st;
  int rc = stat_fd(fd, &st);
  if (rc) return rc;
  if (!S_ISREG(st.mode)) return ERR_NOT_SUPPORTED;
  if (size == 0) return 0;
  if (posix_retry([&] { return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size); }) != 0) {
    return errno == EOPNOTSUPP ? ERR_NOT_SUPPORTED : posix_error_from_errno(errno);
  }
  return 0;
}

}  // namespace

int os_file_query_info(OsHandle handle, uint32_t info_class, void* buffer, uint32_t size,
                       uint64_t* out_information) {
  if (out_information) *out_information = 0;
  const int fd = fd_of(handle);
  PosixStat st;
  // The device and inode of an open file never change, and the kernel knows
  // them: a network file system is not asked for the rest.
  const bool ids_only = info_class == OS_FILE_ID_INFO || info_class == OS_FILE_INTERNAL_INFO;
  int rc = stat_fd(fd, &st, ids_only);
  if (rc) return rc;
  uint32_t need = 0;
  switch (info_class) {
    case OS_FILE_BASIC_INFO: need = sizeof(OsFileBasicInfo); break;
    case OS_FILE_STANDARD_INFO: need = sizeof(OsFileStandardInfo); break;
    case OS_FILE_INTERNAL_INFO: need = 8; break;
    case OS_FILE_POSITION_INFO: need = 8; break;
    case OS_FILE_MODE_INFO: need = 4; break;
    case OS_FILE_ALL_INFO: need = offsetof(OsFileAllInfo, name); break;
    case OS_FILE_REPARSE_POINT_INFO: need = sizeof(OsFileReparseInfo); break;
    case OS_FILE_ID_INFO: need = sizeof(OsFileIdInfo); break;
    default: return ERR_INVALID_PARAMETER;
  }
  if (buffer == nullptr || size < need) return POSIX_ERR_BAD_LENGTH;
  switch (info_class) {
    case OS_FILE_BASIC_INFO: {
      OsFileBasicInfo b;
      fill_basic(st, &b);
      memcpy(buffer, &b, sizeof b);
      break;
    }
    case OS_FILE_STANDARD_INFO: {
      OsFileStandardInfo s;
      fill_standard(fd, st, &s);
      memcpy(buffer, &s, sizeof s);
      break;
    }
    case OS_FILE_INTERNAL_INFO: memcpy(buffer, &st.ino, 8); break;
    case OS_FILE_POSITION_INFO: {
      int64_t pos = position_of(fd);
      memcpy(buffer, &pos, 8);
      break;
    }
    case OS_FILE_MODE_INFO: {
      // Every POSIX descriptor transfers synchronously on the calling thread.
      uint32_t mode = OS_OPTION_SYNCHRONOUS;
      memcpy(buffer, &mode, 4);
      break;
    }
    case OS_FILE_ALL_INFO: {
      OsFileAllInfo a;
      memset(&a, 0, sizeof a);
      fill_basic(st, &a.basic);
      fill_standard(fd, st, &a.standard);
      a.index_number = static_cast<int64_t>(st.ino);
      a.position = position_of(fd);
      a.mode = OS_OPTION_SYNCHRONOUS;
      a.name_length = 0;  // no volume-relative name is reported
      memcpy(buffer, &a, need);
      break;
    }
    case OS_FILE_REPARSE_POINT_INFO: {
      if (!S_ISLNK(st.mode)) return ERR_INVALID_PARAMETER;  // not a reparse point
      OsFileReparseInfo r{static_cast<int64_t>(st.ino), OS_REPARSE_TAG_SYMLINK, 0};
      memcpy(buffer, &r, sizeof r);
      break;
    }
    case OS_FILE_ID_INFO: {
      OsFileIdInfo id{st.dev, {st.ino, 0}};
      memcpy(buffer, &id, sizeof id);
      break;
    }
  }
  if (out_information) *out_information = need;
  return 0;
}

int os_file_set_info(OsHandle handle, uint32_t info_class, const void* buffer, uint32_t size) {
  const int fd = fd_of(handle);
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) return ERR_INVALID_HANDLE;
  if (buffer == nullptr) return ERR_INVALID_PARAMETER;
  switch (info_class) {
    case OS_FILE_BASIC_INFO: {
      if (size < sizeof(OsFileBasicInfo)) return POSIX_ERR_BAD_LENGTH;
      OsFileBasicInfo b;
      memcpy(&b, buffer, sizeof b);
      return set_basic(fd, &b);
    }
    case OS_FILE_DISPOSITION_INFO:
      if (size < 1) return POSIX_ERR_BAD_LENGTH;
      return set_delete(fd, *static_cast<const uint8_t*>(buffer) != 0);
    case OS_FILE_POSITION_INFO: {
      if (size < 8) return POSIX_ERR_BAD_LENGTH;
      int64_t pos;
      memcpy(&pos, buffer, 8);
      if (pos < 0) return ERR_INVALID_PARAMETER;
      if (lseek(fd, pos, SEEK_SET) < 0) {
        return errno == ESPIPE ? ERR_INVALID_PARAMETER : posix_error_from_errno(errno);
      }
      return 0;
    }
    case OS_FILE_END_OF_FILE_INFO: {
      if (size < 8) return POSIX_ERR_BAD_LENGTH;
      int64_t end;
      memcpy(&end, buffer, 8);
      return set_end(fd, end);
    }
    case OS_FILE_ALLOCATION_INFO: {
      if (size < 8) return POSIX_ERR_BAD_LENGTH;
      int64_t bytes;
      memcpy(&bytes, buffer, 8);
      return set_allocation(fd, bytes);
    }
    default:
      return ERR_INVALID_PARAMETER;
  }
}

int os_volume_query_info(OsHandle handle, uint32_t info_class, void* buffer, uint32_t size,
                         uint64_t* out_information) {
  if (out_information) *out_information = 0;
  const int fd = fd_of(handle);
  PosixStat st;
  int rc = stat_fd(fd, &st);
  if (rc) return rc;
  if (info_class == OS_VOLUME_VOLUME_INFO) {
    const uint32_t need = offsetof(OsVolumeInfo, label);
    if (buffer == nullptr || size < need) return POSIX_ERR_BAD_LENGTH;
    OsVolumeInfo v;
    memset(&v, 0, sizeof v);
    v.serial = static_cast<uint32_t>(st.dev ^ (st.dev >> 32));
    memcpy(buffer, &v, need);
    if (out_information) *out_information = need;
    return 0;
  }
  if (info_class == OS_VOLUME_DEVICE_INFO) {
    if (buffer == nullptr || size < sizeof(OsDeviceInfo)) return POSIX_ERR_BAD_LENGTH;
    struct statfs fs;
    if (posix_retry([&] { return fstatfs(fd, &fs); }) != 0) return posix_error_from_errno(errno);
    // Network file systems: NFS, SMB, CIFS, SMB2, 9P, AFS, Coda.
    const unsigned long remote[] = {0x6969, 0x517B, 0xFF534D42, 0xFE534D42,
                                    0x01021997, 0x5346414F, 0x73757245};
    OsDeviceInfo d{7, 0};  // a disk device
    for (unsigned long m : remote) {
      if (static_cast<unsigned long>(fs.f_type) == m) d.characteristics |= OS_DEVICE_REMOTE;
    }
    memcpy(buffer, &d, sizeof d);
    if (out_information) *out_information = sizeof d;
    return 0;
  }
  return ERR_INVALID_PARAMETER;
}

int os_object_query_info(OsHandle handle, uint32_t info_class, void* buffer, uint32_t size,
                         uint32_t* out_returned) {
  (void)buffer;
  (void)size;
  if (out_returned) *out_returned = 0;
  const int fd = fd_of(handle);
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) return ERR_INVALID_HANDLE;
  if (info_class != OS_OBJECT_NAME_INFO) return ERR_INVALID_PARAMETER;
  // POSIX has no native object namespace: a descriptor has no device name
  // from which a volume part could be cut.
  return ERR_NOT_SUPPORTED;
}

int os_file_delete(const OsNativeName* name) {
  if (name == nullptr || name->bytes == nullptr || name->byte_count == 0) {
    return ERR_INVALID_NAME;
  }
  if (unlink(name->bytes) == 0) return 0;
  if (errno != EISDIR) return posix_error_from_errno(errno);
  if (rmdir(name->bytes) == 0) return 0;
  return errno == EEXIST ? ERR_DIR_NOT_EMPTY : posix_error_from_errno(errno);
}
