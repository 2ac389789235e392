// File access over the platform's native create and information calls. The
// mode-bit arithmetic lives here so that every platform runs, and tests, the
// same rules; the platform only maps the native values it is given.
#include "base/file.h"

#include <atomic>
#include <cstring>

#include "base/err.h"
#include "base/text.h"
#include "base/transfer.h"

const FilePlatform FILE_PLATFORM_REAL = {
    os_file_create, os_file_set_info, os_file_rename,
    os_file_sync,   os_folder_sync,   os_file_system_sync, os_file_delete,
};

namespace {

constexpr uint32_t ACCESS_OPEN_BASE =
    OS_READ_CONTROL | OS_SYNCHRONIZE | OS_FILE_READ_ATTRIBUTES | OS_FILE_READ_EA;  // 0x120088
constexpr uint32_t ACCESS_CREATE_FILE = OS_SYNCHRONIZE | OS_READ_CONTROL | OS_FILE_READ_DATA |
                                        OS_FILE_WRITE_DATA | OS_FILE_READ_ATTRIBUTES |
                                        OS_FILE_WRITE_ATTRIBUTES | OS_FILE_READ_EA |
                                        OS_FILE_WRITE_EA;  // 0x12019B
constexpr uint32_t ACCESS_CREATE_FOLDER = ACCESS_CREATE_FILE & ~OS_FILE_READ_DATA;  // 0x12019A
constexpr uint32_t ACCESS_DELETE = OS_DELETE | OS_READ_CONTROL | OS_SYNCHRONIZE |
                                   OS_FILE_READ_ATTRIBUTES | OS_FILE_WRITE_ATTRIBUTES |
                                   OS_FILE_READ_EA | OS_FILE_WRITE_EA;  // 0x130198
constexpr uint32_t SHARE_ALL = OS_SHARE_READ | OS_SHARE_WRITE | OS_SHARE_DELETE;
constexpr uint32_t ATTRIBUTES_EXISTING = OS_ATTRIBUTE_HIDDEN | OS_ATTRIBUTE_SYSTEM;  // 6

const FilePlatform* g_platform = &FILE_PLATFORM_REAL;

int check_path(const char* path) {
  if (path == nullptr) return ERR_OUTOFMEMORY;
  if (path[0] == 0) return ERR_INVALID_NAME;
  return 0;
}

// check_path, then the platform's name for `path` (in `pool`).
int checked_native_name(ScratchPool* pool, const char* path, NativeName* out_name) {
  const int rc = check_path(path);
  return rc != 0 ? rc : path_native_name(pool, path, out_name);
}

}  // namespace

FileRequest open_file_request(uint32_t mode) {
  FileRequest r{};
  const bool writes_data = (mode & (OPEN_WRITE | OPEN_CREATE | OPEN_TRUNCATE)) != 0;
  r.access = ACCESS_OPEN_BASE;
  if (mode & OPEN_READ) r.access |= OS_FILE_READ_DATA;
  if (mode & OPEN_EXECUTE) r.access |= OS_FILE_EXECUTE;
  if (mode & (OPEN_WRITE_ATTRIBUTES | OPEN_CREATE)) {
    r.access |= OS_FILE_WRITE_ATTRIBUTES | OS_FILE_WRITE_EA;
  }
  if (writes_data) r.access |= OS_FILE_WRITE_DATA;
  if (mode & OPEN_APPEND) {
    r.access = (r.access & ~(OS_FILE_READ_DATA | OS_FILE_WRITE_DATA)) | OS_FILE_APPEND_DATA;
  }
  if (mode & OPEN_ASYNC) r.access &= ~OS_SYNCHRONIZE;

  r.share = SHARE_ALL;
  if ((writes_data || (mode & OPEN_APPEND)) && !(mode & OPEN_SHARE_ALL)) {
    r.share = OS_SHARE_READ | OS_SHARE_DELETE;
  }
  if (mode & OPEN_DENY_WRITE) r.share &= ~OS_SHARE_WRITE;

  const bool create = (mode & OPEN_CREATE) != 0;
  const bool truncate = (mode & OPEN_TRUNCATE) != 0;
  r.attributes = OS_ATTRIBUTE_NORMAL;
  if (create && truncate) {
    r.disposition = OS_DISPOSITION_OVERWRITE_IF;
  } else if (create) {
    r.disposition = OS_DISPOSITION_OPEN_IF;
  } else if (truncate) {
    r.disposition = OS_DISPOSITION_OVERWRITE;
  } else {
    r.disposition = OS_DISPOSITION_OPEN;
    r.attributes = ATTRIBUTES_EXISTING;
  }

  r.options = (mode & OPEN_ASYNC) ? 0u : uint32_t{OS_OPTION_SYNCHRONOUS};
  if (mode & OPEN_UNBUFFERED) r.options |= OS_OPTION_NO_BUFFERING;
  if (mode & OPEN_WRITE_THROUGH) r.options |= OS_OPTION_WRITE_THROUGH;
  if (mode & OPEN_REPARSE_POINT) r.options |= OS_OPTION_OPEN_REPARSE_POINT;
  return r;
}

