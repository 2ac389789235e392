// SHA-512 compression. The rounds are unrolled and rename the eight working
// variables instead of moving them, so that each round is a handful of
// register operations. The accelerated variants compute the message schedule of
// two blocks at once in vector registers while the scalar rounds of the first
// block run, which keeps the vector and integer units busy side by side; their
// rounds and schedule steps are written out instruction by instruction,
// because the speed depends on an order and a register use the compiler does
// not reliably find. Their loops are kept short enough for the decoded
// instruction cache: fully unrolled, the code measured slower.
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

// Byte shuffle that rotates each 64-bit lane right by 8 bits.
alignas(32) constexpr uint8_t ROTR8[32] = {1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8,
                                           1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14, 15, 8};

// One round with BMI1 and BMI2, in an order that starts the chain through e
// first and lets the chain through a fill the gaps; the compiler's own
// scheduling of the same operations runs markedly slower. The arguments name
// the operands that play each role: BC enters holding b ^ c and is consumed,
// AB leaves holding a ^ b, the next round's b ^ c. c is not read: BC stands
// for it. OFF is the byte offset of W + K from %[in].
#define SHA512_ROUND_ASM(A, B, D, E, F, G, H, BC, AB, OFF) \
  "add   " OFF "(%[in]), %[" H "]\n\t"                      \
  "rorx  $14, %[" E "], %[t0]\n\t"                          \
  "rorx  $18, %[" E "], %[t1]\n\t"                          \
  "andn  %[" G "], %[" E "], %[t2]\n\t"                     \
  "xor   %[t1], %[t0]\n\t"                                  \
  "rorx  $41, %[" E "], %[t1]\n\t"                          \
  "add   %[t2], %[" H "]\n\t"                               \
  "mov   %[" F "], %[t2]\n\t"                               \
  "and   %[" E "], %[t2]\n\t"                               \
  "xor   %[t1], %[t0]\n\t"                                  \
  "add   %[t2], %[" H "]\n\t"                               \
  "rorx  $28, %[" A "], %[t1]\n\t"                          \
  "add   %[t0], %[" H "]\n\t"                               \
  "rorx  $34, %[" A "], %[t2]\n\t"                          \
  "add   %[" H "], %[" D "]\n\t"                            \
  "xor   %[t2], %[t1]\n\t"                                  \
  "rorx  $39, %[" A "], %[t2]\n\t"                          \
  "mov   %[" A "], %[" AB "]\n\t"                           \
  "xor   %[" B "], %[" AB "]\n\t"                           \
  "xor   %[t2], %[t1]\n\t"                                  \
  "and   %[" AB "], %[" BC "]\n\t"                          \
  "add   %[t1], %[" H "]\n\t"                               \
  "xor   %[" B "], %[" BC "]\n\t"                           \
  "add   %[" BC "], %[" H "]\n\t"

// Four rounds in one statement, reading W + K of round r at byte
// 32 * (r / 2) + 8 * (r % 2) from `in` (the offsets O0..O3). The eight working
// variables are passed in their roles for the first of the four rounds; the
// next four take the same variables starting from ve, so the names rotate
// instead of the values and every variable keeps its register. `bc` carries
// b ^ c from group to group; `wk` is the buffer the rounds read.
#define SHA512_ROUNDS4(va, vb, vc, vd, ve, vf, vg, vh, O0, O1, O2, O3)                       \
  do {                                                                                       \
    uint64_t t0_, t1_, t2_, y_;                                                              \
    __asm__(SHA512_ROUND_ASM("a", "b", "d", "e", "f", "g", "h", "x", "y", O0)                 \
            SHA512_ROUND_ASM("h", "a", "c", "d", "e", "f", "g", "y", "x", O1)                 \
            SHA512_ROUND_ASM("g", "h", "b", "c", "d", "e", "f", "x", "y", O2)                 \
            SHA512_ROUND_ASM("f", "g", "a", "b", "c", "d", "e", "y", "x", O3)                 \
            : [a] "+r"(va), [b] "+r"(vb), [c] "+r"(vc), [d] "+r"(vd), [e] "+r"(ve),           \
              [f] "+r"(vf), [g] "+r"(vg), [h] "+r"(vh), [x] "+r"(bc), [y] "=&r"(y_),          \
              [t0] "=&r"(t0_), [t1] "=&r"(t1_), [t2] "=&r"(t2_)                               \
            : [in] "r"(in)                                                                   \
            : "cc", "memory");                                                               \
  } while (0)

