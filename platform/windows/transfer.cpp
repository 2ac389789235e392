// Byte transfers and handle classification: ReadFile/WriteFile for the plain
// calls, NtReadFile/NtWriteFile for the native ones. A synchronous handle's
// transfer is waited for by the system; an asynchronous one completes through
// a completion routine (an asynchronous procedure call) that runs on the
// issuing thread while it sleeps alertably, or, when the call finished
// without going pending and no routine was queued, through the issuer itself.
#include <atomic>

#include "platform/windows/internal.h"

namespace {

LARGE_INTEGER g_zero_interval{};  // a zero-length sleep: lets queued routines run

LARGE_INTEGER infinite_interval() {
  LARGE_INTEGER forever;
  forever.QuadPart = INT64_MIN;
  return forever;
}

// The status a request's block holds until the system has written it.
constexpr NTSTATUS STATUS_NOT_YET = -1;

std::atomic<uint64_t> g_by_routine{0};
std::atomic<uint64_t> g_by_issuer{0};

// One asynchronous transfer, on the issuer's stack. The status block comes
// first: its address is the completion routine's context.
struct AsyncRequest {
  IO_STATUS_BLOCK io;
  void (*complete)(AsyncRequest* request, NTSTATUS status);
  std::atomic<int> taken;  // 1 once the routine or the issuer has claimed completion
  std::atomic<int> done;   // 1 once error and count are recorded
  int error;
  uint32_t count;
};

NTSTATUS block_status(const IO_STATUS_BLOCK& io) {
  return std::atomic_ref<const NTSTATUS>(io.Status).load(std::memory_order_acquire);
}

void record_completion(AsyncRequest* request, NTSTATUS status) {
  request->error = win_error_from_status(status);
  // A failure answered at once leaves the block unwritten (its count 0).
  request->count = NT_ERROR(status) ? 0 : static_cast<uint32_t>(request->io.Information);
  request->done.store(1, std::memory_order_release);
}

void NTAPI completion_routine(PVOID context, PIO_STATUS_BLOCK, ULONG) {
  auto* request = static_cast<AsyncRequest*>(context);
  int expected = 0;
  if (!request->taken.compare_exchange_strong(expected, 1)) return;
  while (block_status(request->io) == STATUS_NOT_YET) NtDelayExecution(TRUE, &g_zero_interval);
  g_by_routine.fetch_add(1, std::memory_order_relaxed);
  request->complete(request, block_status(request->io));
}

int transfer_async(HANDLE handle, bool write, void* buffer, uint32_t size, uint64_t offset,
                   uint32_t* out_count) {
  AsyncRequest request;
  request.io.Status = STATUS_NOT_YET;
  request.io.Information = 0;
  request.complete = record_completion;
  request.taken.store(0);
  request.done.store(0);
  request.error = 0;
  request.count = 0;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset);
  const NTSTATUS status =
      write ? NtWriteFile(handle, nullptr, completion_routine, &request, &request.io, buffer, size,
                          &at, nullptr)
            : NtReadFile(handle, nullptr, completion_routine, &request, &request.io, buffer, size,
                         &at, nullptr);
  if (status != STATUS_PENDING) {
    // Answered at once: a success still queues the routine, which the
    // zero-length sleep lets run; a failure queues nothing.
    NtDelayExecution(TRUE, &g_zero_interval);
    int expected = 0;
    if (request.taken.compare_exchange_strong(expected, 1)) {
      NTSTATUS final_status = status;
      const NTSTATUS written = block_status(request.io);
      if (status == STATUS_SUCCESS && written != STATUS_NOT_YET) final_status = written;
      g_by_issuer.fetch_add(1, std::memory_order_relaxed);
      request.complete(&request, final_status);
    }
  }
  LARGE_INTEGER forever = infinite_interval();
  while (request.done.load(std::memory_order_acquire) == 0) NtDelayExecution(TRUE, &forever);
  *out_count = request.count;
  return request.error;
}

int transfer_sync(HANDLE handle, bool write, void* buffer, uint32_t size, const uint64_t* offset,
                  uint32_t* out_count) {
  IO_STATUS_BLOCK io;
  io.Status = STATUS_NOT_YET;
  io.Information = 0;
  LARGE_INTEGER at;
  at.QuadPart = offset ? static_cast<LONGLONG>(*offset) : 0;
  PLARGE_INTEGER where = offset ? &at : nullptr;
  NTSTATUS status = write ? NtWriteFile(handle, nullptr, nullptr, nullptr, &io, buffer, size,
                                        where, nullptr)
                          : NtReadFile(handle, nullptr, nullptr, nullptr, &io, buffer, size, where,
                                       nullptr);
  if (status == STATUS_PENDING) {
    // Only the handle's own signal ends the wait; alerts and routines do not.
    while (NtWaitForSingleObject(handle, TRUE, nullptr) != STATUS_WAIT_0) {
    }
    status = block_status(io);
  } else {
    NtDelayExecution(TRUE, &g_zero_interval);
    if (status == STATUS_SUCCESS && block_status(io) != STATUS_NOT_YET) status = block_status(io);
  }
  *out_count = NT_ERROR(status) ? 0 : static_cast<uint32_t>(io.Information);
  return win_error_from_status(status);
}

}  // namespace

void win_transfer_completions(uint64_t* out_by_routine, uint64_t* out_by_issuer) {
  *out_by_routine = g_by_routine.load();
  *out_by_issuer = g_by_issuer.load();
}

int os_file_type(OsHandle handle, uint32_t* out_type) {
  *out_type = OS_FILE_TYPE_UNKNOWN;
  const DWORD type = GetFileType(win_handle(handle));
  if (type == FILE_TYPE_UNKNOWN) {
    const DWORD error = GetLastError();
    return error == NO_ERROR ? 0 : static_cast<int>(error);
  }
  *out_type = type & ~static_cast<DWORD>(FILE_TYPE_REMOTE);
  return 0;
}

int os_console_mode(OsHandle handle, uint32_t* out_mode) {
  *out_mode = 0;
  DWORD mode = 0;
  if (!GetConsoleMode(win_handle(handle), &mode)) return static_cast<int>(GetLastError());
  *out_mode = mode;
  return 0;
}

int os_plain_read(OsHandle handle, void* buffer, uint32_t size, uint32_t* out_count) {
  DWORD n = 0;
  const BOOL ok = ReadFile(win_handle(handle), buffer, size, &n, nullptr);
  *out_count = n;
  return ok ? 0 : static_cast<int>(GetLastError());
}

int os_plain_write(OsHandle handle, const void* data, uint32_t size, uint32_t* out_count) {
  DWORD n = 0;
  const BOOL ok = WriteFile(win_handle(handle), data, size, &n, nullptr);
  *out_count = n;
  return ok ? 0 : static_cast<int>(GetLastError());
}

int os_native_transfer(OsHandle handle, bool write, bool asynchronous, void* buffer,
                       uint32_t size, const uint64_t* offset, uint32_t* out_count) {
  *out_count = 0;
  if (handle == 0 || handle == OS_NO_HANDLE) return ERROR_INVALID_HANDLE;
  if (offset && *offset > static_cast<uint64_t>(INT64_MAX)) return ERROR_INVALID_PARAMETER;
  if (asynchronous) {
    // An asynchronous handle has no current position to transfer at.
    if (!offset) return ERROR_INVALID_PARAMETER;
    return transfer_async(win_handle(handle), write, buffer, size, *offset, out_count);
  }
  return transfer_sync(win_handle(handle), write, buffer, size, offset, out_count);
}
