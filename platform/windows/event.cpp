// Manual-reset kernel events through the native event calls.
#include "platform/windows/internal.h"

OsHandle os_event_create() {
  HANDLE event = nullptr;
  // Full access (0x1F0003), notification type, not signalled.
  const NTSTATUS status = NtCreateEvent(&event, EVENT_ALL_ACCESS, nullptr, ZuvoNotificationEvent,
                                        FALSE);
  return NT_SUCCESS(status) ? win_os_handle(event) : OS_NO_HANDLE;
}

void os_event_set(OsHandle event) { NtSetEvent(win_handle(event), nullptr); }

void os_event_clear(OsHandle event) { NtClearEvent(win_handle(event)); }

int os_event_wait(OsHandle event, uint32_t timeout_ms, bool alertable) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -static_cast<LONGLONG>(timeout_ms) * 10000;  // relative, 100 ns units
  const NTSTATUS status = NtWaitForSingleObject(
      win_handle(event), alertable ? TRUE : FALSE, timeout_ms == OS_WAIT_INFINITE ? nullptr : &timeout);
  if (status == STATUS_WAIT_0) return OS_WAIT_SIGNALED;
  if (status == STATUS_TIMEOUT) return OS_WAIT_TIMEOUT;
  return OS_WAIT_ALERTED;  // an alert or a queued procedure call
}

void os_event_close(OsHandle event) {
  if (event == OS_NO_HANDLE || event == 0) return;
  NtClose(win_handle(event));
}
