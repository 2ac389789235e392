// Handle transfers: sequential and positioned reads and writes between memory
// and an open handle through one engine. The engine classifies a handle once
// (its kind byte, cached by the caller), picks the platform method that suits
// it, moves large transfers in 16 MiB pieces and turns end-of-data conditions
// into short counts. The calling thread always waits for its own transfer;
// any number of threads may transfer on different handles at once.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

// The handle kind byte: device class in bits 0-2, method in bits 4-6; 0 means
// not classified yet.
enum : uint8_t {
  HANDLE_CLASS_CONSOLE = 1,
  HANDLE_CLASS_DISK = 2,
  HANDLE_CLASS_CHAR_OR_PIPE = 3,
  HANDLE_CLASS_OTHER = 4,
  HANDLE_CLASS_MASK = 0x07,
  HANDLE_METHOD_PLAIN = 0x10,         // the platform's plain read and write calls
  HANDLE_METHOD_CONSOLE = 0x20,       // console read: repeat until a byte arrives
  HANDLE_METHOD_NATIVE_SYNC = 0x30,   // native calls on a synchronous handle
  HANDLE_METHOD_NATIVE_ASYNC = 0x40,  // native calls completed by notification
  HANDLE_METHOD_MASK = 0x70,
};

// The largest piece one platform call moves.
constexpr uint32_t TRANSFER_PIECE = 0x1000000;

// Classifies `handle` when *kind is 0. Returns 0, or an error number with
// *kind left 0.
[[nodiscard]] int handle_kind(OsHandle handle, uint8_t* kind);

// Sequential transfers at the handle's position with the plain method. Store
// the bytes moved (optional out-parameters). A read returns 0 with a short
// count at the end of a file; a write that moves nothing fails (109 when the
// other end of a pipe is gone, 112 on a full disk).
[[nodiscard]] int read_file(OsHandle handle, void* buffer, size_t size, size_t* out_read);
[[nodiscard]] int write_file(OsHandle handle, const void* data, size_t size, size_t* out_written);

// Positioned transfers at `offset`. `kind_cache` is the caller's byte for this
// handle (null: classified anew on every call); it is classified when 0. The
// same end rules as the sequential ones; a read past the end moves 0 bytes
// and succeeds.
[[nodiscard]] int read_file_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset,
                               void* buffer, size_t size, size_t* out_read);
[[nodiscard]] int write_file_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset,
                                const void* data, size_t size, size_t* out_written);

// Unbuffered transfers move whole blocks of this many bytes.
constexpr size_t TRANSFER_ALIGN = 4096;

// Positioned read of `size` bytes at `offset` that asks for `size` rounded up
// to a multiple of TRANSFER_ALIGN. Returns the read's error, 38 when fewer
// than `size` bytes arrived, else 0. REQUIRES: `buffer` is page-aligned and
// holds the rounded size (unbuffered handles need both).
[[nodiscard]] int read_exact_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset, void* buffer,
                                size_t size);

// Positioned write of all `size` bytes at `offset`: a short count is followed
// by the rest. Returns the write's error, 112 when a write moves nothing,
// else 0.
[[nodiscard]] int write_exact_at(OsHandle handle, uint8_t* kind_cache, uint64_t offset,
                                 const void* data, size_t size);

// The platform calls the engine makes, swappable so that tests can count and
// fail them (a counting or fault-injecting double).
struct TransferPlatform {
  int (*file_type)(OsHandle handle, uint32_t* out_type);
  int (*console_mode)(OsHandle handle, uint32_t* out_mode);
  int (*query_file_info)(OsHandle handle, uint32_t info_class, void* buffer, uint32_t size,
                         uint64_t* out_information);
  int (*plain_read)(OsHandle handle, void* buffer, uint32_t size, uint32_t* out_count);
  int (*plain_write)(OsHandle handle, const void* data, uint32_t size, uint32_t* out_count);
  int (*native_transfer)(OsHandle handle, bool write, bool asynchronous, void* buffer,
                         uint32_t size, const uint64_t* offset, uint32_t* out_count);
};
// The real platform's calls.
extern const TransferPlatform TRANSFER_PLATFORM_REAL;
// FOR TESTS ONLY: makes the engine use `platform` (null: the real one) and
// returns the previous table. REQUIRES: no transfer is running.
const TransferPlatform* transfer_platform_swap_for_test(const TransferPlatform* platform);
