// The raw deflate stream over zlib, for builds without libdeflate (the
// Windows build). Each call makes its own stream and ends it before
// returning, so calls on several worker threads never share state.
#include "hash/deflate_stream.h"

#include <zlib.h>

#include <climits>
#include <cstdint>

#include "base/err.h"
#include "base/lock.h"
#include "base/scratch.h"

namespace {

// The version the stream record layout is checked against; zlib accepts any
// version of the same major number.
constexpr const char* STREAM_VERSION = "1.2.3";
// Compressed chunk files are raw deflate streams (see doc/format.md).
constexpr int WINDOW_BITS_RAW = -15;  // negative: no header and no checksum, 32 KiB window
constexpr int MEMORY_LEVEL = 9;

// A stream asks for the same few blocks on every call (about 390 KiB for a
// deflate stream at these settings). They are carved from an arena of pages
// that is kept for the next stream, so that a chunk costs no trips to the
// system allocator and no page faults on fresh memory; the stream itself
// still lives within one call. There are never more arenas than streams at
// once, and they stay on the free list until the process ends.
constexpr size_t ARENA_SIZE = 400 * 1024;  // 399,168 bytes in use, rounded up to pages
constexpr size_t ARENA_ALIGN = 64;

struct StreamArena {
  StreamArena* next;  // on the free list
  size_t used;        // bytes handed out to the current stream, this header included
};

Lock g_arena_lock;               // guards g_free_arenas
StreamArena* g_free_arenas;      // arenas no stream uses

// An arena for one stream, or null when no pages can be had (the stream then
// takes its blocks from the heap).
StreamArena* arena_take() {
  lock_acquire(&g_arena_lock);
  StreamArena* arena = g_free_arenas;
  if (arena) g_free_arenas = arena->next;
  lock_release(&g_arena_lock);
  if (!arena) arena = static_cast<StreamArena*>(page_alloc(ARENA_SIZE));
  if (arena) arena->used = ARENA_ALIGN;
  return arena;
}

void arena_give(StreamArena* arena) {
  if (!arena) return;
  lock_acquire(&g_arena_lock);
  arena->next = g_free_arenas;
  g_free_arenas = arena;
  lock_release(&g_arena_lock);
}

voidpf stream_alloc(voidpf opaque, uInt items, uInt size) {
  const uint64_t bytes = static_cast<uint64_t>(items) * size;
  if (bytes > SIZE_MAX) return Z_NULL;
  auto* arena = static_cast<StreamArena*>(opaque);
  const uint64_t rounded = (bytes + ARENA_ALIGN - 1) & ~uint64_t{ARENA_ALIGN - 1};
  if (arena && rounded <= ARENA_SIZE - arena->used) {
    void* block = reinterpret_cast<uint8_t*>(arena) + arena->used;
    arena->used += rounded;
    return block;
  }
  return allocate(&g_heap_allocator, static_cast<size_t>(bytes));
}

void stream_free(voidpf opaque, voidpf block) {
  auto* arena = reinterpret_cast<uint8_t*>(opaque);
  auto* p = static_cast<uint8_t*>(block);
  if (arena && p >= arena && p < arena + ARENA_SIZE) return;
  heap_free(block);
}

// zlib counts in 32 bits; a larger output room is only a bound, so it is cut
// down, whereas a larger input could not be passed whole.
uInt clamp_room(size_t n) { return n > UINT_MAX ? UINT_MAX : static_cast<uInt>(n); }

// A stream whose blocks come from `arena` (null: the allocator's own).
z_stream arena_stream(StreamArena* arena) {
  z_stream stream{};
  stream.zalloc = stream_alloc;
  stream.zfree = stream_free;
  stream.opaque = arena;
  return stream;
}

void set_buffers(z_stream* stream, const void* input, size_t input_length, void* output,
                 size_t output_limit) {
  stream->next_in = static_cast<Bytef*>(const_cast<void*>(input));
  stream->avail_in = static_cast<uInt>(input_length);
  stream->next_out = static_cast<Bytef*>(output);
  stream->avail_out = clamp_room(output_limit);
}

}  // namespace

int deflate_stream_compress(const void* input, size_t input_length, void* output,
                            size_t output_limit, size_t* out_produced) {
  *out_produced = 0;
  StreamArena* arena = arena_take();
  z_stream stream = arena_stream(arena);
  if (deflateInit2_(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, WINDOW_BITS_RAW, MEMORY_LEVEL,
                    Z_DEFAULT_STRATEGY, STREAM_VERSION, static_cast<int>(sizeof stream)) != Z_OK) {
    arena_give(arena);
    return ERR_OUTOFMEMORY;
  }
  int rc = deflateReset(&stream);
  if (rc == Z_OK) {
    set_buffers(&stream, input, input_length, output, output_limit);
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
  arena_give(arena);
  return result;
}

int deflate_stream_uncompress(const void* input, size_t input_length, void* output,
                              size_t output_limit, size_t* out_produced) {
  *out_produced = 0;
  StreamArena* arena = arena_take();
  z_stream stream = arena_stream(arena);
  if (inflateInit2_(&stream, WINDOW_BITS_RAW, STREAM_VERSION, static_cast<int>(sizeof stream)) !=
      Z_OK) {
    arena_give(arena);
    return ERR_OUTOFMEMORY;
  }
  int rc = inflateReset(&stream);
  if (rc == Z_OK) {
    set_buffers(&stream, input, input_length, output, output_limit);
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
  arena_give(arena);
  return result;
}