FileRequest create_file_request(uint32_t mode) {
  FileRequest r{};
  r.access = ACCESS_CREATE_FILE;
  if (mode & OPEN_ASYNC) r.access &= ~OS_SYNCHRONIZE;
  if (mode & OPEN_APPEND) {
    r.access = (r.access & ~(OS_FILE_READ_DATA | OS_FILE_WRITE_DATA)) | OS_FILE_APPEND_DATA;
  }
  r.share = OS_SHARE_READ | OS_SHARE_DELETE;
  if (mode & OPEN_SHARE_ALL) r.share |= OS_SHARE_WRITE;
  r.attributes = OS_ATTRIBUTE_ARCHIVE;
  r.disposition = (mode & OPEN_TRUNCATE) ? OS_DISPOSITION_SUPERSEDE : OS_DISPOSITION_CREATE;
  r.options = OS_OPTION_SYNCHRONOUS | OS_OPTION_NON_DIRECTORY;
  if (mode & OPEN_ASYNC) r.options &= ~OS_OPTION_SYNCHRONOUS;
  if (mode & OPEN_UNBUFFERED) r.options |= OS_OPTION_NO_BUFFERING;
  if (mode & OPEN_WRITE_THROUGH) r.options |= OS_OPTION_WRITE_THROUGH;
  if (mode & OPEN_REPARSE_POINT) r.options |= OS_OPTION_OPEN_REPARSE_POINT;
  if (mode & OPEN_UNSEEN_NAME) r.options |= OS_OPTION_UNSEEN_NAME;
  return r;
}

int native_create(const NativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                  uint32_t disposition, uint32_t options, OsHandle* out_handle,
                  uint32_t* out_information) {
  return g_platform->create(&name->name, access, share, attributes, disposition, options, out_handle,
                        out_information);
}

namespace {

// native_open, giving a file or folder that the call makes `grant` (null:
// the process's defaults).
int native_open_granting(const char* path, uint32_t access, uint32_t share, uint32_t attributes,
                         uint32_t disposition, uint32_t options, OsHandle* out_handle,
                         uint32_t* out_information, const OsAccess* grant) {
  *out_handle = OS_NO_HANDLE;
  if (out_information) *out_information = 0;
  ScratchPool local;
  NativeName name;
  int rc = path_native_name(&local, path, &name);
  if (rc != 0) return rc;
  name.name.access = grant;
  return native_create(&name, access, share, attributes, disposition, options, out_handle,
                       out_information);
}

int open_file_granting(OsHandle* out_handle, const char* path, uint32_t mode,
                       const OsAccess* grant) {
  if (out_handle) *out_handle = OS_NO_HANDLE;
  int rc = check_path(path);
  if (rc != 0) return rc;
  const FileRequest r = open_file_request(mode);
  OsHandle h = OS_NO_HANDLE;
  rc = native_open_granting(path, r.access, r.share, r.attributes, r.disposition, r.options, &h,
                            nullptr, grant);
  if (rc == ERR_ACCESS_DENIED && (mode & OPEN_CREATE)) {
    // Some files refuse to be overwritten (hidden or system ones on some
    // platforms) but may still be opened and emptied.
    rc = native_open(path, r.access, r.share, ATTRIBUTES_EXISTING, OS_DISPOSITION_OPEN, r.options,
                     &h, nullptr);
    if (rc == 0 && (mode & OPEN_TRUNCATE)) {
      rc = set_file_end(h, 0);
      if (rc != 0) {
        close_handle(h);
        h = OS_NO_HANDLE;
      }
    }
  }
  if (rc != 0) return rc;
  if (out_handle) {
    *out_handle = h;
  } else {
    close_handle(h);
  }
  return 0;
}

}  // namespace