// Sixteen rounds whose W + K start at `in`.
#define SHA512_ROUNDS16_PLAIN()                                              \
  SHA512_ROUNDS4(a, b, c, d, e, f, g, h, "0", "8", "32", "40");              \
  SHA512_ROUNDS4(e, f, g, h, a, b, c, d, "64", "72", "96", "104");           \
  SHA512_ROUNDS4(a, b, c, d, e, f, g, h, "128", "136", "160", "168");        \
  SHA512_ROUNDS4(e, f, g, h, a, b, c, d, "192", "200", "224", "232")

// One step of the vector message schedule: the pair in X0 is replaced by the
// pair eight later, from the pairs one, four, five and seven after it (X1, X4,
// X5, X7; W[t+1] needs W[t-1], not W[t], so a pair needs only complete pairs),
// and W + K of the new pair goes to out[k] with the constants at kq[k]. Written
// as instructions so that the ring of eight pairs stays in eight registers
// with three temporaries; the compiler's version spilled half the ring.
#define SHA512_STEP_ASM(SIGMA0, SIGMA1)        \
  "vpalignr   $8, %[x0], %[x1], %[w]\n\t"      \
  SIGMA0                                       \
  "vpaddq     %[s], %[x0], %[x0]\n\t"          \
  "vpalignr   $8, %[x4], %[x5], %[w]\n\t"      \
  "vpaddq     %[w], %[x0], %[x0]\n\t"          \
  SIGMA1                                       \
  "vpaddq     %[s], %[x0], %[x0]\n\t"          \
  "vpaddq     %[kw], %[x0], %[w]\n\t"          \
  "vmovdqa    %[w], %[out]\n\t"

// sigma0 of %[w] and sigma1 of %[x7] into %[s], with %[t] (and, for AVX-512,
// %[w]) as scratch. With AVX2 the rotation by 8 is one byte shuffle instead of
// two shifts and an or; AVX-512VL has rotates and a three-way exclusive or
// (0x96), which halve the work.
#define SHA512_SIGMA0_AVX2               \
  "vpsrlq     $1, %[w], %[s]\n\t"        \
  "vpsllq     $63, %[w], %[t]\n\t"       \
  "vpxor      %[t], %[s], %[s]\n\t"      \
  "vpshufb    %[rot8], %[w], %[t]\n\t"   \
  "vpxor      %[t], %[s], %[s]\n\t"      \
  "vpsrlq     $7, %[w], %[t]\n\t"        \
  "vpxor      %[t], %[s], %[s]\n\t"
#define SHA512_SIGMA1_AVX2               \
  "vpsrlq     $6, %[x7], %[s]\n\t"       \
  "vpsrlq     $19, %[x7], %[t]\n\t"      \
  "vpxor      %[t], %[s], %[s]\n\t"      \
  "vpsllq     $45, %[x7], %[t]\n\t"      \
  "vpxor      %[t], %[s], %[s]\n\t"      \
  "vpsrlq     $61, %[x7], %[t]\n\t"      \
  "vpxor      %[t], %[s], %[s]\n\t"      \
  "vpsllq     $3, %[x7], %[t]\n\t"       \
  "vpxor      %[t], %[s], %[s]\n\t"
