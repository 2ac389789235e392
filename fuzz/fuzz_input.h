// Helpers shared by the fuzz targets: a reader that takes bytes off the front
// of the fuzzer's input, and a check that aborts with a message so that
// libFuzzer records the input as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Stops the run with `what` when `ok` is false.
#define FUZZ_CHECK(ok, what)                                                        \
  do {                                                                              \
    if (!(ok)) {                                                                    \
      std::fprintf(stderr, "%s:%d: check failed: %s (%s)\n", __FILE__, __LINE__, #ok, \
                   what);                                                           \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// Reads the input front to back; past the end every read gives 0.
struct FuzzInput {
  const uint8_t* data;
  size_t size;

  uint8_t byte() {
    if (size == 0) return 0;
    size--;
    return *data++;
  }
  uint32_t u16() { return byte() | (uint32_t{byte()} << 8); }
  uint32_t u32() { return u16() | (u16() << 16); }
  // Takes up to `n` bytes; `*out` points at them inside the input.
  size_t take(size_t n, const uint8_t** out) {
    if (n > size) n = size;
    *out = data;
    data += n;
    size -= n;
    return n;
  }
};

// A heap copy of `n` bytes followed by `guard` bytes of 0xA5; the caller frees it.
inline unsigned char* fuzz_guarded_copy(const void* bytes, size_t n, size_t guard) {
  auto* p = static_cast<unsigned char*>(std::malloc(n + guard + 1));
  if (n) std::memcpy(p, bytes, n);
  std::memset(p + n, 0xA5, guard);
  return p;
}

// True when the `guard` bytes after `n` still hold 0xA5.
inline bool fuzz_guard_intact(const void* block, size_t n, size_t guard) {
  const auto* p = static_cast<const unsigned char*>(block) + n;
  for (size_t i = 0; i < guard; i++) {
    if (p[i] != 0xA5) return false;
  }
  return true;
}
