// The UTF-8 / UTF-16 converters on arbitrary input, read both as bytes and as
// 16-bit units: every capacity gets the full length back, a terminated prefix
// of the whole result that ends on a code point boundary, and nothing past the
// capacity; well-formed input survives the round trip through the other form.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/text.h"
#include "base/utf.h"
#include "fuzz/fuzz_input.h"

namespace {

constexpr size_t GUARD = 16;

// Well-formed UTF-8 without zero bytes: shortest forms, no surrogates, at
// most U+10FFFF. Written from the encoding rules, not from the decoder.
bool utf8_well_formed(const std::string& s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const size_t n = s.size();
  for (size_t i = 0; i < n;) {
    const unsigned b = p[i];
    if (b == 0) return false;
    if (b < 0x80) {
      i++;
      continue;
    }
    size_t extra;
    uint32_t min;
    uint32_t cp;
    if ((b & 0xE0) == 0xC0) {
      extra = 1, min = 0x80, cp = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, min = 0x800, cp = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, min = 0x10000, cp = b & 0x07;
    } else {
      return false;
    }
    if (i + extra >= n) return false;
    for (size_t k = 1; k <= extra; k++) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i + k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

// Well-formed UTF-16 without zero units: every surrogate in a high-low pair.
bool utf16_well_formed(const std::u16string& w) {
  for (size_t i = 0; i < w.size(); i++) {
    const char16_t u = w[i];
    if (u == 0) return false;
    if (u >= 0xDC00 && u <= 0xDFFF) return false;
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 >= w.size() || w[i + 1] < 0xDC00 || w[i + 1] > 0xDFFF) return false;
      i++;
    }
  }
  return true;
}

// Converts at `capacity` into a guarded buffer and checks it against `whole`.
void check_narrow_capacity(const std::u16string& source, size_t max_units, const std::string& whole,
                           size_t capacity) {
  char* out = reinterpret_cast<char*>(fuzz_guarded_copy(nullptr, 0, capacity + GUARD));
  std::memset(out, 0xA5, capacity + GUARD);
  const size_t n = utf8_from_wide(out, capacity, source.c_str(), max_units);
  FUZZ_CHECK(n == whole.size(), "full length at any capacity");
  FUZZ_CHECK(fuzz_guard_intact(out, capacity, GUARD), "nothing written past the capacity");
  if (capacity) {
    const size_t kept = std::strlen(out);
    FUZZ_CHECK(kept < capacity, "terminated inside the capacity");
    FUZZ_CHECK(whole.compare(0, kept, out, kept) == 0, "a prefix of the whole result");
    if (n < capacity) FUZZ_CHECK(kept == n, "the whole result when it fits");
    // A boundary: the next byte of the whole result does not continue a sequence.
    if (kept < whole.size()) {
      FUZZ_CHECK((static_cast<unsigned char>(whole[kept]) & 0xC0) != 0x80,
                 "cut on a code point boundary");
    }
  }
  std::free(out);
}

void check_wide_capacity(const std::string& source, size_t max_bytes, const std::u16string& whole,
                         size_t capacity) {
  auto* out = reinterpret_cast<char16_t*>(
      fuzz_guarded_copy(nullptr, 0, (capacity + GUARD) * sizeof(char16_t)));
  std::memset(out, 0xA5, (capacity + GUARD) * sizeof(char16_t));
  const size_t n = wide_from_utf8(out, capacity, source.c_str(), max_bytes);
  FUZZ_CHECK(n == whole.size(), "full length at any capacity");
  FUZZ_CHECK(fuzz_guard_intact(out + capacity, 0, GUARD * sizeof(char16_t)),
             "nothing written past the capacity");
  if (capacity) {
    size_t kept = 0;
    while (kept < capacity && out[kept]) kept++;
    FUZZ_CHECK(kept < capacity, "terminated inside the capacity");
    FUZZ_CHECK(whole.compare(0, kept, out, kept) == 0, "a prefix of the whole result");
    if (n < capacity) FUZZ_CHECK(kept == n, "the whole result when it fits");
    // Encoded surrogates in ill-formed input may meet as a pair in the
    // output, and a cut between them is still a boundary of the source.
    if (kept < whole.size() && utf8_well_formed(source.substr(0, max_bytes))) {
      FUZZ_CHECK(!(whole[kept] >= 0xDC00 && whole[kept] <= 0xDFFF && kept > 0 &&
                   whole[kept - 1] >= 0xD800 && whole[kept - 1] <= 0xDBFF),
                 "a surrogate pair is never split");
    }
  }
  std::free(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const size_t cap_a = in.byte();
  const size_t cap_b = in.byte();
  const size_t bound = in.u16();
  const std::string bytes(reinterpret_cast<const char*>(in.data), in.size);
  const std::string text = bytes.c_str();
  std::u16string units(in.size / 2, u'\0');
  std::memcpy(units.data(), in.data, units.size() * 2);
  const std::u16string wide = units.c_str();

  // UTF-8 to UTF-16, whole and bounded.
  const size_t wide_length = wide_from_utf8_len(text.c_str(), TEXT_UNBOUNDED);
  std::u16string to_wide(wide_length + 1, u'\0');
  FUZZ_CHECK(wide_from_utf8(to_wide.data(), to_wide.size(), text.c_str()) == wide_length,
             "measured and converted lengths agree");
  FUZZ_CHECK(to_wide[wide_length] == 0, "terminated");
  to_wide.resize(wide_length);
  for (size_t cap : {cap_a, cap_b % (wide_length + 2), wide_length, wide_length + 1}) {
    check_wide_capacity(text, TEXT_UNBOUNDED, to_wide, cap);
  }
  // A byte bound converts exactly the bounded text.
  const std::string prefix = text.substr(0, bound);
  std::u16string prefix_wide(wide_from_utf8_len(prefix.c_str(), TEXT_UNBOUNDED), u'\0');
  wide_from_utf8(prefix_wide.data(), prefix_wide.size() + 1, prefix.c_str());
  check_wide_capacity(text, bound, prefix_wide, cap_a);

  // UTF-16 to UTF-8, whole and bounded.
  const size_t narrow_length = utf8_from_wide_len(wide.c_str(), TEXT_UNBOUNDED);
  std::string to_narrow(narrow_length + 1, '\0');
  FUZZ_CHECK(utf8_from_wide(to_narrow.data(), to_narrow.size(), wide.c_str()) == narrow_length,
             "measured and converted lengths agree");
  to_narrow.resize(narrow_length);
  for (size_t cap : {cap_a, cap_b % (narrow_length + 2), narrow_length, narrow_length + 1}) {
    check_narrow_capacity(wide, TEXT_UNBOUNDED, to_narrow, cap);
  }
  const std::u16string wide_prefix = wide.substr(0, bound);
  std::string wide_prefix_narrow(utf8_from_wide_len(wide_prefix.c_str(), TEXT_UNBOUNDED), '\0');
  utf8_from_wide(wide_prefix_narrow.data(), wide_prefix_narrow.size() + 1, wide_prefix.c_str());
  check_narrow_capacity(wide, bound, wide_prefix_narrow, cap_b);

  // Round trips of well-formed input, byte for byte.
  if (utf8_well_formed(text)) {
    std::string back(utf8_from_wide_len(to_wide.c_str(), TEXT_UNBOUNDED), '\0');
    utf8_from_wide(back.data(), back.size() + 1, to_wide.c_str());
    FUZZ_CHECK(back == text, "UTF-8 to UTF-16 and back");
  }
  if (utf16_well_formed(wide)) {
    std::u16string back(wide_from_utf8_len(to_narrow.c_str(), TEXT_UNBOUNDED), u'\0');
    wide_from_utf8(back.data(), back.size() + 1, to_narrow.c_str());
    FUZZ_CHECK(back == wide, "UTF-16 to UTF-8 and back");
  }
  // The pool forms agree with the buffer forms.
  ScratchPool pool;
  const char* pooled = pool_utf8_from_wide(&pool, wide.c_str());
  FUZZ_CHECK(pooled && to_narrow == pooled, "pooled UTF-8 matches");
  const char16_t* pooled_wide = pool_wide_from_utf8(&pool, text.c_str());
  FUZZ_CHECK(pooled_wide && to_wide == pooled_wide, "pooled UTF-16 matches");
  return 0;
}
