// The native folder query: NtQueryDirectoryFile fills the caller's buffer in
// the native entry layouts, which are those of platform.h.
#include "platform/windows/internal.h"

int os_directory_query(OsHandle handle, uint32_t info_class, bool single, bool restart,
                       void* buffer, uint32_t length, uint64_t* out_information) {
  if (out_information) *out_information = 0;
  if (handle == 0 || handle == OS_NO_HANDLE) return ERROR_INVALID_HANDLE;
  IO_STATUS_BLOCK io{};
  NTSTATUS status = NtQueryDirectoryFile(win_handle(handle), nullptr, nullptr, nullptr, &io,
                                         buffer, length,
                                         static_cast<FILE_INFORMATION_CLASS>(info_class),
                                         single ? TRUE : FALSE, nullptr, restart ? TRUE : FALSE);
  if (status == STATUS_PENDING) {
    // Folders are opened synchronous; a pending answer is waited for anyway.
    NtWaitForSingleObject(win_handle(handle), FALSE, nullptr);
    status = io.Status;
  }
  if (out_information && !NT_ERROR(status)) *out_information = io.Information;
  return win_query_result(status, io);
}
