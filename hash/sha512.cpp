// SHA-512 compression. The rounds are fully unrolled and rename the eight
// working variables instead of moving them, so that each round is a handful of
// register operations. The accelerated variants compute the message schedule of
// two blocks at once in vector registers while the scalar rounds of the first
// block run, which keeps the vector and integer units busy side by side; their
// rounds are written out instruction by instruction, because the speed of the
// integer rounds depends on an order the compiler does not reliably find.
#include "hash/sha512.h"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define SHA512_HAVE_X86 1
#else
#define SHA512_HAVE_X86 0
#endif

const uint64_t SHA512_INITIAL_STATE[SHA512_STATE_WORDS] = {
    0x6a09e667f3bcc908, 0xbb67ae8584caa73b, 0x3c6ef372fe94f82b, 0xa54ff53a5f1d36f1,
    0x510e527fade682d1, 0x9b05688c2b3e6c1f, 0x1f83d9abfb41bd6b, 0x5be0cd19137e2179,
};

namespace {

// Round constants; each pair appears twice in a row in K_PAIRS below so that one
// aligned 256-bit load serves both blocks of the vector schedule.
alignas(64) constexpr uint64_t K[80] = {
    0x428a2f98d728ae22, 0x7137449123ef65cd, 0xb5c0fbcfec4d3b2f, 0xe9b5dba58189dbbc,
    0x3956c25bf348b538, 0x59f111f1b605d019, 0x923f82a4af194f9b, 0xab1c5ed5da6d8118,
    0xd807aa98a3030242, 0x12835b0145706fbe, 0x243185be4ee4b28c, 0x550c7dc3d5ffb4e2,
    0x72be5d74f27b896f, 0x80deb1fe3b1696b1, 0x9bdc06a725c71235, 0xc19bf174cf692694,
    0xe49b69c19ef14ad2, 0xefbe4786384f25e3, 0x0fc19dc68b8cd5b5, 0x240ca1cc77ac9c65,
    0x2de92c6f592b0275, 0x4a7484aa6ea6e483, 0x5cb0a9dcbd41fbd4, 0x76f988da831153b5,
    0x983e5152ee66dfab, 0xa831c66d2db43210, 0xb00327c898fb213f, 0xbf597fc7beef0ee4,
    0xc6e00bf33da88fc2, 0xd5a79147930aa725, 0x06ca6351e003826f, 0x142929670a0e6e70,
    0x27b70a8546d22ffc, 0x2e1b21385c26c926, 0x4d2c6dfc5ac42aed, 0x53380d139d95b3df,
    0x650a73548baf63de, 0x766a0abb3c77b2a8, 0x81c2c92e47edaee6, 0x92722c851482353b,
    0xa2bfe8a14cf10364, 0xa81a664bbc423001, 0xc24b8b70d0f89791, 0xc76c51a30654be30,
    0xd192e819d6ef5218, 0xd69906245565a910, 0xf40e35855771202a, 0x106aa07032bbd1b8,
    0x19a4c116b8d2d0c8, 0x1e376c085141ab53, 0x2748774cdf8eeb99, 0x34b0bcb5e19b48a8,
    0x391c0cb3c5c95a63, 0x4ed8aa4ae3418acb, 0x5b9cca4f7763e373, 0x682e6ff3d6b2b8a3,
    0x748f82ee5defb2fc, 0x78a5636f43172f60, 0x84c87814a1f0ab72, 0x8cc702081a6439ec,
    0x90befffa23631e28, 0xa4506cebde82bde9, 0xbef9a3f7b2c67915, 0xc67178f2e372532b,
    0xca273eceea26619c, 0xd186b8c721c0c207, 0xeada7dd6cde0eb1e, 0xf57d4f7fee6ed178,
    0x06f067aa72176fba, 0x0a637dc5a2c898a6, 0x113f9804bef90dae, 0x1b710b35131c471b,
    0x28db77f523047d84, 0x32caab7b40c72493, 0x3c9ebe0a15c9bebc, 0x431d67c49c100d4c,
    0x4cc5d4becb3e42b6, 0x597f299cfc657e2a, 0x5fcb6fab3ad6faec, 0x6c44198c4a475817,
};

[[gnu::always_inline]] inline uint64_t load_be64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
}

