// Durability and publication: the native flush for files, folder entries
// left to the file system, renames through the native rename information
// class, and the process id for temporary names.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/windows/win_internal.h"

namespace {

// The native rename record (class 10; class 65 reads the first member as
// flags): the new name follows the header.
struct RenameInfo {
  ULONG replace_if_exists;  // class 10: a BOOLEAN; class 65: RENAME_* flags
  HANDLE root_directory;
  ULONG file_name_length;  // bytes
  WCHAR file_name[1];
};
constexpr ULONG FILE_RENAME_INFORMATION_CLASS = 10;
constexpr ULONG FILE_RENAME_INFORMATION_EX_CLASS = 65;
constexpr ULONG RENAME_REPLACE_IF_EXISTS = 0x1;
constexpr ULONG RENAME_POSIX_SEMANTICS = 0x2;  // replace a target that others hold open
constexpr ULONG FILE_ACCESS_INFORMATION_CLASS = 8;

bool usable(const OsNativeName* name) {
  return name != nullptr && name->units != nullptr && name->length != 0;
}

// Opens `name` with `access`; the object itself when it is a link.
NTSTATUS open_native(const OsNativeName* name, ACCESS_MASK access, ULONG options, HANDLE* out) {
  WinObjectName object;
  win_object_name(name, &object);
  IO_STATUS_BLOCK io{};
  return NtCreateFile(out, access | SYNCHRONIZE, &object.object, &io, nullptr, 0,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                      options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

// One rename of the open `file` to the name in `info`.
NTSTATUS set_rename(HANDLE file, RenameInfo* info, size_t size, bool replace) {
  IO_STATUS_BLOCK io{};
  NTSTATUS status = STATUS_INVALID_INFO_CLASS;
  if (replace) {
    // Readers that keep the old file open (sharing delete) must not make the
    // replacement fail; systems without the extended class use the plain one.
    info->replace_if_exists = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS;
    status = NtSetInformationFile(file, &io, info, static_cast<ULONG>(size),
                                  static_cast<FILE_INFORMATION_CLASS>(
                                      FILE_RENAME_INFORMATION_EX_CLASS));
  }
  if (status == STATUS_INVALID_INFO_CLASS || status == STATUS_NOT_IMPLEMENTED ||
      status == STATUS_INVALID_PARAMETER || status == STATUS_NOT_SUPPORTED) {
    info->replace_if_exists = replace ? TRUE : FALSE;
    status = NtSetInformationFile(file, &io, info, static_cast<ULONG>(size),
                                  static_cast<FILE_INFORMATION_CLASS>(
                                      FILE_RENAME_INFORMATION_CLASS));
  }
  return status;
}

}  // namespace

int os_file_sync(OsHandle handle) {
  if (handle == 0 || handle == OS_NO_HANDLE) return ERROR_INVALID_HANDLE;
  HANDLE h = win_handle(handle);
  // A pipe's flush waits for its reader; pipes and devices keep nothing.
  const DWORD type = GetFileType(h);
  if (type != FILE_TYPE_DISK) {
    return type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR
               ? static_cast<int>(GetLastError())
               : 0;
  }
  // A handle that cannot write has written nothing that needs flushing; the
  // system refuses to flush it.
  ACCESS_MASK access = 0;
  IO_STATUS_BLOCK io{};
  if (NT_SUCCESS(NtQueryInformationFile(h, &io, &access, sizeof access,
                                        static_cast<FILE_INFORMATION_CLASS>(
                                            FILE_ACCESS_INFORMATION_CLASS))) &&
      !(access & (FILE_WRITE_DATA | FILE_APPEND_DATA))) {
    return 0;
  }
  const NTSTATUS status = NtFlushBuffersFile(h, &io);
  return win_error_from_status(status);
}

int os_folder_sync(const OsNativeName* name) {
  if (!usable(name)) return ERROR_INVALID_NAME;
  // The file systems journal their folder entries; only the folder's
  // existence is checked, as the POSIX flush does by opening it.
  HANDLE folder = nullptr;
  const NTSTATUS status = open_native(name, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, &folder);
  if (!NT_SUCCESS(status)) return win_error_from_status(status);
  NtClose(folder);
  return 0;
}

int os_file_rename(const OsNativeName* from, const OsNativeName* to, bool replace) {
  if (!usable(from) || !usable(to)) return ERROR_INVALID_NAME;
  HANDLE file = nullptr;
  NTSTATUS status = open_native(from, DELETE, FILE_OPEN_REPARSE_POINT, &file);
  if (!NT_SUCCESS(status)) return win_error_from_status(status);
  const size_t size = offsetof(RenameInfo, file_name) + to->length;
  auto* info = static_cast<RenameInfo*>(std::calloc(1, size + sizeof(WCHAR)));
  if (!info) {
    NtClose(file);
    return ERROR_OUTOFMEMORY;
  }
  info->root_directory = nullptr;
  info->file_name_length = to->length;
  std::memcpy(info->file_name, to->units, to->length);
  status = set_rename(file, info, size, replace);
  // Where the system cannot replace a file that a reader holds open (no
  // POSIX semantics: older systems, Wine), the reader's moment passes.
  for (int attempt = 0; replace && attempt < 100 &&
                        (status == STATUS_ACCESS_DENIED || status == STATUS_SHARING_VIOLATION);
       ++attempt) {
    Sleep(attempt < 10 ? 0 : 1);
    status = set_rename(file, info, size, replace);
  }
  std::free(info);
  NtClose(file);
  return win_error_from_status(status);
}

uint64_t os_process_id() { return GetCurrentProcessId(); }

int os_file_system_sync(OsHandle handle) {
  // Flushing a whole volume needs a volume handle that only administrators
  // may open; the file itself is flushed instead.
  return os_file_sync(handle);
}
