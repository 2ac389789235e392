// Raw deflate glue over zlib. Each call makes its own stream and ends it before
// returning, so calls on several worker threads never share state.
#include "hash/deflate.h"

#include <zlib.h>

#include <climits>
#include <cstdint>

#include "base/err.h"
#include "base/runtime.h"
#include "base/scratch.h"

namespace {

// The version the stream record layout is checked against; zlib accepts any
// version of the same major number.
constexpr const char* STREAM_VERSION = "1.2.3";
// Compressed chunk files are raw deflate streams (see doc/format.md).
constexpr int WINDOW_BITS_RAW = -15;  // negative: no header and no checksum, 32 KiB window
constexpr int MEMORY_LEVEL = 9;

// A stream asks for the same few blocks on every call (about 390 KiB for a
// deflate stream at these settings). They are carved from pages each thread
// keeps, so that a chunk costs no trips to the system allocator and no page
// faults on fresh memory; the stream itself still lives within one call.
constexpr size_t ARENA_SIZE = 400 * 1024;  // 399,168 bytes in use, rounded up to pages
constexpr size_t ARENA_ALIGN = 64;

struct StreamArena {
  uint8_t* base = nullptr;  // ARENA_SIZE bytes from page_alloc, or null
  size_t used = 0;          // bytes handed out to the current stream
  ~StreamArena() { page_free(base, ARENA_SIZE); }
};

thread_local StreamArena t_arena;

voidpf stream_alloc(voidpf opaque, uInt items, uInt size) {
  const uint64_t bytes = static_cast<uint64_t>(items) * size;
  if (bytes > SIZE_MAX) return Z_NULL;
  auto* arena = static_cast<StreamArena*>(opaque);
  const uint64_t rounded = (bytes + ARENA_ALIGN - 1) & ~uint64_t{ARENA_ALIGN - 1};
  if (arena->base == nullptr && arena->used == 0) {
    arena->base = static_cast<uint8_t*>(page_alloc(ARENA_SIZE));
  }
  if (arena->base != nullptr && rounded <= ARENA_SIZE - arena->used) {
    void* block = arena->base + arena->used;
    arena->used += rounded;
    return block;
  }
  return allocate(&g_heap_allocator, static_cast<size_t>(bytes));
}

void stream_free(voidpf opaque, voidpf block) {
  auto* arena = static_cast<StreamArena*>(opaque);
  auto* p = static_cast<uint8_t*>(block);
  if (arena->base != nullptr && p >= arena->base && p < arena->base + ARENA_SIZE) return;
  heap_free(block);
}

// The arena of the calling thread, emptied for a new stream.
StreamArena* fresh_arena() {
  t_arena.used = 0;
  return &t_arena;
}

// zlib counts in 32 bits; a larger output room is only a bound, so it is cut
// down, whereas a larger input could not be passed whole.
uInt clamp_room(size_t n) { return n > UINT_MAX ? UINT_MAX : static_cast<uInt>(n); }

}  // namespace

int chunk_compress(const void* input, size_t input_length, void* output, size_t output_limit,
                   size_t* out_produced) {
  *out_produced = 0;
  if (input_length == 0) return 0;
  if (input_length > UINT_MAX) return ERR_INVALID_PARAMETER;
  z_stream stream{};
  stream.zalloc = stream_alloc;
  stream.zfree = stream_free;
  stream.opaque = fresh_arena();
  if (deflateInit2_(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, WINDOW_BITS_RAW, MEMORY_LEVEL,
                    Z_DEFAULT_STRATEGY, STREAM_VERSION, static_cast<int>(sizeof stream)) != Z_OK) {
    return ERR_OUTOFMEMORY;
  }
  int rc = deflateReset(&stream);
  if (rc == Z_OK) {
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(input));
    stream.avail_in = static_cast<uInt>(input_length);
    stream.next_out = static_cast<Bytef*>(output);
    stream.avail_out = clamp_room(output_limit);
    rc = deflate(&stream, Z_FINISH);
  }
  int result;
  if (rc == Z_STREAM_END) {
    result = 0;
    *out_produced = stream.total_out;
  } else if (rc == Z_OK || rc == Z_BUF_ERROR) {
    result = ERR_HANDLE_DISK_FULL;  // the output room ran out first
  } else if (rc == Z_MEM_ERROR) {
    result = ERR_OUTOFMEMORY;
  } else {
    result = ERR_GEN_FAILURE;
  }
  deflateEnd(&stream);
  return result;
}

int chunk_uncompress(const void* input, size_t input_length, void* output, size_t output_limit,
                     size_t* out_produced) {
  *out_produced = 0;
  if (input_length == 0) return 0;
  if (input_length > UINT_MAX) return ERR_INVALID_PARAMETER;
  z_stream stream{};
  stream.zalloc = stream_alloc;
  stream.zfree = stream_free;
  stream.opaque = fresh_arena();
  if (inflateInit2_(&stream, WINDOW_BITS_RAW, STREAM_VERSION, static_cast<int>(sizeof stream)) !=
      Z_OK) {
    return ERR_OUTOFMEMORY;
  }
  int rc = inflateReset(&stream);
  if (rc == Z_OK) {
    stream.next_in = static_cast<Bytef*>(const_cast<void*>(input));
    stream.avail_in = static_cast<uInt>(input_length);
    stream.next_out = static_cast<Bytef*>(output);
    stream.avail_out = clamp_room(output_limit);
    rc = inflate(&stream, Z_FINISH);
  }
  int result;
  if (rc == Z_STREAM_END) {
    result = 0;
    *out_produced = stream.total_out;
  } else if (rc == Z_OK) {
    result = ERR_HANDLE_DISK_FULL;
  } else if (rc == Z_MEM_ERROR) {
    // Running out of memory says nothing about the data, so it is not
    // reported as damage.
    result = ERR_OUTOFMEMORY;
  } else {
    result = ERR_BAD_FORMAT;
  }
  inflateEnd(&stream);
  return result;
}