[[gnu::always_inline]] inline uint64_t big_sigma0(uint64_t x) {
  return std::rotr(x, 28) ^ std::rotr(x, 34) ^ std::rotr(x, 39);
}
[[gnu::always_inline]] inline uint64_t big_sigma1(uint64_t x) {
  return std::rotr(x, 14) ^ std::rotr(x, 18) ^ std::rotr(x, 41);
}
[[gnu::always_inline]] inline uint64_t small_sigma0(uint64_t x) {
  return std::rotr(x, 1) ^ std::rotr(x, 8) ^ (x >> 7);
}
[[gnu::always_inline]] inline uint64_t small_sigma1(uint64_t x) {
  return std::rotr(x, 19) ^ std::rotr(x, 61) ^ (x >> 6);
}

// One round. `bc` carries b ^ c from the previous round (it is that round's
// a ^ b), which makes the majority function two operations instead of four:
// Maj(a, b, c) = b ^ ((a ^ b) & (b ^ c)).
#define SHA512_ROUND(a, b, c, d, e, f, g, h, wk)                  \
  do {                                                            \
    const uint64_t t1_ = h + big_sigma1(e) + (((f ^ g) & e) ^ g) + (wk); \
    const uint64_t ab_ = a ^ b;                                   \
    d += t1_;                                                     \
    h = t1_ + big_sigma0(a) + (b ^ (ab_ & bc));                   \
    bc = ab_;                                                     \
  } while (0)

// Eight rounds starting at round i; WK(i) yields W[i] + K[i].
#define SHA512_ROUNDS8(i, WK)                         \
  SHA512_ROUND(a, b, c, d, e, f, g, h, WK((i) + 0));  \
  SHA512_ROUND(h, a, b, c, d, e, f, g, WK((i) + 1));  \
  SHA512_ROUND(g, h, a, b, c, d, e, f, WK((i) + 2));  \
  SHA512_ROUND(f, g, h, a, b, c, d, e, WK((i) + 3));  \
  SHA512_ROUND(e, f, g, h, a, b, c, d, WK((i) + 4));  \
  SHA512_ROUND(d, e, f, g, h, a, b, c, WK((i) + 5));  \
  SHA512_ROUND(c, d, e, f, g, h, a, b, WK((i) + 6));  \
  SHA512_ROUND(b, c, d, e, f, g, h, a, WK((i) + 7))

// The schedule of one block lives in a 16-word ring; rounds 16 and up replace
// the oldest word with the next one.
#define SHA512_W_LOAD(i) (K[i] + (w[i] = load_be64(data + 8 * (i))))
#define SHA512_W_NEXT(i)                                                      \
  (K[i] + (w[(i) & 15] += small_sigma1(w[((i) - 2) & 15]) + w[((i) - 7) & 15] + \
                          small_sigma0(w[((i) - 15) & 15])))

// The whole scalar compression, inlined into each variant so that each is
// compiled for its own instruction set (BMI2 turns every rotate into one rorx).
[[gnu::always_inline]] inline void compress_scalar(uint64_t* state, const uint8_t* data,
                                                   size_t blocks) {
  for (; blocks != 0; blocks--, data += SHA512_BLOCK_SIZE) {
    uint64_t w[16];
    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t bc = b ^ c;
    SHA512_ROUNDS8(0, SHA512_W_LOAD);
    SHA512_ROUNDS8(8, SHA512_W_LOAD);
    SHA512_ROUNDS8(16, SHA512_W_NEXT);
    SHA512_ROUNDS8(24, SHA512_W_NEXT);
    SHA512_ROUNDS8(32, SHA512_W_NEXT);
    SHA512_ROUNDS8(40, SHA512_W_NEXT);
    SHA512_ROUNDS8(48, SHA512_W_NEXT);
    SHA512_ROUNDS8(56, SHA512_W_NEXT);
    SHA512_ROUNDS8(64, SHA512_W_NEXT);
    SHA512_ROUNDS8(72, SHA512_W_NEXT);
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
  }
}

#if SHA512_HAVE_X86

