// Text primitives: lengths, copies, moves, hex rendering, classes, comparisons.
#include "base/text.h"

#include <cstdlib>
#include <cstring>

#include "base/utf.h"

char* pool_copy_text(Allocator* a, const char* text, size_t max_bytes) {
  const size_t n = text_len_max(text, max_bytes);
  char* copy = static_cast<char*>(allocate(a, n + 1));
  if (copy && n) std::memcpy(copy, text, n);
  return copy;
}

char16_t* pool_copy_wide(Allocator* a, const char16_t* wide, size_t max_units) {
  const size_t n = wide_len_max(wide, max_units);
  auto* copy = static_cast<char16_t*>(allocate(a, 2 * n + 2));
  if (copy && n) std::memcpy(copy, wide, 2 * n);
  return copy;
}

char* heap_text_buffer(size_t size) {
  if (size == 0) return nullptr;
  char* buffer = static_cast<char*>(std::malloc(size));
  if (!buffer) return nullptr;
  buffer[0] = 0;
  buffer[size - 1] = 0;
  return buffer;
}

char* heap_copy_text(const char* text, size_t max_bytes) {
  if (!text) return nullptr;
  const size_t n = text_len_max(text, max_bytes);
  char* copy = heap_text_buffer(n + 1);
  if (copy) std::memcpy(copy, text, n);
  return copy;
}

char16_t* heap_wide_buffer(size_t count) {
  if (count == 0) return nullptr;
  auto* buffer = static_cast<char16_t*>(std::malloc(count * sizeof(char16_t)));
  if (!buffer) return nullptr;
  buffer[0] = 0;
  buffer[count - 1] = 0;
  return buffer;
}

char16_t* heap_copy_wide(const char16_t* wide, size_t max_units) {
  if (!wide) return nullptr;
  const size_t n = wide_len_max(wide, max_units);
  char16_t* copy = heap_wide_buffer(n + 1);
  if (copy) std::memcpy(copy, wide, n * sizeof(char16_t));
  return copy;
}

size_t text_len(const char* text) { return text ? std::strlen(text) : 0; }

size_t text_len_max(const char* text, size_t max) {
  return text ? strnlen(text, max) : 0;
}

size_t wide_len(const char16_t* wide) { return wide_len_max(wide, TEXT_UNBOUNDED); }

size_t wide_len_max(const char16_t* wide, size_t max) {
  if (!wide) return 0;
  size_t n = 0;
  while (n < max && wide[n]) n++;
  return n;
}

bool text_is_empty(const char* text) { return !text || !*text; }
bool wide_is_empty(const char16_t* wide) { return !wide || !*wide; }
const char* text_or_empty(const char* text) { return text ? text : ""; }
const char16_t* wide_or_empty(const char16_t* wide) { return wide ? wide : u""; }

void text_copy_bounded(char* dest, size_t capacity, const char* source, size_t max_bytes) {
  if (!dest || capacity == 0) return;
  size_t n = text_len_max(source, capacity < max_bytes ? capacity : max_bytes);
  if (n >= capacity) n = capacity - 1;
  if (n) std::memmove(dest, source, n);
  dest[n] = 0;
}

void text_copy(char* dest, const char* source) {
  text_copy_bounded(dest, TEXT_UNBOUNDED, source, TEXT_UNBOUNDED);
}

void text_copy_max(char* dest, const char* source, size_t max_bytes) {
  text_copy_bounded(dest, TEXT_UNBOUNDED, source, max_bytes);
}

void bytes_move(void* dest, const void* source, size_t count) {
  if (!dest) return;
  if (!source) {
    std::memset(dest, 0, count);
    return;
  }
  std::memmove(dest, source, count);
}

void wide_move(char16_t* dest, const char16_t* source, size_t count) {
  bytes_move(dest, source, count * sizeof(char16_t));
}

size_t hex_from_bytes(char* dest, size_t capacity, const void* bytes, size_t count) {
  static const char DIGITS[] = "0123456789abcdef";
  if (!bytes) {
    if (dest && capacity) dest[0] = 0;
    return 0;
  }
  if (!dest || capacity == 0) return 2 * count;
  const auto* in = static_cast<const unsigned char*>(bytes);
  size_t pos = 0;
  for (size_t i = 0; i < count && pos < capacity; i++) {
    dest[pos++] = DIGITS[in[i] >> 4];
    if (pos < capacity) dest[pos++] = DIGITS[in[i] & 15];
  }
  // When the digits fill the buffer the last one gives way to the terminator.
  dest[pos < capacity ? pos : capacity - 1] = 0;
  return 2 * count;
}

