// Chunk compression: the checks every call gets, the gate on how many
// compressions run at once, and the saving estimate that spares the deflating
// of chunks that cannot shrink enough. The streams themselves come from
// hash/deflate_stream.h.
#include "hash/deflate.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "base/err.h"
#include "base/runtime.h"
#include "base/semaphore.h"
#include "hash/deflate_stream.h"

namespace {

// Deflating is all processor work, so streams beyond a few per processor only
// hold memory: a long copy's 16 workers ended up with 16 (6.4 MiB). Measured on
// 2 cores, 1 GiB: four streams per processor keep the copy's speed and its peak
// memory at 14.8 MiB (17.9 without the gate); one or two per processor cost 7%.
std::atomic<int32_t> g_deflating{0};  // streams running or waiting
Semaphore g_deflate_turn;             // posted when a stream ends with others waiting

int32_t deflate_limit() {
  static const int32_t limit = 4 * static_cast<int32_t>(processor_count());
  return limit;
}

void deflate_enter() {
  if (g_deflating.fetch_add(1) >= deflate_limit()) (void)semaphore_wait(&g_deflate_turn, nullptr, -1);
}

void deflate_leave() {
  if (g_deflating.fetch_sub(1) > deflate_limit()) semaphore_post(&g_deflate_turn);
}

// The saving estimate. Deflate saves through short codes for frequent bytes
// and through back-references to repeats; both are judged here at a small
// fraction of what deflating costs. Byte frequencies are taken per 4 KiB,
// finer than deflate's blocks can follow, and corrected for the spread a
// small sample shows even in random data, so that random data comes out at
// about 0 whatever the chunk size.
constexpr size_t ESTIMATE_SEGMENT = 4096;
// Repeats are looked for at anchors, the places holding one byte value: in
// data whose bytes are near-uniform (the only data searched) that is one
// place in 256, and a copy carries its anchors along wherever it lies.
constexpr int REPEAT_ANCHOR = 0x9d;
constexpr size_t REPEAT_MIN = 8;       // bytes compared at an anchor
constexpr size_t REPEAT_REACH = 32768;  // how far back deflate can refer
constexpr size_t REPEAT_COST = 4;       // about what one back-reference takes in the stream
constexpr int REPEAT_TABLE_BITS = 12;

// count * log2(count), for the counts of one segment.
const std::array<double, ESTIMATE_SEGMENT + 1>& nlog2n() {
  static const std::array<double, ESTIMATE_SEGMENT + 1> table = [] {
    std::array<double, ESTIMATE_SEGMENT + 1> t{};
    for (size_t c = 1; c < t.size(); c++) t[c] = static_cast<double>(c) * std::log2(static_cast<double>(c));
    return t;
  }();
  return table;
}

// Bytes an ideal code of each segment's byte frequencies saves.
int64_t frequency_saving(const uint8_t* p, size_t n) {
  const auto& t = nlog2n();
  double bits = 0;
  for (size_t at = 0; at < n; at += ESTIMATE_SEGMENT) {
    const size_t len = std::min(ESTIMATE_SEGMENT, n - at);
    const uint8_t* s = p + at;
    // Four tables so that runs of one byte do not wait on one counter.
    uint16_t count[4][256] = {};
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
      count[0][s[i]]++;
      count[1][s[i + 1]]++;
      count[2][s[i + 2]]++;
      count[3][s[i + 3]]++;
    }
    for (; i < len; i++) count[0][s[i]]++;
    double sum = 0;
    int distinct = 0;
    for (int b = 0; b < 256; b++) {
      const unsigned c = count[0][b] + count[1][b] + count[2][b] + count[3][b];
      if (c != 0) {
        sum += t[c];
        distinct++;
      }
    }
    // The second term (Miller-Madow) adds back what a sample's frequencies
    // understate of the source's entropy.
    bits += t[len] - sum + (distinct - 1) / (2 * std::log(2.0));
  }
  return static_cast<int64_t>(n) - static_cast<int64_t>(bits / 8);
}

// Bytes saved by back-references to the repeats found at anchors, each
// followed forward as far as it goes.
int64_t repeat_saving(const uint8_t* p, size_t n) {
  if (n < 2 * REPEAT_MIN || n >= UINT32_MAX) return 0;
  uint32_t latest[size_t{1} << REPEAT_TABLE_BITS] = {};  // an anchor's position + 1, by its bytes' hash
  int64_t saved = 0;
  const uint8_t* const last = p + n - REPEAT_MIN;  // the last place with REPEAT_MIN bytes after it
  const uint8_t* a = p;
  while (a <= last) {
    a = static_cast<const uint8_t*>(std::memchr(a, REPEAT_ANCHOR, static_cast<size_t>(last - a) + 1));
    if (!a) break;
    uint64_t key;
    std::memcpy(&key, a, sizeof key);
    const size_t slot = (key * 0x9E3779B97F4A7C15ull) >> (64 - REPEAT_TABLE_BITS);
    const auto at = static_cast<uint32_t>(a - p);
    const uint32_t before = latest[slot];
    latest[slot] = at + 1;
    const uint8_t* from = before != 0 ? p + before - 1 : nullptr;
    if (from && at - (before - 1) <= REPEAT_REACH && std::memcmp(from, a, REPEAT_MIN) == 0) {
      size_t len = REPEAT_MIN;
      while (at + len < n && from[len] == a[len]) len++;
      saved += static_cast<int64_t>(len - REPEAT_COST);
      a += len;
    } else {
      a++;
    }
  }
  return saved;
}

}  // namespace

int chunk_compress(const void* input, size_t input_length, void* output, size_t output_limit,
                   size_t* out_produced) {
  *out_produced = 0;
  if (input_length == 0) return 0;
  if (input_length > UINT_MAX) return ERR_INVALID_PARAMETER;
  deflate_enter();
  const int rc = deflate_stream_compress(input, input_length, output, output_limit, out_produced);
  deflate_leave();
  return rc;
}

int64_t chunk_compress_saving_estimate(const void* input, size_t input_length) {
  const auto* p = static_cast<const uint8_t*>(input);
  return frequency_saving(p, input_length) + repeat_saving(p, input_length);
}

bool chunk_compress_promising(const void* input, size_t input_length, size_t output_limit) {
  if (output_limit >= input_length) return true;
  if (output_limit == 0) return false;  // no stream is empty
  // Half the saving asked for: the estimate misses repeats in data with
  // skewed frequencies (text, code), so it falls short of level 9 there.
  const auto wanted = static_cast<int64_t>((input_length - output_limit) / 2);
  const auto* p = static_cast<const uint8_t*>(input);
  const int64_t saving = frequency_saving(p, input_length);
  return saving >= wanted || saving + repeat_saving(p, input_length) >= wanted;
}

int chunk_uncompress(const void* input, size_t input_length, void* output, size_t output_limit,
                     size_t* out_produced) {
  *out_produced = 0;
  if (input_length == 0) return 0;
  if (input_length > UINT_MAX) return ERR_INVALID_PARAMETER;
  return deflate_stream_uncompress(input, input_length, output, output_limit, out_produced);
}
