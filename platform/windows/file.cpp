// Opening, creating and closing files and folders with the native create
// call, the standard handles, pipes and the current folders.
#include <atomic>
#include <cstdlib>
#include <cwchar>

#include "platform/windows/internal.h"

const bool OS_WINDOWS_NAMES = true;

namespace {

// Set by the first create call: fail critical errors and show no open-file
// error box, so that a missing medium is an error number, not a dialog.
std::atomic<bool> g_error_mode_set{false};

}  // namespace

int os_file_create(const OsNativeName* name, uint32_t access, uint32_t share, uint32_t attributes,
                   uint32_t disposition, uint32_t options, OsHandle* out_handle,
                   uint32_t* out_information) {
  *out_handle = OS_NO_HANDLE;
  if (out_information) *out_information = 0;
  if (name == nullptr || name->units == nullptr || name->length == 0) return ERROR_INVALID_NAME;
  if (!g_error_mode_set.load(std::memory_order_relaxed)) {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    g_error_mode_set.store(true, std::memory_order_relaxed);
  }
  WinObjectName object;
  win_object_name(name, &object);
  IO_STATUS_BLOCK io{};
  HANDLE handle = nullptr;
  const NTSTATUS status = NtCreateFile(&handle, access, &object.object, &io, nullptr, attributes,
                                       share, disposition, options & ~uint32_t{OS_OPTION_UNSEEN_NAME},
                                       nullptr, 0);
  if (!NT_SUCCESS(status)) return win_error_from_status(status);
  *out_handle = win_os_handle(handle);
  if (out_information) *out_information = static_cast<uint32_t>(io.Information);
  return 0;
}

int os_handle_close(OsHandle handle) {
  if (handle == 0 || handle == OS_NO_HANDLE) return 0;
  HANDLE h = win_handle(handle);
  // The standard handles stay open whatever they are (console, pipe or
  // file): closing one would silently lose every later message.
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (GetStdHandle(which) == h) return 0;
  }
  // Console handles (both low bits set) are not kernel objects on every
  // system version and must go through CloseHandle.
  if ((handle & 3) == 3) {
    CloseHandle(h);
    return 0;
  }
  // Deferred write errors are not reported here on this system.
  return NT_SUCCESS(NtClose(h)) ? 0 : ERROR_INVALID_HANDLE;
}

OsHandle os_standard_handle(int which) {
  static const DWORD ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  if (which < 0 || which > 2) return OS_NO_HANDLE;
  return win_os_handle(GetStdHandle(ids[which]));
}

void os_standard_handle_set(int which, OsHandle handle) {
  static const DWORD ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  if (which < 0 || which > 2) return;
  SetStdHandle(ids[which], win_handle(handle));
}

int os_pipe_create(OsHandle* out_read, OsHandle* out_write) {
  *out_read = *out_write = OS_NO_HANDLE;
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, nullptr, 0)) return static_cast<int>(GetLastError());
  *out_read = win_os_handle(r);
  *out_write = win_os_handle(w);
  return 0;
}

int os_current_folder(char* buffer, size_t capacity, size_t* out_length) {
  if (out_length) *out_length = 0;
  if (buffer == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
  buffer[0] = 0;
  wchar_t units[WIN_NAME_UNITS];
  const DWORD n = GetCurrentDirectoryW(WIN_NAME_UNITS, units);
  if (n == 0) return static_cast<int>(GetLastError());
  if (n >= WIN_NAME_UNITS) return ERROR_FILENAME_EXCED_RANGE;  // the answer is the size needed
  return win_utf8_out(units, n, buffer, capacity, out_length);
}

int os_drive_current_folder(char letter, char* buffer, size_t capacity, size_t* out_length) {
  if (out_length) *out_length = 0;
  if (buffer == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
  buffer[0] = 0;
  if (!((letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z'))) {
    return ERROR_INVALID_PARAMETER;
  }
  // "X:." names the current folder of drive X.
  const wchar_t name[4] = {static_cast<wchar_t>(letter), L':', L'.', 0};
  wchar_t units[WIN_NAME_UNITS];
  const DWORD n = GetFullPathNameW(name, WIN_NAME_UNITS, units, nullptr);
  if (n == 0) return static_cast<int>(GetLastError());
  if (n >= WIN_NAME_UNITS) return ERROR_FILENAME_EXCED_RANGE;
  return win_utf8_out(units, n, buffer, capacity, out_length);
}

int os_final_path(const OsNativeName* name, char* buffer, size_t capacity, size_t* out_length) {
  if (out_length) *out_length = 0;
  if (buffer == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
  buffer[0] = 0;
  if (!win_name_usable(name)) return ERROR_INVALID_NAME;
  HANDLE handle = nullptr;
  const NTSTATUS status = win_open_existing(name, FILE_READ_ATTRIBUTES, 0, &handle);
  if (!NT_SUCCESS(status)) return win_error_from_status(status);
  // The drive or network form where the volume has one, else its device name.
  DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
  DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, flags);
  if (needed == 0) {
    flags = FILE_NAME_NORMALIZED | VOLUME_NAME_NT;
    needed = GetFinalPathNameByHandleW(handle, nullptr, 0, flags);
  }
  // Three units in front leave room for the native path notation's "\\=".
  int rc = needed == 0 ? static_cast<int>(GetLastError()) : 0;
  auto* block = static_cast<wchar_t*>(rc ? nullptr : std::malloc((needed + 4) * sizeof(wchar_t)));
  if (rc == 0 && block == nullptr) rc = ERROR_OUTOFMEMORY;
  const DWORD n = rc ? 0 : GetFinalPathNameByHandleW(handle, block + 3, needed + 1, flags);
  if (rc == 0 && (n == 0 || n > needed)) {
    rc = n ? ERROR_FILENAME_EXCED_RANGE : static_cast<int>(GetLastError());
  }
  NtClose(handle);
  if (rc) {
    std::free(block);
    return rc;
  }
  wchar_t* units = block + 3;
  const wchar_t* from = units;
  size_t count = n;
  if (flags & VOLUME_NAME_NT) {
    block[0] = L'\\';
    block[1] = L'\\';
    block[2] = L'=';
    from = block;
    count += 3;
  } else if (count >= 8 && wcsncmp(units, L"\\\\?\\UNC\\", 8) == 0) {
    units[6] = L'\\';  // "\\?\UNC\srv" becomes "\\srv"
    from = units + 6;
    count -= 6;
  } else if (count >= 4 && wcsncmp(units, L"\\\\?\\", 4) == 0) {
    from = units + 4;
    count -= 4;
  }
  rc = win_utf8_out(from, count, buffer, capacity, out_length);
  std::free(block);
  return rc;
}

int os_access_query(const OsNativeName* name, bool link_itself, OsAccess* out_access) {
  (void)name;
  (void)link_itself;
  // Folders hand their access control lists down to what is made in them, so
  // nothing above the platform has permission bits to copy or a folder to
  // distrust here.
  *out_access = OsAccess{};
  out_access->owned = 1;
  return 0;
}
