// The transfer engine. One request record per call carries the method, the
// handle, the offset and the buffer position; the engine runs the method piece
// by piece and decides from each piece's error whether to go on, to stop with
// an end reason, or to fail.
#include "base/transfer.h"

#include "base/err.h"

const TransferPlatform TRANSFER_PLATFORM_REAL = {
    os_file_type, os_console_mode, os_file_query_info,
    os_plain_read, os_plain_write, os_native_transfer,
};

namespace {

const TransferPlatform* g_platform = &TRANSFER_PLATFORM_REAL;

// Errors that mean the other end of a network connection or pipe is gone.
constexpr int ERR_NETNAME_DELETED = 64;
constexpr int ERR_UNEXP_NET_ERR = 59;
constexpr int ERR_NO_DATA = 232;  // the pipe is being closed
constexpr int ERR_PIPE_NOT_CONNECTED = 233;
constexpr int ERR_CONNECTION_ABORTED = 1236;
constexpr int ERR_OPERATION_ABORTED = 995;

struct TransferRequest {
  uint8_t method;  // HANDLE_METHOD_*
  uint8_t kind;    // the handle's kind byte
  bool write;
  bool positioned;
  OsHandle handle;
  uint64_t offset;  // advanced with each piece when positioned
  char* position;   // the buffer position, advanced with each piece
};

// One piece with the request's method: the error and the bytes moved.
int run_method(const TransferRequest& r, uint32_t piece, uint32_t* moved) {
  *moved = 0;
  switch (r.method) {
    case HANDLE_METHOD_CONSOLE: {
      // A console read may return nothing while the user types; wait for a byte.
      if (piece == 0) return 0;
      for (;;) {
        int rc = g_platform->plain_read(r.handle, r.position, piece, moved);
        if (rc != 0 || *moved > 0) return rc;
      }
    }
    case HANDLE_METHOD_NATIVE_SYNC:
    case HANDLE_METHOD_NATIVE_ASYNC:
      return g_platform->native_transfer(r.handle, r.write,
                                         r.method == HANDLE_METHOD_NATIVE_ASYNC, r.position,
                                         piece, r.positioned ? &r.offset : nullptr, moved);
    default:
      // The plain calls have no offset: a positioned transfer on a disk file
      // would silently use the wrong one.
      if (r.positioned && (r.kind & HANDLE_CLASS_MASK) == HANDLE_CLASS_DISK) {
        return ERR_INVALID_PARAMETER;
      }
      return r.write ? g_platform->plain_write(r.handle, r.position, piece, moved)
                     : g_platform->plain_read(r.handle, r.position, piece, moved);
  }
}

int run_transfer(TransferRequest* r, size_t total, size_t minimum, size_t* out_done) {
  size_t done = 0;
  int error = 0;
  int end_reason = 0;
  if (r->handle == OS_NO_HANDLE) {
    error = ERR_INVALID_HANDLE;
  } else {
    for (;;) {
      const size_t left = total - done;
      const uint32_t piece = left < TRANSFER_PIECE ? static_cast<uint32_t>(left) : TRANSFER_PIECE;
      uint32_t moved = 0;
      const int rc = run_method(*r, piece, &moved);
      if (rc == 0) {
        done += moved;
        r->position += moved;
        if (r->positioned) r->offset += moved;
      } else if (rc == ERR_HANDLE_EOF || rc == ERR_HANDLE_DISK_FULL || rc == ERR_DISK_FULL) {
        end_reason = rc;
        break;
      } else if (rc == ERR_UNEXP_NET_ERR || rc == ERR_NETNAME_DELETED || rc == ERR_BROKEN_PIPE ||
                 rc == ERR_NO_DATA || rc == ERR_PIPE_NOT_CONNECTED ||
                 rc == ERR_CONNECTION_ABORTED) {
        end_reason = ERR_BROKEN_PIPE;
        break;
      } else if (rc == ERR_OPERATION_ABORTED) {
        if (done < minimum) continue;  // a write that has moved nothing tries again
        break;
      } else {
        error = rc;
        break;
      }
      if (done >= total || moved != TRANSFER_PIECE) break;
    }
  }
  if (out_done) *out_done = done;
  if (error != 0) return error;
  if (done < minimum) return end_reason ? end_reason : ERR_BROKEN_PIPE;
  return 0;
}

int transfer_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset, void* buffer, size_t size,
                bool write, size_t* out_done) {
  uint8_t local = 0;
  uint8_t* kind = kind_cache ? kind_cache : &local;
  if (*kind == 0) (void)handle_kind(handle, kind);  // a failure leaves the plain method
  TransferRequest r{};
  r.handle = handle;
  r.write = write;
  r.positioned = true;
  r.offset = offset;
  r.position = static_cast<char*>(buffer);
  switch (*kind & HANDLE_METHOD_MASK) {
    case 0:
      *kind |= HANDLE_METHOD_PLAIN;
      r.method = HANDLE_METHOD_PLAIN;
      break;
    case HANDLE_METHOD_CONSOLE:
      if (write) {
        // Console output goes through the plain calls.
        *kind = HANDLE_METHOD_PLAIN | HANDLE_CLASS_CONSOLE;
        r.method = HANDLE_METHOD_PLAIN;
      } else {
        r.method = HANDLE_METHOD_CONSOLE;
      }
      break;
    case HANDLE_METHOD_NATIVE_SYNC:
      r.method = HANDLE_METHOD_NATIVE_SYNC;
      break;
    case HANDLE_METHOD_NATIVE_ASYNC:
    case 0x50:
      r.method = HANDLE_METHOD_NATIVE_ASYNC;
      break;
    default:
      r.method = HANDLE_METHOD_PLAIN;
      break;
  }
  r.kind = *kind;
  if ((r.kind & HANDLE_CLASS_MASK) == 0) r.kind |= HANDLE_CLASS_OTHER;
  return run_transfer(&r, size, (write && size > 0) ? 1 : 0, out_done);
}

}  // namespace