int native_open(const char* path, uint32_t access, uint32_t share, uint32_t attributes,
                uint32_t disposition, uint32_t options, OsHandle* out_handle,
                uint32_t* out_information) {
  return native_open_granting(path, access, share, attributes, disposition, options, out_handle,
                              out_information, nullptr);
}

int open_file(OsHandle* out_handle, const char* path, uint32_t mode) {
  return open_file_granting(out_handle, path, mode, nullptr);
}

int create_file(OsHandle* out_handle, const char* path, uint32_t mode, const OsAccess* access) {
  *out_handle = OS_NO_HANDLE;
  int rc = check_path(path);
  if (rc != 0) return rc;
  const FileRequest r = create_file_request(mode);
  return native_open_granting(path, r.access, r.share, r.attributes, r.disposition, r.options,
                              out_handle, nullptr, access);
}

int create_folder_handle(OsHandle* out_handle, const char* path, const OsAccess* access) {
  *out_handle = OS_NO_HANDLE;
  int rc = check_path(path);
  if (rc != 0) return rc;
  return native_open_granting(path, ACCESS_CREATE_FOLDER, SHARE_ALL, OS_ATTRIBUTE_NORMAL,
                              OS_DISPOSITION_CREATE, OS_OPTION_DIRECTORY | OS_OPTION_SYNCHRONOUS,
                              out_handle, nullptr, access);
}

int create_folder(const char* path, const OsAccess* access) {
  OsHandle h;
  int rc = create_folder_handle(&h, path, access);
  if (rc == 0) close_handle(h);
  return rc;
}

int delete_file(const char* path) {
  int rc = check_path(path);
  if (rc != 0) return rc;
  OsHandle h;
  rc = native_open(path, ACCESS_DELETE, SHARE_ALL, ATTRIBUTES_EXISTING, OS_DISPOSITION_OPEN,
                   OS_OPTION_OPEN_REPARSE_POINT | OS_OPTION_SYNCHRONOUS, &h, nullptr);
  if (rc != 0) return rc;
  const uint8_t remove = 1;
  rc = set_file_info(h, OS_FILE_DISPOSITION_INFO, &remove, 1);
  if (rc == ERR_ACCESS_DENIED) {
    // A read-only attribute stands in the way: clear it and try again.
    OsFileBasicInfo basic{-1, -1, -1, -1, OS_ATTRIBUTE_NORMAL, 0};
    if (set_file_info(h, OS_FILE_BASIC_INFO, &basic, sizeof basic) == 0) {
      rc = set_file_info(h, OS_FILE_DISPOSITION_INFO, &remove, 1);
    }
  }
  close_handle(h);
  return rc;
}

int delete_name(const char* path) {
  ScratchPool local;
  NativeName name;
  const int rc = checked_native_name(&local, path, &name);
  if (rc != 0) return rc;
  return g_platform->remove(&name.name);
}

int query_path_kind(const char* path, bool* out_is_folder) {
  if (out_is_folder) *out_is_folder = false;
  int rc = check_path(path);
  if (rc != 0) return rc;
  OsHandle h;
  rc = native_open(path, ACCESS_OPEN_BASE, SHARE_ALL, ATTRIBUTES_EXISTING, OS_DISPOSITION_OPEN,
                   OS_OPTION_SYNCHRONOUS, &h, nullptr);
  if (rc != 0) return rc;
  if (out_is_folder) {
    OsFileStandardInfo standard{};
    rc = query_file_info(h, OS_FILE_STANDARD_INFO, &standard, sizeof standard, nullptr);
    if (rc == 0) *out_is_folder = standard.directory != 0;
  }
  close_handle(h);
  return rc;
}

int query_path_access(const char* path, bool link_itself, OsAccess* out_access) {
  *out_access = OsAccess{};
  ScratchPool local;
  NativeName name;
  const int rc = checked_native_name(&local, path, &name);
  if (rc != 0) return rc;
  return os_access_query(&name.name, link_itself, out_access);
}