size_t hex_from_bytes(char* dest, const void* bytes, size_t count) {
  return hex_from_bytes(dest, TEXT_UNBOUNDED, bytes, count);
}

bool char_is_digit(int c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return b >= '0' && b <= '9';
}
bool wide_is_digit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool char_is_hex_digit(int c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'f') || (b >= 'A' && b <= 'F');
}
bool char_is_space(int c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return b == 9 || b == 10 || b == 11 || b == 13 || b == 32;
}
int char_to_lower_ascii(int c) {
  const unsigned char b = static_cast<unsigned char>(c);
  return (b >= 'A' && b <= 'Z') ? b + 32 : b;
}

static unsigned upper_ascii(unsigned char b) { return (b >= 'a' && b <= 'z') ? b - 32u : b; }

int text_compare_nocase(const char* a, size_t a_max, const char* b, size_t b_max) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(text_or_empty(a));
  const unsigned char* y = reinterpret_cast<const unsigned char*>(text_or_empty(b));
  for (size_t i = 0;; i++) {
    const unsigned cx = i < a_max ? upper_ascii(x[i]) : 0;
    const unsigned cy = i < b_max ? upper_ascii(y[i]) : 0;
    if (cx != cy) return cx < cy ? -1 : 1;
    if (cx == 0) return 0;
  }
}

int text_begins_nocase(const char* text, const char* prefix) {
  const size_t lt = text_len(text);
  const size_t lp = text_len(prefix);
  return text_compare_nocase(text, lt < lp ? lt : lp, prefix, lp);
}

int text_match_wildcard(const char* pattern, const char* text) {
  constexpr int MAX_BACKUPS = 50;
  struct Backup {
    size_t pattern_pos;
    size_t text_pos;
  } backups[MAX_BACKUPS];
  int held = 0;
  const char* p = text_or_empty(pattern);
  const char* t = text_or_empty(text);
  size_t pi = 0;
  size_t ti = 0;
  for (;;) {
    const unsigned c = upper_ascii(static_cast<unsigned char>(p[pi]));
    const unsigned d = upper_ascii(static_cast<unsigned char>(t[ti]));
    if (c == '*') {
      if (d != 0 && held < MAX_BACKUPS) backups[held++] = {pi, ti + 1};
      pi++;
      continue;
    }
    if (c == 0 && d == 0) return 1;
    if (c != 0 && (c == d || (c == '?' && d != 0))) {
      pi++;
      ti++;
      continue;
    }
    if (held == 0) return 0;
    held--;
    pi = backups[held].pattern_pos;
    ti = backups[held].text_pos;
  }
}

template <uint32_t (*Decode)(const char*, size_t, size_t, size_t*)>
static int compare_code_points(const char* a, size_t a_max, const char* b, size_t b_max) {
  const size_t la = text_len_max(a, a_max);
  const size_t lb = text_len_max(b, b_max);
  size_t pa = 0;
  size_t pb = 0;
  for (;;) {
    const uint32_t ca = Decode(a, la, pa, &pa);
    const uint32_t cb = Decode(b, lb, pb, &pb);
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
}

int text_compare_utf8(const char* a, size_t a_max, const char* b, size_t b_max) {
  return compare_code_points<utf8_decode>(a, a_max, b, b_max);
}

int text_compare_utf8(const char* a, size_t a_max, const char* b) {
  return compare_code_points<utf8_decode>(a, a_max, b, TEXT_UNBOUNDED);
}

int text_compare_folded(const char* a, size_t a_max, const char* b, size_t b_max) {
  return compare_code_points<utf8_decode_folded>(a, a_max, b, b_max);
}

int wide_begins_nocase(const char16_t* wide, const char16_t* prefix) {
  const char16_t* w = wide_or_empty(wide);
  const char16_t* p = wide_or_empty(prefix);
  const size_t lw = wide_len(w);
  const size_t lp = wide_len(p);
  const size_t n = lw < lp ? lw : lp;
  for (size_t i = 0;; i++) {
    unsigned cw = i < n ? w[i] : 0;
    unsigned cp = i < lp ? p[i] : 0;
    if (cw >= u'a' && cw <= u'z') cw -= 32;
    if (cp >= u'a' && cp <= u'z') cp -= 32;
    if (cw != cp) return cw < cp ? -1 : 1;
    if (cw == 0) return 0;
  }
}
