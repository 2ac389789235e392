// The SHA-512 compression function (FIPS 180-4) in several variants: a portable
// one that every machine runs, and ones whose message schedule runs in vector
// registers two blocks at a time, for processors with AVX2 and BMI2 (and
// AVX-512VL for the last).
// The variant is chosen at run time from the processor's features. Padding,
// the length field and the digest are left to the chunk hasher.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t SHA512_BLOCK_SIZE = 128;   // bytes per compressed block
constexpr size_t SHA512_DIGEST_SIZE = 64;   // bytes of a whole digest
constexpr size_t SHA512_STATE_WORDS = 8;    // H0..H7

// The initial hash values H0..H7.
extern const uint64_t SHA512_INITIAL_STATE[SHA512_STATE_WORDS];

// Folds `blocks` consecutive 128-byte blocks at `data` into `state`. Pure
// function of its arguments; thread-safe for distinct states.
using Sha512CompressFn = void (*)(uint64_t* state, const uint8_t* data, size_t blocks);

// The compression function variants; SHA512_IMPL_COUNT ends the list.
enum Sha512Impl : int {
  SHA512_IMPL_PORTABLE = 0,  // plain 64-bit integer code
  SHA512_IMPL_AVX2 = 1,      // AVX2 message schedule, BMI2 rotates
  SHA512_IMPL_AVX512 = 2,    // as AVX2, the schedule with AVX-512VL rotates
  SHA512_IMPL_COUNT
};

// Returns true when this processor can run `impl`. Thread-safe.
bool sha512_impl_supported(Sha512Impl impl);

// Returns the fastest variant this processor supports. Thread-safe.
Sha512Impl sha512_impl_best();

// Returns the compression function of `impl`.
// REQUIRES: sha512_impl_supported(impl).
Sha512CompressFn sha512_compress_fn(Sha512Impl impl);

// Returns a short lower-case name of `impl` ("portable", "avx2", "avx512") for reports.
const char* sha512_impl_name(Sha512Impl impl);

// The portable compression function; runs everywhere.
void sha512_compress_portable(uint64_t* state, const uint8_t* data, size_t blocks);