// K[i], K[i+1] repeated for both 128-bit lanes: entry p serves words 2p, 2p+1.
struct KPairs {
  alignas(32) uint64_t v[160];
  constexpr KPairs() : v() {
    for (int p = 0; p < 40; p++) {
      v[4 * p + 0] = v[4 * p + 2] = K[2 * p];
      v[4 * p + 1] = v[4 * p + 3] = K[2 * p + 1];
    }
  }
};
alignas(32) constexpr KPairs K_PAIRS;

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i rotr_avx2(__m256i x, int n) {
  return _mm256_or_si256(_mm256_srli_epi64(x, n), _mm256_slli_epi64(x, 64 - n));
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i small_sigma0_avx2(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(rotr_avx2(x, 1), rotr_avx2(x, 8)),
                          _mm256_srli_epi64(x, 7));
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i small_sigma1_avx2(__m256i x) {
  return _mm256_xor_si256(_mm256_xor_si256(rotr_avx2(x, 19), rotr_avx2(x, 61)),
                          _mm256_srli_epi64(x, 6));
}

// 0x96 selects the exclusive or of all three operands.
[[gnu::target("avx2,avx512f,avx512vl"), gnu::always_inline]] inline __m256i small_sigma0_avx512(
    __m256i x) {
  return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 1), _mm256_ror_epi64(x, 8),
                                   _mm256_srli_epi64(x, 7), 0x96);
}

[[gnu::target("avx2,avx512f,avx512vl"), gnu::always_inline]] inline __m256i small_sigma1_avx512(
    __m256i x) {
  return _mm256_ternarylogic_epi64(_mm256_ror_epi64(x, 19), _mm256_ror_epi64(x, 61),
                                   _mm256_srli_epi64(x, 6), 0x96);
}

// One round for processors with BMI1 and BMI2, in an order that starts the
// long chain through e first and lets the chain through a fill the gaps; the
// compiler's own scheduling of the same operations runs markedly slower.
// `bc` enters holding b ^ c and is consumed; `ab` leaves holding a ^ b, the
// next round's b ^ c, so the two names swap from round to round. W + K is an
// operand in memory.
#define SHA512_ASM_ROUND(a, b, c, d, e, f, g, h, bc, ab, wk_in)                     \
  do {                                                                           \
    uint64_t t0_, t1_, t2_;                                                      \
    __asm__(                                                                     \
        "add   %[WK], %[H]\n\t"                                                  \
        "rorx  $14, %[E], %[T0]\n\t"                                             \
        "rorx  $18, %[E], %[T1]\n\t"                                             \
        "andn  %[G], %[E], %[T2]\n\t"                                            \
        "xor   %[T1], %[T0]\n\t"                                                 \
        "rorx  $41, %[E], %[T1]\n\t"                                             \
        "add   %[T2], %[H]\n\t"                                                  \
        "mov   %[F], %[T2]\n\t"                                                  \
        "and   %[E], %[T2]\n\t"                                                  \
        "xor   %[T1], %[T0]\n\t"                                                 \
        "add   %[T2], %[H]\n\t"                                                  \
        "rorx  $28, %[A], %[T1]\n\t"                                             \
        "add   %[T0], %[H]\n\t"                                                  \
        "rorx  $34, %[A], %[T2]\n\t"                                             \
        "add   %[H], %[D]\n\t"                                                   \
        "xor   %[T2], %[T1]\n\t"                                                 \
        "rorx  $39, %[A], %[T2]\n\t"                                             \
        "mov   %[A], %[AB]\n\t"                                                  \
        "xor   %[B], %[AB]\n\t"                                                  \
        "xor   %[T2], %[T1]\n\t"                                                 \
        "and   %[AB], %[BC]\n\t"                                                 \
        "add   %[T1], %[H]\n\t"                                                  \
        "xor   %[B], %[BC]\n\t"                                                  \
        "add   %[BC], %[H]\n\t"                                                  \
        : [H] "+r"(h), [D] "+r"(d), [BC] "+r"(bc), [AB] "=&r"(ab), [T0] "=&r"(t0_), \
          [T1] "=&r"(t1_), [T2] "=&r"(t2_)                                       \
        : [A] "r"(a), [B] "r"(b), [E] "r"(e), [F] "r"(f), [G] "r"(g), [WK] "m"(wk_in)  \
        : "cc");                                                                 \
  } while (0)