int read_whole_file(const char* path, void* buffer, size_t size, size_t* out_read) {
  if (out_read) *out_read = 0;
  OsHandle h;
  int rc = open_file(&h, path, OPEN_READ_ATTRIBUTES | OPEN_READ);
  if (rc != 0) return rc;
  size_t done = 0;
  while (done < size) {
    size_t got = 0;
    rc = read_file(h, static_cast<char*>(buffer) + done, size - done, &got);
    if (rc != 0 || got == 0) break;
    done += got;
  }
  close_handle(h);
  if (out_read) *out_read = done;
  return rc;
}

int write_whole_file(const char* path, const void* data, size_t size, const OsAccess* access) {
  OsHandle h;
  int rc = open_file_granting(&h, path, OPEN_WRITE | OPEN_CREATE | OPEN_WRITE_ATTRIBUTES, access);
  if (rc != 0) return rc;
  // A short write is repeated for the rest: stopping there would leave a
  // file that silently lacks its end.
  size_t done = 0;
  while (rc == 0 && done < size) {
    size_t moved = 0;
    rc = write_file(h, static_cast<const char*>(data) + done, size - done, &moved);
    done += moved;
  }
  if (rc == 0) rc = set_file_end(h, size);
  close_handle(h);
  return rc;
}

int write_text(OsHandle handle, const char* text) {
  size_t written = 0;
  return write_file(handle, text_or_empty(text), text_len(text), &written);
}

int close_handle(OsHandle handle) {
  if (handle == 0 || handle == OS_NO_HANDLE) return 0;
  return os_handle_close(handle);
}

OsHandle standard_output() { return os_standard_handle(1); }
OsHandle standard_error() { return os_standard_handle(2); }

int file_size(OsHandle handle, uint64_t* out_size) {
  *out_size = 0;
  OsFileStandardInfo standard{};
  int rc = query_file_info(handle, OS_FILE_STANDARD_INFO, &standard, sizeof standard, nullptr);
  if (rc == 0) *out_size = static_cast<uint64_t>(standard.end_of_file);
  return rc;
}

int set_file_position(OsHandle handle, uint64_t position) {
  return set_file_info(handle, OS_FILE_POSITION_INFO, &position, sizeof position);
}

int set_file_end(OsHandle handle, uint64_t size) {
  return set_file_info(handle, OS_FILE_END_OF_FILE_INFO, &size, sizeof size);
}

int reserve_file_space(OsHandle handle, uint64_t size) {
  return set_file_info(handle, OS_FILE_ALLOCATION_INFO, &size, sizeof size);
}

int query_file_info(OsHandle handle, uint32_t info_class, void* buffer, uint32_t size,
                    uint64_t* out_information) {
  if (out_information) *out_information = 0;
  if (handle == 0 || handle == OS_NO_HANDLE) return ERR_INVALID_HANDLE;
  return os_file_query_info(handle, info_class, buffer, size, out_information);
}

int query_volume_info(OsHandle handle, uint32_t info_class, void* buffer, uint32_t size,
                      uint64_t* out_information) {
  if (out_information) *out_information = 0;
  if (handle == 0 || handle == OS_NO_HANDLE) return ERR_INVALID_HANDLE;
  return os_volume_query_info(handle, info_class, buffer, size, out_information);
}

int query_object_info(OsHandle handle, uint32_t info_class, void* buffer, uint32_t size,
                      uint32_t* out_returned) {
  if (out_returned) *out_returned = 0;
  if (handle == 0 || handle == OS_NO_HANDLE) return ERR_INVALID_HANDLE;
  return os_object_query_info(handle, info_class, buffer, size, out_returned);
}

int set_file_info(OsHandle handle, uint32_t info_class, const void* buffer, uint32_t size) {
  if (handle == 0 || handle == OS_NO_HANDLE) return ERR_INVALID_HANDLE;
  return g_platform->set_info(handle, info_class, buffer, size);
}

int sync_file_system(OsHandle handle) {
  if (handle == 0 || handle == OS_NO_HANDLE) return ERR_INVALID_HANDLE;
  return g_platform->file_system_sync(handle);
}

