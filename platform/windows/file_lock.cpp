// Advisory whole-file locks on Windows: one byte locked far past any data.
// Windows byte-range locks are mandatory for the bytes they cover, so the
// byte is one no reader ever asks for.
#include "platform/windows/internal.h"

namespace {

constexpr DWORD LOCK_OFFSET_HIGH = 0x40000000;  // 2^62 bytes in

OVERLAPPED lock_place() {
  OVERLAPPED at{};
  at.Offset = 0;
  at.OffsetHigh = LOCK_OFFSET_HIGH;
  return at;
}

}  // namespace

int os_file_lock(OsHandle handle, bool exclusive) {
  if (handle == 0 || handle == OS_NO_HANDLE) return ERROR_INVALID_HANDLE;
  OVERLAPPED at = lock_place();
  const DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
  if (LockFileEx(win_handle(handle), flags, 0, 1, 0, &at)) return 0;
  return static_cast<int>(GetLastError());
}

void os_file_unlock(OsHandle handle) {
  if (handle == 0 || handle == OS_NO_HANDLE) return;
  OVERLAPPED at = lock_place();
  (void)UnlockFileEx(win_handle(handle), 0, 1, 0, &at);
}