#define SHA512_ASM_ROUNDS8(i, WK)                                    \
  SHA512_ASM_ROUND(a, b, c, d, e, f, g, h, bc, ab, WK((i) + 0));     \
  SHA512_ASM_ROUND(h, a, b, c, d, e, f, g, ab, bc, WK((i) + 1));     \
  SHA512_ASM_ROUND(g, h, a, b, c, d, e, f, bc, ab, WK((i) + 2));     \
  SHA512_ASM_ROUND(f, g, h, a, b, c, d, e, ab, bc, WK((i) + 3));     \
  SHA512_ASM_ROUND(e, f, g, h, a, b, c, d, bc, ab, WK((i) + 4));     \
  SHA512_ASM_ROUND(d, e, f, g, h, a, b, c, ab, bc, WK((i) + 5));     \
  SHA512_ASM_ROUND(c, d, e, f, g, h, a, b, bc, ab, WK((i) + 6));     \
  SHA512_ASM_ROUND(b, c, d, e, f, g, h, a, ab, bc, WK((i) + 7))

[[gnu::target("bmi,bmi2")]] void compress_bmi2(uint64_t* state, const uint8_t* data,
                                           size_t blocks) {
  compress_scalar(state, data, blocks);
}

#define SHA512_PAIRS_FN compress_avx2
#define SHA512_PAIRS_TARGET "avx2,bmi,bmi2"
#define SHA512_PAIRS_SIGMA0 small_sigma0_avx2
#define SHA512_PAIRS_SIGMA1 small_sigma1_avx2
#include "hash/sha512_pairs.inc"
#undef SHA512_PAIRS_FN
#undef SHA512_PAIRS_TARGET
#undef SHA512_PAIRS_SIGMA0
#undef SHA512_PAIRS_SIGMA1

// AVX-512VL rotates and three-way exclusive or halve the schedule's vector work.
#define SHA512_PAIRS_FN compress_avx512
#define SHA512_PAIRS_TARGET "avx2,bmi,bmi2,avx512f,avx512vl"
#define SHA512_PAIRS_SIGMA0 small_sigma0_avx512
#define SHA512_PAIRS_SIGMA1 small_sigma1_avx512
#include "hash/sha512_pairs.inc"
#undef SHA512_PAIRS_FN
#undef SHA512_PAIRS_TARGET
#undef SHA512_PAIRS_SIGMA0
#undef SHA512_PAIRS_SIGMA1

bool cpu_has(Sha512Impl impl) {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                    __builtin_cpu_supports("bmi2");
  if (impl == SHA512_IMPL_AVX2) return avx2;
  return impl == SHA512_IMPL_AVX512 && avx2 && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512vl");
}

#else

bool cpu_has(Sha512Impl) { return false; }

#endif

}  // namespace

void sha512_compress_portable(uint64_t* state, const uint8_t* data, size_t blocks) {
  compress_scalar(state, data, blocks);
}

bool sha512_impl_supported(Sha512Impl impl) {
  switch (impl) {
    case SHA512_IMPL_PORTABLE:
      return true;
    case SHA512_IMPL_AVX2: {
      // The answer never changes, so the first caller's answer is kept.
      static const bool has = cpu_has(SHA512_IMPL_AVX2);
      return has;
    }
    case SHA512_IMPL_AVX512: {
      static const bool has = cpu_has(SHA512_IMPL_AVX512);
      return has;
    }
    default:
      return false;
  }
}

Sha512Impl sha512_impl_best() {
  if (sha512_impl_supported(SHA512_IMPL_AVX512)) return SHA512_IMPL_AVX512;
  if (sha512_impl_supported(SHA512_IMPL_AVX2)) return SHA512_IMPL_AVX2;
  return SHA512_IMPL_PORTABLE;
}

Sha512CompressFn sha512_compress_fn(Sha512Impl impl) {
#if SHA512_HAVE_X86
  if (impl == SHA512_IMPL_AVX2) return compress_avx2;
  if (impl == SHA512_IMPL_AVX512) return compress_avx512;
#endif
  (void)impl;
  return sha512_compress_portable;
}

const char* sha512_impl_name(Sha512Impl impl) {
  switch (impl) {
    case SHA512_IMPL_PORTABLE:
      return "portable";
    case SHA512_IMPL_AVX2:
      return "avx2";
    case SHA512_IMPL_AVX512:
      return "avx512";
    default:
      return "unknown";
  }
}
