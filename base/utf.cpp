// UTF-8 / UTF-16 codecs, conversions and simple case folding.
#include "base/utf.h"

#include "base/text.h"

namespace {
#include "base/casefold_tables.inc"
}  // namespace

uint32_t utf8_decode(const char* text, size_t length, size_t position, size_t* out_next) {
  if (!text || position >= length) {
    *out_next = position;
    return 0;
  }
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  const unsigned lead = s[position];
  if (lead < 0x80) {
    *out_next = position + 1;
    return lead;
  }
  int extra;
  uint32_t value;
  if (lead >= 0xC0 && lead <= 0xDF) {
    extra = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    value = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF7) {
    extra = 3;
    value = lead & 0x07;
  } else {
    *out_next = position + 1;
    return UTF_INVALID;
  }
  if (length - position <= static_cast<size_t>(extra)) {
    *out_next = position + 1;
    return UTF_INVALID;
  }
  for (int i = 1; i <= extra; i++) {
    const unsigned b = s[position + i];
    if ((b & 0xC0) != 0x80) {
      *out_next = position + 1;
      return UTF_INVALID;
    }
    value = (value << 6) | (b & 0x3F);
  }
  *out_next = position + extra + 1;
  return value;
}

uint32_t fold_code_point(uint32_t cp) {
  if (cp < 0x800) {
    const unsigned entry = CASEFOLD_DIRECT[cp];
    if (entry != 255) return cp + entry - 32;
  }
  if (cp <= 0xFFFF) {
    // Fixed nine-step search; the 0xFFFF padding keeps every probe inside.
    unsigned found = 0;
    for (unsigned step = 256; step; step >>= 1) {
      const uint16_t* pair = CASEFOLD_PAIRS16[(found | step) - 1];
      if (pair[0] < cp) {
        found |= step;
      } else if (pair[0] == cp) {
        return pair[1];
      }
    }
    return cp;
  }
  unsigned found = 0;
  for (unsigned step = 32; step; step >>= 1) {
    const uint32_t* pair = CASEFOLD_PAIRS32[(found | step) - 1];
    if (pair[0] < cp) {
      found |= step;
    } else if (pair[0] == cp) {
      return pair[1];
    }
  }
  return cp;
}

uint32_t utf8_decode_folded(const char* text, size_t length, size_t position, size_t* out_next) {
  const uint32_t cp = utf8_decode(text, length, position, out_next);
  return cp == UTF_INVALID ? cp : fold_code_point(cp);
}

uint32_t utf16_decode(const char16_t* wide, size_t length, size_t position, size_t* out_next) {
  if (!wide || position >= length) {
    *out_next = position;
    return 0;
  }
  const uint32_t unit = wide[position];
  if (unit < 0xD800 || unit > 0xDFFF) {
    *out_next = position + 1;
    return unit;
  }
  if (unit <= 0xDBFF && position + 1 < length) {
    const uint32_t low = wide[position + 1];
    if (low >= 0xDC00 && low <= 0xDFFF) {
      *out_next = position + 2;
      return 0x10000 + (((unit & 0x3FF) << 10) | (low & 0x3FF));
    }
  }
  *out_next = position + 1;
  return UTF_INVALID;
}

void utf8_encode(char* dest, size_t capacity, size_t* position, uint32_t cp) {
  unsigned char bytes[6];
  int n;
  if (cp < 0x80) {
    bytes[0] = static_cast<unsigned char>(cp);
    n = 1;
  } else if (cp >= 0x7FFFFFFF) {
    bytes[0] = 0xFF;
    n = 1;
  } else {
    // Lead byte marks and payload bits for 2..6 byte forms.
    static const unsigned char LEAD[7] = {0, 0, 0xC0, 0xE0, 0xF0, 0xF8, 0xFC};
    n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : cp < 0x200000 ? 4 : cp < 0x4000000 ? 5 : 6;
    for (int i = n - 1; i > 0; i--) {
      bytes[i] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
      cp >>= 6;
    }
    bytes[0] = static_cast<unsigned char>(LEAD[n] | cp);
  }
  const size_t at = *position;
  if (dest) {
    for (int i = 0; i < n; i++) {
      if (at + i < capacity) dest[at + i] = static_cast<char>(bytes[i]);
    }
  }
  *position = at + n;
}