int handle_kind(OsHandle handle, uint8_t* kind) {
  if (*kind != 0) return 0;
  uint32_t type = 0;
  int rc = g_platform->file_type(handle, &type);
  if (type == OS_FILE_TYPE_UNKNOWN && rc != 0) return rc;
  uint8_t device;
  switch (type) {
    case OS_FILE_TYPE_DISK:
      device = HANDLE_CLASS_DISK;
      break;
    case OS_FILE_TYPE_CHAR: {
      uint32_t mode = 0;
      if (g_platform->console_mode(handle, &mode) == 0) {
        *kind = HANDLE_METHOD_CONSOLE | HANDLE_CLASS_CONSOLE;
        return 0;
      }
      device = HANDLE_CLASS_CHAR_OR_PIPE;
      break;
    }
    case OS_FILE_TYPE_PIPE:
      device = HANDLE_CLASS_CHAR_OR_PIPE;
      break;
    default:
      device = HANDLE_CLASS_OTHER;
      break;
  }
  uint32_t mode = 0;
  rc = g_platform->query_file_info(handle, OS_FILE_MODE_INFO, &mode, sizeof mode, nullptr);
  if (rc == ERR_INVALID_HANDLE) {
    *kind = HANDLE_METHOD_PLAIN | device;  // not a native file handle
    return 0;
  }
  if (rc != 0) return rc;
  const bool synchronous = (mode & (OS_OPTION_SYNCHRONOUS_ALERT | OS_OPTION_SYNCHRONOUS)) != 0;
  *kind = (synchronous ? HANDLE_METHOD_NATIVE_SYNC : HANDLE_METHOD_NATIVE_ASYNC) | device;
  return 0;
}

int read_file(OsHandle handle, void* buffer, size_t size, size_t* out_read) {
  TransferRequest r{};
  r.method = HANDLE_METHOD_PLAIN;
  r.kind = HANDLE_CLASS_OTHER;
  r.handle = handle;
  r.position = static_cast<char*>(buffer);
  return run_transfer(&r, size, 0, out_read);
}

int write_file(OsHandle handle, const void* data, size_t size, size_t* out_written) {
  TransferRequest r{};
  r.method = HANDLE_METHOD_PLAIN;
  r.kind = HANDLE_CLASS_OTHER;
  r.write = true;
  r.handle = handle;
  r.position = static_cast<char*>(const_cast<void*>(data));
  return run_transfer(&r, size, size > 0 ? 1 : 0, out_written);
}

int read_file_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset, void* buffer, size_t size,
                 size_t* out_read) {
  return transfer_at(handle, kind_cache, offset, buffer, size, false, out_read);
}

int write_file_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset, const void* data,
                  size_t size, size_t* out_written) {
  return transfer_at(handle, kind_cache, offset, const_cast<void*>(data), size, true,
                     out_written);
}

const TransferPlatform* transfer_platform_swap_for_test(const TransferPlatform* platform) {
  const TransferPlatform* previous = g_platform;
  g_platform = platform ? platform : &TRANSFER_PLATFORM_REAL;
  return previous;
}

int read_exact_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset, void* buffer,
                  size_t size) {
  if (size > SIZE_MAX - (TRANSFER_ALIGN - 1)) return ERR_INVALID_PARAMETER;
  const size_t rounded = (size + TRANSFER_ALIGN - 1) & ~(TRANSFER_ALIGN - 1);
  size_t got = 0;
  int rc = read_file_at(handle, kind_cache, offset, buffer, rounded, &got);
  if (rc != 0) return rc;
  return got < size ? ERR_HANDLE_EOF : 0;
}

int write_exact_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset, const void* data,
                   size_t size) {
  size_t done = 0;
  while (done < size) {
    size_t moved = 0;
    const int rc = write_file_at(handle, kind_cache, offset + done,
                                 static_cast<const char*>(data) + done, size - done, &moved);
    if (rc != 0) return rc;
    if (moved == 0) return ERR_DISK_FULL;
    done += moved;
  }
  return 0;
}
