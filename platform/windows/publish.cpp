// Publication: renames through the native rename information class, and the
// process id for temporary names.
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/windows/internal.h"

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

int os_file_rename(const OsNativeName* from, const OsNativeName* to, bool replace) {
  if (!win_name_usable(from) || !win_name_usable(to)) return ERROR_INVALID_NAME;
  HANDLE file = nullptr;
  NTSTATUS status = win_open_existing(from, DELETE, FILE_OPEN_REPARSE_POINT, &file);
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
