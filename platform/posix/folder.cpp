// The native folder query on POSIX: getdents64 batches turned into native
// folder entries, each described by statx without following links. Entry
// names are the names' bytes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/err.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

namespace {

size_t header_size(uint32_t info_class) {
  switch (info_class) {
    case OS_FOLDER_DIRECTORY_INFO: return sizeof(OsFolderEntry);
    case OS_FOLDER_ID_FULL_INFO: return sizeof(OsFolderEntryIdFull);
    case OS_FOLDER_ID_EXTENDED_INFO: return sizeof(OsFolderEntryIdExtended);
    default: return 0;
  }
}

// Writes one entry at `out`; returns its size rounded to 8 bytes.
size_t write_entry(uint32_t info_class, unsigned char* out, const PosixStat& st, const char* name,
                   size_t name_length) {
  const size_t header = header_size(info_class);
  OsFolderEntryIdExtended e;  // the largest header; the others are its prefix in layout
  memset(&e, 0, sizeof e);
  OsFolderEntry& c = e.entry;
  c.creation_time = st.birth_time;
  c.last_access_time = st.access_time;
  c.last_write_time = st.write_time;
  c.change_time = st.change_time;
  c.end_of_file = S_ISDIR(st.mode) ? 0 : static_cast<int64_t>(st.size);
  c.allocation_size = static_cast<int64_t>(st.blocks * 512);
  c.attributes = posix_attributes(st);
  c.name_length = static_cast<uint32_t>(name_length);
  const uint32_t tag = S_ISLNK(st.mode) ? uint32_t{OS_REPARSE_TAG_SYMLINK} : 0u;
  if (info_class == OS_FOLDER_ID_FULL_INFO) {
    OsFolderEntryIdFull f;
    memset(&f, 0, sizeof f);
    f.entry = c;
    f.ea_size = tag;
    f.file_id = static_cast<int64_t>(st.ino);
    memcpy(out, &f, sizeof f);
  } else if (info_class == OS_FOLDER_ID_EXTENDED_INFO) {
    e.reparse_tag = tag;
    e.file_id[0] = st.ino;
    memcpy(out, &e, sizeof e);
  } else {
    memcpy(out, &c, sizeof c);
  }
  memcpy(out + header, name, name_length);
  return (header + name_length + 7) & ~size_t{7};
}

struct LinuxDirent64 {
  uint64_t d_ino;
  int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

}  // namespace

int os_directory_query(OsHandle handle, uint32_t info_class, bool single, bool restart,
                       void* buffer, uint32_t length, uint64_t* out_information) {
  if (out_information) *out_information = 0;
  const int fd = (handle < 0 || handle > INT_MAX) ? -1 : static_cast<int>(handle);
  if (fd < 0 || fcntl(fd, F_GETFD) < 0) return ERR_INVALID_HANDLE;
  const size_t header = header_size(info_class);
  if (header == 0) return ERR_INVALID_PARAMETER;
  if (buffer == nullptr || length < header) return POSIX_ERR_BAD_LENGTH;
  if (restart && lseek(fd, 0, SEEK_SET) < 0) return posix_error_from_errno(errno);

  auto* out = static_cast<unsigned char*>(buffer);
  size_t used = 0;
  size_t last = SIZE_MAX;  // offset of the last entry written
  alignas(8) unsigned char batch[16384];
  for (;;) {
    off_t batch_start = lseek(fd, 0, SEEK_CUR);
    if (batch_start < 0) return posix_error_from_errno(errno);
    ssize_t n = posix_retry([&] { return getdents64(fd, batch, sizeof batch); });
    if (n < 0) return posix_error_from_errno(errno);
    if (n == 0) break;
    off_t resume = batch_start;  // where the first entry not delivered begins
    for (ssize_t pos = 0; pos < n;) {
      LinuxDirent64 d;
      memcpy(&d, batch + pos, offsetof(LinuxDirent64, d_name));
      const char* name = reinterpret_cast<const char*>(batch + pos + offsetof(LinuxDirent64, d_name));
      const size_t name_length = strlen(name);
      if (used + header + name_length > length) {
        // The rest waits for the next query.
        if (lseek(fd, resume, SEEK_SET) < 0) return posix_error_from_errno(errno);
        if (used == 0) return POSIX_ERR_MORE_DATA;
        if (out_information) *out_information = used;
        return 0;
      }
      pos += d.d_reclen;
      resume = d.d_off;
      PosixStat st;
      int err = posix_stat_at(fd, name, AT_SYMLINK_NOFOLLOW, &st);
      if (err == ENOENT) continue;  // removed since it was listed
      if (err != 0) {
        memset(&st, 0, sizeof st);
        st.ino = d.d_ino;
        st.mode = d.d_type == DT_DIR ? S_IFDIR : d.d_type == DT_LNK ? S_IFLNK : S_IFREG;
      }
      if (last != SIZE_MAX) {
        const uint32_t next = static_cast<uint32_t>(used - last);
        memcpy(out + last, &next, 4);
      }
      last = used;
      used += write_entry(info_class, out + used, st, name, name_length);
      if (single || used >= length) {
        if (lseek(fd, resume, SEEK_SET) < 0) return posix_error_from_errno(errno);
        if (out_information) *out_information = used > length ? length : used;
        return 0;
      }
    }
  }
  if (used == 0) return ERR_NO_MORE_FILES;
  if (out_information) *out_information = used;
  return 0;
}