int sync_file_system_at(const char* path) {
  OsHandle h = OS_NO_HANDLE;
  int rc = open_file(&h, path, OPEN_READ | OPEN_WRITE | OPEN_SHARE_ALL);
  if (rc == ERR_ACCESS_DENIED) rc = open_file(&h, path, OPEN_READ);
  if (rc != 0) return rc;
  rc = sync_file_system(h);
  close_handle(h);
  return rc;
}

bool file_system_syncs_files(OsHandle handle) {
  bool yes = false;
  if (handle == 0 || handle == OS_NO_HANDLE) return false;
  return os_file_system_syncs_files(handle, &yes) == 0 && yes;
}

int query_file_volume(OsHandle handle, uint64_t* out_volume) {
  *out_volume = 0;
  OsFileIdInfo id{};
  int rc = query_file_info(handle, OS_FILE_ID_INFO, &id, sizeof id, nullptr);
  if (rc == 0) {
    *out_volume = id.volume_serial;
    return 0;
  }
  // Systems older than the file id class still name the volume.
  alignas(8) unsigned char buffer[sizeof(OsVolumeInfo) + 64] = {};
  rc = query_volume_info(handle, OS_VOLUME_VOLUME_INFO, buffer, sizeof buffer, nullptr);
  if (rc != 0) return rc;
  OsVolumeInfo volume;
  std::memcpy(&volume, buffer, sizeof volume);
  *out_volume = volume.serial;
  return 0;
}

int sync_file(OsHandle handle) {
  if (handle == 0 || handle == OS_NO_HANDLE) return ERR_INVALID_HANDLE;
  return g_platform->file_sync(handle);
}

int sync_folder(const char* path) {
  ScratchPool local;
  NativeName name;
  const int rc = checked_native_name(&local, path, &name);
  if (rc != 0) return rc;
  return g_platform->folder_sync(&name.name);
}

namespace {

// Numbers the temporary names of this process; shared by all its threads.
std::atomic<uint64_t> g_temp_counter{0};

// Gives up after this many names that were all taken: something other than
// a collision is wrong then.
constexpr int TEMP_NAME_ATTEMPTS = 64;

}  // namespace

int create_temp_file(OsHandle* out_handle, Allocator* pool, const char* folder, uint32_t mode,
                     char** out_path, const OsAccess* access) {
  *out_handle = OS_NO_HANDLE;
  *out_path = nullptr;
  int rc = check_path(folder);
  if (rc != 0) return rc;
  // Truncation would make the create open a taken name instead of failing.
  mode &= ~uint32_t{OPEN_TRUNCATE};
  mode |= OPEN_UNSEEN_NAME;
  const uint64_t process = os_process_id();
  const uint64_t thread = os_thread_id();
  for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; ++attempt) {
    const uint64_t serial = g_temp_counter.fetch_add(1, std::memory_order_relaxed);
    char name[80];
    // Readers skip names with this prefix (see doc/format.md).
    format_text(name, sizeof name, ".zuvo-tmp-%llx-%llx-%llx", process, thread, serial);
    char* path = path_join(pool, folder, name);
    if (path == nullptr) return ERR_OUTOFMEMORY;
    rc = create_file(out_handle, path, mode, access);
    if (rc == 0) {
      *out_path = path;
      return 0;
    }
    // A taken name is left by another process of the same id (a reused or
    // forked one); anything else is a real failure.
    if (rc != ERR_ALREADY_EXISTS) return rc;
  }
  return ERR_ALREADY_EXISTS;
}

int rename_file(const char* from, const char* to, bool replace) {
  int rc = check_path(from);
  if (rc == 0) rc = check_path(to);
  if (rc != 0) return rc;
  ScratchPool local;
  NativeName from_name;
  NativeName to_name;
  rc = path_native_name(&local, from, &from_name);
  if (rc == 0) rc = path_native_name(&local, to, &to_name);
  if (rc != 0) return rc;
  return g_platform->rename(&from_name.name, &to_name.name, replace);
}

const FilePlatform* file_platform_swap_for_test(const FilePlatform* platform) {
  const FilePlatform* previous = g_platform;
  g_platform = platform ? platform : &FILE_PLATFORM_REAL;
  return previous;
}

int lock_file(OsHandle handle, bool exclusive) { return os_file_lock(handle, exclusive); }

void unlock_file(OsHandle handle) { os_file_unlock(handle); }
