// Chunk compression: one whole chunk deflated into a bounded buffer, and one
// chunk file's data inflated back, each in a single call, as raw deflate
// streams (no header, no checksum). Which chunks are kept compressed, and the
// check of the inflated size, are left to the chunk files.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/err.h"

// Deflates `input_length` bytes at `input` (at a level at least as tight as
// zlib's best on typical data; see hash/deflate_stream.h) into at most
// `output_limit` bytes at `output`. Returns 0 and the compressed size in
// *out_produced; ERR_HANDLE_DISK_FULL when the stream does not fit the limit,
// ERR_OUTOFMEMORY when the stream cannot be set up, ERR_INVALID_PARAMETER when
// input_length exceeds 4 GiB - 1, another nonzero number for any other failure;
// *out_produced is 0 unless the result is 0. An empty input gives 0 bytes.
// At most four calls per processor run at once; the rest wait their turn.
// Thread-safe.
[[nodiscard]] int chunk_compress(const void* input, size_t input_length, void* output,
                                 size_t output_limit, size_t* out_produced);

// Estimates how many bytes deflating `input_length` bytes at `input` would
// save: what each 4 KiB's byte frequencies allow, plus the repeats of 8 bytes
// or more found within deflate's 32 KiB reach in data whose frequencies leave
// little to save. About 0 (either sign) for random data. A cheap guess, not a
// bound: it reads the input once (twice where the frequencies leave little to
// save), many times faster than deflating it. Thread-safe: no shared state.
[[nodiscard]] int64_t chunk_compress_saving_estimate(const void* input, size_t input_length);

// Whether chunk_compress of these bytes into `output_limit` bytes is worth
// trying: false when the estimate leaves the saving that the limit asks for
// far out of reach (random or already compressed data). Always true when the
// limit is at least the input's length. Thread-safe: no shared state.
[[nodiscard]] bool chunk_compress_promising(const void* input, size_t input_length,
                                            size_t output_limit);

// Inflates the raw deflate stream of `input_length` bytes at `input` into at
// most `output_limit` bytes at `output`. Returns 0 and the inflated size in
// *out_produced; ERR_BAD_FORMAT for damaged or truncated data or a
// stream that does not end within the limit, ERR_OUTOFMEMORY when the stream
// cannot be set up, ERR_INVALID_PARAMETER when input_length exceeds 4 GiB - 1;
// *out_produced is 0 unless the result is 0. An empty input gives 0 bytes.
// Thread-safe: each call has its own stream.
[[nodiscard]] int chunk_uncompress(const void* input, size_t input_length, void* output,
                                   size_t output_limit, size_t* out_produced);
