// SHA-512 hashers: block buffering, padding and digest delivery. There is one
// operations table per compression function variant; chunk_hasher_new picks
// the table of the fastest variant, so a hasher never tests the processor once
// it exists.
#include "hash/chunk_hash.h"

#include <algorithm>
#include <cstring>

#include "base/err.h"
#include "base/scratch.h"

namespace {

void hasher_destroy(ChunkHasher* hasher) { heap_free(hasher); }

uint32_t hasher_digest_size() { return SHA512_DIGEST_SIZE; }

uint32_t hasher_block_size() { return SHA512_BLOCK_SIZE; }

const char* hasher_oid() { return "2.16.840.1.101.3.4.2.3"; }

void hasher_init(ChunkHasher* hasher) {
  std::memcpy(hasher->state, SHA512_INITIAL_STATE, sizeof hasher->state);
  hasher->bit_count = 0;
  hasher->buffered = 0;
}

template <Sha512Impl IMPL>
void hasher_update(ChunkHasher* hasher, const void* data, size_t length) {
  const Sha512CompressFn compress = sha512_compress_fn(IMPL);
  const auto* in = static_cast<const uint8_t*>(data);
  while (length != 0) {
    if (hasher->buffered != 0 || length < SHA512_BLOCK_SIZE) {
      const size_t take = std::min<size_t>(length, SHA512_BLOCK_SIZE - hasher->buffered);
      std::memcpy(hasher->block + hasher->buffered, in, take);
      hasher->buffered += take;
      in += take;
      length -= take;
      if (hasher->buffered == SHA512_BLOCK_SIZE) {
        compress(hasher->state, hasher->block, 1);
        hasher->bit_count += 8 * SHA512_BLOCK_SIZE;
        hasher->buffered = 0;
      }
    } else {
      // Whole blocks go straight from the caller's buffer, all in one call so
      // that a variant working on several blocks at once gets them together.
      const size_t blocks = length / SHA512_BLOCK_SIZE;
      compress(hasher->state, in, blocks);
      hasher->bit_count += 8 * SHA512_BLOCK_SIZE * static_cast<uint64_t>(blocks);
      in += blocks * SHA512_BLOCK_SIZE;
      length -= blocks * SHA512_BLOCK_SIZE;
    }
  }
}

template <Sha512Impl IMPL>
void hasher_final(ChunkHasher* hasher, void* out, size_t out_length) {
  const Sha512CompressFn compress = sha512_compress_fn(IMPL);
  // Messages stay far below 2^64 bits, so the high half of the 128-bit length
  // field is always zero and only the low half is kept.
  hasher->bit_count += 8 * hasher->buffered;
  size_t used = hasher->buffered;
  hasher->block[used++] = 0x80;
  if (used > SHA512_BLOCK_SIZE - 16) {
    std::memset(hasher->block + used, 0, SHA512_BLOCK_SIZE - used);
    compress(hasher->state, hasher->block, 1);
    used = 0;
  }
  std::memset(hasher->block + used, 0, SHA512_BLOCK_SIZE - 8 - used);
  for (int i = 0; i < 8; i++) {
    hasher->block[SHA512_BLOCK_SIZE - 1 - i] = static_cast<uint8_t>(hasher->bit_count >> (8 * i));
  }
  compress(hasher->state, hasher->block, 1);
  hasher->buffered = 0;

  uint8_t digest[SHA512_DIGEST_SIZE];
  for (size_t w = 0; w < SHA512_STATE_WORDS; w++) {
    for (int i = 0; i < 8; i++) {
      digest[8 * w + i] = static_cast<uint8_t>(hasher->state[w] >> (56 - 8 * i));
    }
  }
  auto* dest = static_cast<uint8_t*>(out);
  const size_t copied = std::min(out_length, SHA512_DIGEST_SIZE);
  if (copied) std::memcpy(dest, digest, copied);
  if (out_length > copied) std::memset(dest + copied, 0, out_length - copied);
}

template <Sha512Impl IMPL>
constexpr ChunkHasherOps make_ops() {
  return ChunkHasherOps{hasher_destroy,      hasher_digest_size, hasher_block_size, hasher_oid,
                        hasher_init,         hasher_update<IMPL>, hasher_final<IMPL>};
}

// One table per variant, indexed by Sha512Impl.
static_assert(SHA512_IMPL_COUNT == 3, "each compression function variant needs its table");
const ChunkHasherOps SHA512_OPS[SHA512_IMPL_COUNT] = {
    make_ops<SHA512_IMPL_PORTABLE>(),
    make_ops<SHA512_IMPL_AVX2>(),
    make_ops<SHA512_IMPL_AVX512>(),
};

}  // namespace

int chunk_hasher_new_with(Sha512Impl impl, ChunkHasher** out_hasher) {
  *out_hasher = nullptr;
  if (!sha512_impl_supported(impl)) return ERR_NOT_SUPPORTED;
  auto* hasher = static_cast<ChunkHasher*>(allocate(&g_heap_allocator, sizeof(ChunkHasher)));
  if (!hasher) return ERR_OUTOFMEMORY;
  hasher->ops = &SHA512_OPS[impl];
  *out_hasher = hasher;
  return 0;
}

int chunk_hasher_new(ChunkHasher** out_hasher) {
  return chunk_hasher_new_with(sha512_impl_best(), out_hasher);
}
