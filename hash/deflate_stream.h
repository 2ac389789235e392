// One raw deflate stream made or read in one call, by the library the build
// picked (CMakeLists.txt): libdeflate where it is installed, zlib elsewhere
// (the Windows build, for want of a MinGW libdeflate package). Both write and
// read the same format, so a store does not care which wrote it. The gate on
// concurrent compressions, the argument checks and the saving estimate are
// hash/deflate.cpp's.
#pragma once

#include <cstddef>

// Deflates `input_length` (1 .. 4 GiB - 1) bytes at `input` at the library's
// strongest level that runs at a useful speed into at most `output_limit`
// bytes at `output`. Returns 0 and the compressed size in *out_produced;
// ERR_HANDLE_DISK_FULL when the stream does not fit, ERR_OUTOFMEMORY when the
// library's state cannot be had, another nonzero number for any other
// failure. Thread-safe.
[[nodiscard]] int deflate_stream_compress(const void* input, size_t input_length, void* output,
                                          size_t output_limit, size_t* out_produced);

// Inflates the raw deflate stream of `input_length` (1 .. 4 GiB - 1) bytes at
// `input` into at most `output_limit` bytes at `output`. Returns 0 and the
// inflated size in *out_produced; ERR_BAD_FORMAT for damaged or truncated
// data, ERR_HANDLE_DISK_FULL or ERR_BAD_FORMAT for a stream that does not end
// within the limit, ERR_OUTOFMEMORY when the library's state cannot be had.
// Thread-safe.
[[nodiscard]] int deflate_stream_uncompress(const void* input, size_t input_length, void* output,
                                            size_t output_limit, size_t* out_produced);