void utf16_encode(char16_t* dest, size_t capacity, size_t* position, uint32_t cp) {
  char16_t units[2];
  int n;
  if (cp <= 0xFFFF) {
    units[0] = static_cast<char16_t>(cp);
    n = 1;
  } else if (cp <= 0x10FFFF) {
    units[0] = static_cast<char16_t>(0xD800 | ((cp - 0x10000) >> 10));
    units[1] = static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
    n = 2;
  } else {
    units[0] = 0xFFFF;
    n = 1;
  }
  const size_t at = *position;
  if (dest) {
    for (int i = 0; i < n; i++) {
      if (at + i < capacity) dest[at + i] = units[i];
    }
  }
  *position = at + n;
}

// Runs a decoder over the source and an encoder into the destination. The
// terminator goes after the last code point that ended strictly inside the
// capacity, so a cut result never ends inside a sequence.
template <typename In, typename Out, typename Decode, typename Encode>
static size_t convert(Out* dest, size_t capacity, const In* source, size_t length, Decode decode,
                      Encode encode) {
  if (!dest) capacity = 0;
  size_t in = 0;
  size_t out = 0;
  size_t boundary = 0;
  for (;;) {
    const uint32_t cp = decode(source, length, in, &in);
    if (cp == 0) break;
    encode(dest, capacity, &out, cp);
    if (out < capacity) boundary = out;
  }
  if (capacity) dest[out < capacity ? out : boundary] = 0;
  return out;
}

size_t utf8_from_wide(char* dest, size_t capacity, const char16_t* wide, size_t max_units) {
  return convert(dest, capacity, wide, wide_len_max(wide, max_units), utf16_decode, utf8_encode);
}

size_t utf8_from_wide(char* dest, size_t capacity, const char16_t* wide) {
  return utf8_from_wide(dest, capacity, wide, TEXT_UNBOUNDED);
}

size_t utf8_from_wide_len(const char16_t* wide, size_t max_units) {
  return utf8_from_wide(nullptr, 0, wide, max_units);
}

size_t wide_from_utf8(char16_t* dest, size_t capacity, const char* text, size_t max_bytes) {
  return convert(dest, capacity, text, text_len_max(text, max_bytes), utf8_decode, utf16_encode);
}

size_t wide_from_utf8(char16_t* dest, size_t capacity, const char* text) {
  return wide_from_utf8(dest, capacity, text, TEXT_UNBOUNDED);
}

size_t wide_from_utf8_len(const char* text, size_t max_bytes) {
  return wide_from_utf8(nullptr, 0, text, max_bytes);
}

char* pool_utf8_from_wide(Allocator* a, const char16_t* wide, size_t max_units) {
  char local[100];
  const size_t needed = utf8_from_wide(local, sizeof local, wide, max_units);
  char* out = static_cast<char*>(allocate(a, needed + 1));
  if (!out) return nullptr;
  if (needed < sizeof local) {
    bytes_move(out, local, needed + 1);
  } else {
    utf8_from_wide(out, needed + 1, wide, max_units);
  }
  return out;
}

char* pool_utf8_from_wide(Allocator* a, const char16_t* wide) {
  return pool_utf8_from_wide(a, wide, TEXT_UNBOUNDED);
}

char16_t* pool_wide_from_utf8(Allocator* a, const char* text) {
  const size_t needed = wide_from_utf8_len(text, TEXT_UNBOUNDED);
  auto* out = static_cast<char16_t*>(allocate(a, (needed + 1) * sizeof(char16_t)));
  if (out) wide_from_utf8(out, needed + 1, text);
  return out;
}

char** pool_utf8_argv(Allocator* a, const char16_t* const* wide_argv) {
  size_t count = 0;
  size_t text_bytes = 0;
  for (; wide_argv && wide_argv[count]; count++) {
    text_bytes += utf8_from_wide_len(wide_argv[count], TEXT_UNBOUNDED) + 1;
  }
  const size_t table = (count + 1) * sizeof(char*);
  char* block = static_cast<char*>(allocate(a, table + text_bytes + 1));
  if (!block) return nullptr;
  char** argv = reinterpret_cast<char**>(block);
  char* text = block + table;
  for (size_t i = 0; i < count; i++) {
    const size_t n = utf8_from_wide_len(wide_argv[i], TEXT_UNBOUNDED);
    utf8_from_wide(text, n + 1, wide_argv[i]);
    argv[i] = text;
    text += n + 1;
  }
  return argv;
}
