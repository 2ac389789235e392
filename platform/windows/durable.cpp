// Flushes to stable storage: the native flush for files, folder entries left
// to the file system, and the file itself where a whole volume cannot be
// flushed. Chunk files need no flush of their own: they are written
// unbuffered and write-through, so their data and size are on stable storage
// when each write returns, and their names are journalled entries that the
// next flush on their volume commits.
#include "platform/windows/internal.h"

namespace {

constexpr ULONG FILE_ACCESS_INFORMATION_CLASS = 8;

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
  if (!win_name_usable(name)) return ERROR_INVALID_NAME;
  // The file systems journal their folder entries; only the folder's
  // existence is checked, as the POSIX flush does by opening it.
  HANDLE folder = nullptr;
  const NTSTATUS status =
      win_open_existing(name, FILE_LIST_DIRECTORY, FILE_DIRECTORY_FILE, &folder);
  if (!NT_SUCCESS(status)) return win_error_from_status(status);
  NtClose(folder);
  return 0;
}

int os_file_system_sync(OsHandle handle) {
  // Flushing a whole volume needs a volume handle that only administrators
  // may open; the file itself is flushed instead. NTFS commits its journal
  // with it (every earlier rename on the volume) and drains the disk's cache.
  return os_file_sync(handle);
}

int os_file_system_syncs_files(OsHandle handle, bool* out_yes) {
  // Written through, a file is on stable storage (or on a server's, over
  // SMB) when its writes return; nothing is left for a flush of its own.
  (void)handle;
  *out_yes = true;
  return 0;
}