#define SHA512_SIGMA0_AVX512             \
  "vprorq     $1, %[w], %[s]\n\t"        \
  "vprorq     $8, %[w], %[t]\n\t"        \
  "vpsrlq     $7, %[w], %[w]\n\t"        \
  "vpternlogq $0x96, %[w], %[t], %[s]\n\t"
#define SHA512_SIGMA1_AVX512             \
  "vprorq     $19, %[x7], %[s]\n\t"      \
  "vprorq     $61, %[x7], %[t]\n\t"      \
  "vpsrlq     $6, %[x7], %[w]\n\t"       \
  "vpternlogq $0x96, %[w], %[t], %[s]\n\t"

#define SHA512_STEP_OPERANDS(k, X0, X1, X4, X5, X7)                                       \
  : [x0] "+x"(X0), [w] "=&x"(w_), [s] "=&x"(s_), [t] "=&x"(t_), [out] "=m"(out[k])        \
  : [x1] "x"(X1), [x4] "x"(X4), [x5] "x"(X5), [x7] "x"(X7), [kw] "m"(kq[k]),               \
    [rot8] "m"(*reinterpret_cast<const __m256i*>(ROTR8))
#define SHA512_STEP(k, X0, X1, X4, X5, X7)                                                \
  do {                                                                                    \
    __m256i w_, s_, t_;                                                                   \
    if constexpr (AVX512) {                                                               \
      __asm__(SHA512_STEP_ASM(SHA512_SIGMA0_AVX512, SHA512_SIGMA1_AVX512)                 \
                  SHA512_STEP_OPERANDS(k, X0, X1, X4, X5, X7));                           \
    } else {                                                                              \
      __asm__(SHA512_STEP_ASM(SHA512_SIGMA0_AVX2, SHA512_SIGMA1_AVX2)                     \
                  SHA512_STEP_OPERANDS(k, X0, X1, X4, X5, X7));                           \
    }                                                                                     \
  } while (0)

// Words 2p, 2p+1 of the block at `data` (low lane) and of the next block (high
// lane) into X; W + K of them to wk[p].
#define SHA512_LOAD(p, X)                                                                   \
  do {                                                                                      \
    const __m128i lo_ = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * (p)));  \
    const __m128i hi_ = _mm_loadu_si128(                                                    \
        reinterpret_cast<const __m128i*>(data + SHA512_BLOCK_SIZE + 16 * (p)));             \
    X = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo_), hi_, 1),   \
                            swap);                                                          \
    _mm256_store_si256(wk + (p), _mm256_add_epi64(X, _mm256_load_si256(kp + (p))));         \
  } while (0)

[[gnu::target("bmi,bmi2")]] void compress_bmi2(uint64_t* state, const uint8_t* data,
                                           size_t blocks) {
  compress_scalar(state, data, blocks);
}

