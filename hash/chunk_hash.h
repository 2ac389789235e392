// The chunk hasher: a SHA-512 digest object behind a table of operations,
// reused for every chunk of a copy. The chunk hash that names a chunk is the
// first CHUNK_HASH_SIZE bytes of the SHA-512 digest of the whole chunk, the
// last piece of a file being padded with zeros to the chunk size by the caller.
// This module does the padding of the digest itself and the digest's delivery;
// the compression function comes from hash/sha512.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hash/sha512.h"

// Bytes of a chunk hash: a chunk file's name and a chunk map slot (see doc/format.md).
constexpr size_t CHUNK_HASH_SIZE = 32;

struct ChunkHasher;

// The operations of a hasher kind; one constant table per kind.
struct ChunkHasherOps {
  void (*destroy)(ChunkHasher* hasher);            // frees the record
  uint32_t (*digest_size)();                       // bytes of a whole digest
  uint32_t (*block_size)();                        // bytes per compressed block
  const char* (*oid)();                            // the algorithm's object identifier
  void (*init)(ChunkHasher* hasher);               // starts a new digest
  void (*update)(ChunkHasher* hasher, const void* data, size_t length);
  void (*final)(ChunkHasher* hasher, void* out, size_t out_length);
};

// One digest in progress. Zero-filled when made; used by one thread at a time.
struct ChunkHasher {
  const ChunkHasherOps* ops;
  uint64_t state[SHA512_STATE_WORDS];  // H0..H7
  uint64_t bit_count;                  // message bits taken in so far
  uint64_t buffered;                   // bytes waiting in block (0..127)
  uint8_t block[SHA512_BLOCK_SIZE];    // the partial block
};

// Makes a hasher that uses the fastest compression function of this processor.
// Returns 0 and the hasher, which the caller frees with chunk_hasher_destroy, or
// ERR_OUTOFMEMORY with a null hasher. Thread-safe.
[[nodiscard]] int chunk_hasher_new(ChunkHasher** out_hasher);

// As chunk_hasher_new, with the compression function `impl`; returns
// ERR_NOT_SUPPORTED with a null hasher when this processor cannot run it.
[[nodiscard]] int chunk_hasher_new_with(Sha512Impl impl, ChunkHasher** out_hasher);

// Frees `hasher`; null is ignored.
inline void chunk_hasher_destroy(ChunkHasher* hasher) {
  if (hasher) hasher->ops->destroy(hasher);
}

// Starts a new digest; a hasher may be reused any number of times.
inline void chunk_hasher_init(ChunkHasher* hasher) { hasher->ops->init(hasher); }

// Takes in `length` bytes at `data` (null when length is 0). Never allocates.
inline void chunk_hasher_update(ChunkHasher* hasher, const void* data, size_t length) {
  hasher->ops->update(hasher, data, length);
}

// Ends the digest and writes `out_length` bytes to `out`: the first out_length
// bytes of the digest, or the whole digest followed by zeros when out_length
// exceeds the digest size. The hasher needs chunk_hasher_init before reuse.
inline void chunk_hasher_final(ChunkHasher* hasher, void* out, size_t out_length) {
  hasher->ops->final(hasher, out, out_length);
}

// Bytes of a whole digest of `hasher`'s kind (64 for SHA-512).
inline uint32_t chunk_hasher_digest_size(const ChunkHasher* hasher) {
  return hasher->ops->digest_size();
}

// Computes the chunk hash of `length` bytes at `chunk` into `out`
// (CHUNK_HASH_SIZE bytes): init, update, final.
// REQUIRES: length is the store's chunk size (the caller pads the last piece).
inline void chunk_hash(ChunkHasher* hasher, const void* chunk, size_t length,
                       uint8_t out[CHUNK_HASH_SIZE]) {
  chunk_hasher_init(hasher);
  chunk_hasher_update(hasher, chunk, length);
  chunk_hasher_final(hasher, out, CHUNK_HASH_SIZE);
}
