// Chunk compression: one whole chunk deflated into a bounded buffer, and one
// chunk file's data inflated back, each in a single call, as raw deflate
// streams (no header, no checksum). Which chunks are kept compressed, and the
// check of the inflated size, are left to the chunk files.
#pragma once

#include <cstddef>

#include "base/err.h"

// Deflates `input_length` bytes at `input` (best compression) into at most
// `output_limit` bytes at `output`. Returns 0 and the compressed size in
// *out_produced; ERR_HANDLE_DISK_FULL when the stream does not fit the limit,
// ERR_OUTOFMEMORY when the stream cannot be set up, ERR_INVALID_PARAMETER when
// input_length exceeds 4 GiB - 1, another nonzero number for any other failure;
// *out_produced is 0 unless the result is 0. An empty input gives 0 bytes.
// Thread-safe: each call has its own stream.
[[nodiscard]] int chunk_compress(const void* input, size_t input_length, void* output,
                                 size_t output_limit, size_t* out_produced);

// Inflates the raw deflate stream of `input_length` bytes at `input` into at
// most `output_limit` bytes at `output`. Returns 0 and the inflated size in
// *out_produced; ERR_BAD_FORMAT for damaged or truncated data or a
// stream that does not end within the limit, ERR_OUTOFMEMORY when the stream
// cannot be set up, ERR_INVALID_PARAMETER when input_length exceeds 4 GiB - 1;
// *out_produced is 0 unless the result is 0. An empty input gives 0 bytes.
// Thread-safe: each call has its own stream.
[[nodiscard]] int chunk_uncompress(const void* input, size_t input_length, void* output,
                                   size_t output_limit, size_t* out_produced);
