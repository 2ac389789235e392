// The Windows headers in the one order that works (the status codes from
// ntstatus.h, not windows.h), the native calls that winternl.h leaves out,
// and helpers shared by the Windows implementation files. Included only
// inside platform/windows/.
#pragma once

// clang-format off
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>
// clang-format on

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

extern "C" {
// Native calls exported by ntdll that winternl.h does not declare.
typedef enum _ZUVO_EVENT_TYPE { ZuvoNotificationEvent, ZuvoSynchronizationEvent } ZUVO_EVENT_TYPE;
NTSTATUS NTAPI NtReadFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                          PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                          PULONG key);
NTSTATUS NTAPI NtWriteFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc, PVOID apc_context,
                           PIO_STATUS_BLOCK io, PVOID buffer, ULONG length, PLARGE_INTEGER offset,
                           PULONG key);
NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                    PVOID apc_context, PIO_STATUS_BLOCK io, PVOID buffer,
                                    ULONG length, FILE_INFORMATION_CLASS info_class,
                                    BOOLEAN single_entry, PUNICODE_STRING file_name,
                                    BOOLEAN restart_scan);
NTSTATUS NTAPI NtFlushBuffersFile(HANDLE file, PIO_STATUS_BLOCK io);
NTSTATUS NTAPI NtCreateEvent(PHANDLE event, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                             ZUVO_EVENT_TYPE type, BOOLEAN initial_state);
NTSTATUS NTAPI NtSetEvent(HANDLE event, PLONG previous_state);
NTSTATUS NTAPI NtClearEvent(HANDLE event);
NTSTATUS NTAPI NtDelayExecution(BOOLEAN alertable, PLARGE_INTEGER interval);
NTSTATUS NTAPI NtAllocateVirtualMemory(HANDLE process, PVOID* base, ULONG_PTR zero_bits,
                                       PSIZE_T size, ULONG allocation_type, ULONG protect);
NTSTATUS NTAPI NtFreeVirtualMemory(HANDLE process, PVOID* base, PSIZE_T size, ULONG free_type);
}

// The handle behind an OsHandle.
inline HANDLE win_handle(OsHandle handle) { return reinterpret_cast<HANDLE>(handle); }
inline OsHandle win_os_handle(HANDLE handle) { return reinterpret_cast<OsHandle>(handle); }

// The counted name and object attributes (case-insensitive) of a native name,
// ready for NtCreateFile. The attributes point into the record itself, so it
// is filled in place and never copied. REQUIRES: `name` outlives its use.
struct WinObjectName {
  UNICODE_STRING name;
  OBJECT_ATTRIBUTES object;
};
inline void win_object_name(const OsNativeName* name, WinObjectName* out) {
  out->name.Length = name->length;
  out->name.MaximumLength = name->maximum_length;
  out->name.Buffer = const_cast<PWSTR>(reinterpret_cast<const wchar_t*>(name->units));
  InitializeObjectAttributes(&out->object, &out->name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
}

// True when `name` carries a native name to open.
inline bool win_name_usable(const OsNativeName* name) {
  return name != nullptr && name->units != nullptr && name->length != 0;
}

// Opens the existing `name` with `access` and the create `options`,
// synchronously and sharing everything. Returns the native status.
inline NTSTATUS win_open_existing(const OsNativeName* name, ACCESS_MASK access, ULONG options,
                                  HANDLE* out) {
  WinObjectName object;
  win_object_name(name, &object);
  IO_STATUS_BLOCK io{};
  return NtCreateFile(out, access | SYNCHRONIZE, &object.object, &io, nullptr, 0,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                      options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

// Translates a native status into the Windows error number the program
// speaks (0 for success and for informational statuses).
int win_error_from_status(NTSTATUS status);

// Translates the status of an information query: a class the system does not
// answer (not implemented, or an invalid class) gives 87, as on every
// platform; the rest as win_error_from_status.
int win_query_error(NTSTATUS status);

// The error of an information call and, when the call succeeded, of its
// status block.
int win_query_result(NTSTATUS status, const IO_STATUS_BLOCK& io);

// Writes `units` UTF-16 units as UTF-8 with a terminator into `buffer` and
// stores the byte length. Returns 0, 206 when it does not fit, or 31 for an
// empty text (an empty answer counts as a failed query).
int win_utf8_out(const wchar_t* units, size_t count, char* buffer, size_t capacity,
                 size_t* out_length);

// The buffer, in UTF-16 units, for the program file, the current folders and
// the user name; longer answers count as failures.
constexpr DWORD WIN_NAME_UNITS = 300;

// FOR TESTS ONLY: how many asynchronous transfers the completion routine and
// the issuer have completed in this process.
void win_transfer_completions(uint64_t* out_by_routine, uint64_t* out_by_issuer);

// Starts the hidden "SignalWindow" window and its thread (console control
// does so for a process without a console; tests call it directly) and
// returns the window, or null when it could not be made or is gone. Later
// calls return the same window without starting another.
HWND win_signal_window_start();