// Two blocks per step. x0..x7 hold the schedule as a ring of eight pairs: the
// low lane words 2p, 2p+1 of the first block, the high lane the same words of
// the second. W + K goes to `wk`, entry p being {A[2p], A[2p+1], B[2p],
// B[2p+1]}, and the rounds read it from there. The schedule runs inside the
// first block's rounds 0..63, two pairs every four rounds, at least twelve
// rounds ahead of its use; the first block's last sixteen rounds and all of
// the second block's are scalar only. (Spreading the next pair's schedule over
// both blocks' rounds measured slower on a shared core.)
template <bool AVX512>
[[gnu::target("avx2,bmi,bmi2"), gnu::always_inline]] inline void compress_pairs(
    uint64_t* state, const uint8_t* data, size_t blocks) {
  const __m256i swap = _mm256_setr_epi8(7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8,
                                        7, 6, 5, 4, 3, 2, 1, 0, 15, 14, 13, 12, 11, 10, 9, 8);
  const __m256i* kp = reinterpret_cast<const __m256i*>(K_PAIRS.v);
  alignas(32) __m256i wk[40];

  for (; blocks >= 2; blocks -= 2, data += 2 * SHA512_BLOCK_SIZE) {
    __m256i x0, x1, x2, x3, x4, x5, x6, x7;
    SHA512_LOAD(0, x0); SHA512_LOAD(1, x1); SHA512_LOAD(2, x2); SHA512_LOAD(3, x3);
    SHA512_LOAD(4, x4); SHA512_LOAD(5, x5); SHA512_LOAD(6, x6); SHA512_LOAD(7, x7);

    uint64_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint64_t e = state[4], f = state[5], g = state[6], h = state[7];
    uint64_t bc = b ^ c;
    const uint64_t* in = reinterpret_cast<const uint64_t*>(wk);
    // Rounds 16j..16j+15 of the first block schedule pairs 8j+8..8j+15.
    __m256i* out = wk + 8;
    const __m256i* kq = kp + 8;
    for (int j = 0; j < 4; j++, in += 32, out += 8, kq += 8) {
      SHA512_ROUNDS4(a, b, c, d, e, f, g, h, "0", "8", "32", "40");
      SHA512_STEP(0, x0, x1, x4, x5, x7);
      SHA512_STEP(1, x1, x2, x5, x6, x0);
      SHA512_ROUNDS4(e, f, g, h, a, b, c, d, "64", "72", "96", "104");
      SHA512_STEP(2, x2, x3, x6, x7, x1);
      SHA512_STEP(3, x3, x4, x7, x0, x2);
      SHA512_ROUNDS4(a, b, c, d, e, f, g, h, "128", "136", "160", "168");
      SHA512_STEP(4, x4, x5, x0, x1, x3);
      SHA512_STEP(5, x5, x6, x1, x2, x4);
      SHA512_ROUNDS4(e, f, g, h, a, b, c, d, "192", "200", "224", "232");
      SHA512_STEP(6, x6, x7, x2, x3, x5);
      SHA512_STEP(7, x7, x0, x3, x4, x6);
    }
    // Rounds 64..79 of the first block, then the second block's 80 rounds,
    // through one loop so that the scalar-only rounds exist once in the code.
    for (int j = 0; j < 6; j++, in += 32) {
      if (j == 1) {
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
        a = state[0], b = state[1], c = state[2], d = state[3];
        e = state[4], f = state[5], g = state[6], h = state[7];
        bc = b ^ c;
        in = reinterpret_cast<const uint64_t*>(wk) + 2;
      }
      SHA512_ROUNDS16_PLAIN();
    }
    state[0] += a; state[1] += b; state[2] += c; state[3] += d;
    state[4] += e; state[5] += f; state[6] += g; state[7] += h;
  }
  if (blocks) {
    // The vector work above is mostly in asm statements, and the compiler
    // leaves the upper register halves dirty on this path by itself.
    _mm256_zeroupper();
    compress_bmi2(state, data, blocks);
  }
}

#undef SHA512_ROUND_ASM
#undef SHA512_ROUNDS4
#undef SHA512_ROUNDS16_PLAIN
#undef SHA512_STEP_ASM
#undef SHA512_SIGMA0_AVX2
#undef SHA512_SIGMA1_AVX2
#undef SHA512_SIGMA0_AVX512
#undef SHA512_SIGMA1_AVX512
#undef SHA512_STEP_OPERANDS
#undef SHA512_STEP
#undef SHA512_LOAD

[[gnu::target("avx2,bmi,bmi2")]] void compress_avx2(uint64_t* state, const uint8_t* data,
                                                    size_t blocks) {
  compress_pairs<false>(state, data, blocks);
}

// The AVX-512 instructions are in the shared body's text, so this variant only
// differs in the schedule's instructions; it runs only where they exist.
[[gnu::target("avx2,bmi,bmi2,avx512f,avx512vl")]] void compress_avx512(uint64_t* state,
                                                                       const uint8_t* data,
                                                                       size_t blocks) {
  compress_pairs<true>(state, data, blocks);
}

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
