// The formatting engine. One template serves the narrow (UTF-8 format and
// output) and the wide (UTF-16) engines; they differ only in how a format unit
// is read, how a code point is written, and which string width the unsized
// 'c', 's', 'C', 'S' and 'w' take.
#include "base/fmt.h"

#include "base/text.h"
#include "base/utf.h"

namespace {

// Size modifiers; each decides the integer width and the character width.
enum SizeCode { SIZE_NONE, SIZE_H, SIZE_L, SIZE_LL, SIZE_I8, SIZE_I16, SIZE_I32, SIZE_I64 };

int integer_bits(SizeCode size, int unsized) {
  switch (size) {
    case SIZE_H: return 16;
    case SIZE_L: return 32;
    case SIZE_LL: return 64;
    case SIZE_I8: return 8;
    case SIZE_I16: return 16;
    case SIZE_I32: return 32;
    case SIZE_I64: return 64;
    default: return unsized;
  }
}

int char_bits(SizeCode size, int unsized) {
  switch (size) {
    case SIZE_H: return 8;
    case SIZE_L: return 16;
    case SIZE_LL: return 64;
    case SIZE_I8: return 8;
    case SIZE_I16: return 16;
    case SIZE_I32: return 32;
    case SIZE_I64: return 64;
    default: return unsized;
  }
}

uint64_t read_unsigned(uint64_t slot, int bits) {
  return bits >= 64 ? slot : slot & ((uint64_t{1} << bits) - 1);
}

int64_t read_signed(uint64_t slot, int bits) {
  if (bits >= 64) return static_cast<int64_t>(slot);
  const int shift = 64 - bits;
  return static_cast<int64_t>(slot << shift) >> shift;
}

// Output of one engine: a running position over a buffer of `capacity` units.
struct Utf8Out {
  char* dest;
  size_t capacity;
  size_t pos;
  void literal(char c) {
    if (pos < capacity) dest[pos] = c;
    pos++;
  }
  void code_point(uint32_t cp) { utf8_encode(dest, capacity, &pos, cp); }
  // A character of a narrow text argument goes out as the very bytes it was
  // given in, UTF-8 or not (a POSIX file name may hold any bytes), so that a
  // message names the very file.
  void narrow_char(const char* bytes, size_t count, uint32_t) {
    for (size_t i = 0; i < count; i++) literal(bytes[i]);
  }
};

struct Utf16Out {
  char16_t* dest;
  size_t capacity;
  size_t pos;
  void literal(char16_t c) {
    if (pos < capacity) dest[pos] = c;
    pos++;
  }
  void code_point(uint32_t cp) { utf16_encode(dest, capacity, &pos, cp); }
  void narrow_char(const char*, size_t, uint32_t cp) {
    if (cp != 0) code_point(cp);  // an overlong NUL would end the wide text
  }
};

// A string source: either UTF-8 bytes or UTF-16 units.
struct FieldSource {
  const char* narrow;
  const char16_t* wide;
  size_t length;  // bytes or units
};

template <typename Out>
void emit_field(Out& out, const FieldSource& src, int width, int precision, bool left) {
  const int64_t n = static_cast<int64_t>(src.length);
  if (precision == -1) precision = n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
  int64_t limit = (precision >= 0 && precision < width && width > 0) ? width : precision;
  if (limit < 0) return;  // a negative precision from '*' prints nothing, padding included
  int64_t pad = width > n ? width - n : 0;
  if (!left) {
    for (; pad > 0 && limit > 0; pad--, limit--) out.code_point(' ');
  }
  size_t at = 0;
  while (limit > 0) {
    const size_t start = at;
    if (src.narrow) {
      if (start >= src.length) break;
      const uint32_t cp = utf8_decode(src.narrow, src.length, at, &at);
      out.narrow_char(src.narrow + start, at - start, cp);
    } else {
      const uint32_t cp = utf16_decode(src.wide, src.length, at, &at);
      if (cp == 0) break;
      out.code_point(cp);
    }
    limit--;
  }
  if (left) {
    for (; pad > 0 && limit > 0; pad--, limit--) out.code_point(' ');
  }
}

FieldSource narrow_source(const char* s) { return {text_or_empty(s), nullptr, text_len(s)}; }
FieldSource wide_source(const char16_t* s) { return {nullptr, wide_or_empty(s), wide_len(s)}; }

struct Spec {
  bool plus = false, minus = false, space = false, alt = false, zero = false;
  int width = 0;
  int precision = -1;
};

template <typename Out>
void emit_integer(Out& out, const Spec& spec, uint64_t magnitude, bool negative, bool is_signed,
                  unsigned base, bool upper) {
  static const char LOWER[] = "0123456789abcdef";
  static const char UPPER[] = "0123456789ABCDEF";
  const char* digit_table = upper ? UPPER : LOWER;
  char digits[24];
  int count = 0;
  do {
    digits[count++] = digit_table[magnitude % base];
    magnitude /= base;
  } while (magnitude);
  char sign = 0;
  if (is_signed) sign = negative ? '-' : spec.plus ? '+' : spec.space ? ' ' : 0;
  const char* prefix = "";
  if (spec.alt && base == 8) prefix = "0";
  if (spec.alt && base == 16) prefix = upper ? "0X" : "0x";
  const int prefix_len = static_cast<int>(text_len(prefix));
  const int precision = spec.precision < 0 ? 0 : spec.precision;
  int zeros = precision > count ? precision - count : 0;
  int pad = spec.width - (count > precision ? count : precision) - (sign ? 1 : 0) - prefix_len;
  if (pad < 0) pad = 0;
  if (spec.zero) {
    // The '0' flag wins over '-' and combines with a precision: the larger count.
    if (pad > zeros) zeros = pad;
    pad = 0;
  }
  if (!spec.minus) for (int i = 0; i < pad; i++) out.code_point(' ');
  if (sign) out.code_point(static_cast<unsigned char>(sign));
  for (int i = 0; i < prefix_len; i++) out.code_point(static_cast<unsigned char>(prefix[i]));
  for (int i = 0; i < zeros; i++) out.code_point('0');
  while (count) out.code_point(static_cast<unsigned char>(digits[--count]));
  if (spec.minus) for (int i = 0; i < pad; i++) out.code_point(' ');
}

void put_ascii(char* buf, size_t* at, const char* s) {
  while (*s) buf[(*at)++] = *s++;
}

void put_number(char* buf, size_t* at, uint64_t v, int digits) {
  for (int i = digits - 1; i >= 0; i--) {
    buf[*at + i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  *at += digits;
}

// "YYYY-MM-DD HH:MM:SS" (and ".mmm" when asked) into buf; returns the length.
size_t render_time(char* buf, uint64_t units, bool millis) {
  const CivilTime t = civil_time(units);
  size_t at = 0;
  put_number(buf, &at, static_cast<uint64_t>(t.year) % 10000, 4);
  put_ascii(buf, &at, "-");
  put_number(buf, &at, t.month, 2);
  put_ascii(buf, &at, "-");
  put_number(buf, &at, t.day, 2);
  put_ascii(buf, &at, " ");
  put_number(buf, &at, t.hour, 2);
  put_ascii(buf, &at, ":");
  put_number(buf, &at, t.minute, 2);
  put_ascii(buf, &at, ":");
  put_number(buf, &at, t.second, 2);
  if (millis) {
    put_ascii(buf, &at, ".");
    put_number(buf, &at, t.millisecond, 3);
  }
  buf[at] = 0;
  return at;
}

size_t render_guid(char* buf, const unsigned char* g, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  // Byte order of the 8-4-4-4-12 form: the first three fields little-endian.
  static const int ORDER[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  size_t at = 0;
  for (int i = 0; i < 16; i++) {
    if (i == 4 || i == 6 || i == 8 || i == 10) buf[at++] = '-';
    buf[at++] = digits[g[ORDER[i]] >> 4];
    buf[at++] = digits[g[ORDER[i]] & 15];
  }
  buf[at] = 0;
  return at;
}

// Decimal width and precision saturate instead of overflowing.
int accumulate_digit(int value, int digit_char) {
  const int64_t next = int64_t{value} * 10 + (digit_char - '0');
  return next > INT32_MAX ? INT32_MAX : static_cast<int>(next);
}

template <typename In, typename Out>
size_t run_engine(Out& out, const In* format, FormatArgs args, bool wide_engine) {
  size_t next_arg = 0;
  auto take = [&]() -> uint64_t {
    return next_arg < args.count ? args.slots[next_arg++] : (next_arg++, uint64_t{0});
  };
  if (!format) return out.pos;
  const In* f = format;
  while (*f) {
    if (*f != '%') {
      out.literal(*f++);
      continue;
    }
    f++;
    Spec spec;
    for (;; f++) {
      if (*f == '+') spec.plus = true;
      else if (*f == '-') spec.minus = true;
      else if (*f == ' ') spec.space = true;
      else if (*f == '#') spec.alt = true;
      else if (*f == '0') spec.zero = true;
      else break;
    }
    if (*f == '*') {
      spec.width = static_cast<int32_t>(take());
      f++;
    } else {
      while (*f >= '0' && *f <= '9') spec.width = accumulate_digit(spec.width, *f++);
    }
    if (*f == '.') {
      f++;
      if (*f == '*') {
        spec.precision = static_cast<int32_t>(take());
        f++;
      } else if (*f >= '0' && *f <= '9') {
        spec.precision = 0;
        while (*f >= '0' && *f <= '9') spec.precision = accumulate_digit(spec.precision, *f++);
      }
    }
    SizeCode size = SIZE_NONE;
    if (*f == 'h') {
      size = SIZE_H;
      f++;
    } else if (*f == 'l') {
      f++;
      size = SIZE_L;
      if (*f == 'l') {
        size = SIZE_LL;
        f++;
      }
    } else if (*f == 'L') {
      size = SIZE_L;
      f++;
    } else if (*f == 'I') {
      // "I8", "I16", "I32", "I64"; any other 'I' is read as the conversion.
      if (f[1] == '8') {
        size = SIZE_I8;
        f += 2;
      } else if (f[1] == '1' && f[2] == '6') {
        size = SIZE_I16;
        f += 3;
      } else if (f[1] == '3' && f[2] == '2') {
        size = SIZE_I32;
        f += 3;
      } else if (f[1] == '6' && f[2] == '4') {
        size = SIZE_I64;
        f += 3;
      }
    }
    const In conv = *f;
    if (conv == 0) break;  // the format ends inside a specification
    f++;
    const int narrow_chars = wide_engine ? 16 : 8;
    const int other_chars = wide_engine ? 8 : 16;
    switch (conv) {
      case 'd':
      case 'i': {
        const int64_t v = read_signed(take(), integer_bits(size, 32));
        const uint64_t mag = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        emit_integer(out, spec, mag, v < 0, true, 10, false);
        break;
      }
      case 'u':
      case 'o':
      case 'x':
      case 'X':
      case 'p':
      case 'P': {
        const bool ptr = conv == 'p' || conv == 'P';
        const uint64_t v = read_unsigned(take(), integer_bits(size, ptr ? 64 : 32));
        const unsigned base = conv == 'u' ? 10 : conv == 'o' ? 8 : 16;
        emit_integer(out, spec, v, false, false, base, conv == 'X' || conv == 'P');
        break;
      }
      case 'c':
      case 'C':
      case 'w': {
        const int bits = char_bits(size, conv == 'c' ? narrow_chars : conv == 'C' ? other_chars : 16);
        const uint64_t v = read_unsigned(take(), bits);
        if (v <= 0xFFFFFFFF) out.code_point(static_cast<uint32_t>(v));
        break;
      }
      case 's':
      case 'S': {
        const uint64_t slot = take();
        const int bits = char_bits(size, conv == 's' ? narrow_chars : other_chars);
        if (bits == 8) {
          emit_field(out, narrow_source(reinterpret_cast<const char*>(slot)), spec.width,
                     spec.precision, spec.minus);
        } else if (bits == 16) {
          emit_field(out, wide_source(reinterpret_cast<const char16_t*>(slot)), spec.width,
                     spec.precision, spec.minus);
        }
        break;
      }
      case 'r':
      case 'R': {
        const auto* guid = reinterpret_cast<const unsigned char*>(take());
        char buf[40] = {0};
        if (guid) render_guid(buf, guid, conv == 'R');
        emit_field(out, narrow_source(buf), spec.width, spec.precision, spec.minus);
        break;
      }
      case 't':
      case 'T': {
        const uint64_t slot = take();
        uint64_t units;
        if (conv == 't') {
          const int bits = integer_bits(size, 64);
          const int64_t seconds = read_signed(slot, bits < 64 ? 32 : 64);
          units = (static_cast<uint64_t>(seconds) + 11644473600ull) * 10000000ull;
        } else {
          units = slot;
        }
        char buf[40];
        render_time(buf, units, conv == 'T');
        emit_field(out, narrow_source(buf), spec.width, spec.precision, spec.minus);
        break;
      }
      case 'n': {
        void* target = reinterpret_cast<void*>(take());
        if (!target) break;
        const uint64_t length = out.pos;
        switch (integer_bits(size, 64)) {
          case 8: *static_cast<uint8_t*>(target) = static_cast<uint8_t>(length); break;
          case 16: *static_cast<uint16_t*>(target) = static_cast<uint16_t>(length); break;
          case 32: *static_cast<uint32_t*>(target) = static_cast<uint32_t>(length); break;
          default: *static_cast<uint64_t*>(target) = length; break;
        }
        break;
      }
      case '%':
        out.code_point('%');
        break;
      default:
        break;  // unknown: nothing printed, no argument taken
    }
  }
  return out.pos;
}

template <typename Unit>
void terminate(Unit* dest, size_t capacity, size_t length) {
  if (dest && capacity) dest[length < capacity - 1 ? length : capacity - 1] = 0;
}

}  // namespace

size_t format_text(char* dest, size_t capacity, const char* format, FormatArgs args) {
  Utf8Out out{dest, dest ? capacity : 0, 0};
  const size_t length = run_engine(out, format, args, false);
  terminate(dest, capacity, length);
  return length;
}

size_t format_wide(char16_t* dest, size_t capacity, const char16_t* format, FormatArgs args) {
  Utf16Out out{dest, dest ? capacity : 0, 0};
  const size_t length = run_engine(out, format, args, true);
  terminate(dest, capacity, length);
  return length;
}

void format_text_field(char* dest, size_t capacity, size_t* position, const char* text, int width,
                       int precision, bool left) {
  Utf8Out out{dest, dest ? capacity : 0, *position};
  emit_field(out, narrow_source(text), width, precision, left);
  *position = out.pos;
}

void format_wide_field(char* dest, size_t capacity, size_t* position, const char16_t* text,
                       int width, int precision, bool left) {
  Utf8Out out{dest, dest ? capacity : 0, *position};
  emit_field(out, wide_source(text), width, precision, left);
  *position = out.pos;
}

CivilTime civil_time(uint64_t units) {
  CivilTime t{};
  const uint64_t day_ms = (units / 10000) % 86400000;
  t.hour = static_cast<int>(day_ms / 3600000);
  t.minute = static_cast<int>(day_ms / 60000 % 60);
  t.second = static_cast<int>(day_ms / 1000 % 60);
  t.millisecond = static_cast<int>(day_ms % 1000);
  // Days since 1601-01-01 to a date, by 400-year eras counted from 1600-03-01
  // (1601-01-01 is day 306 of that era).
  const int64_t days = static_cast<int64_t>(units / 864000000000ull) + 306;
  const int64_t era = days / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  t.day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.year = 1600 + era * 400 + yoe + (t.month <= 2 ? 1 : 0);
  return t;
}

char* pool_format(Allocator* a, const char* format, FormatArgs args) {
  char local[100];
  const size_t length = format_text(local, sizeof local, format, args);
  char* out = static_cast<char*>(allocate(a, length + 1));
  if (!out) return nullptr;
  if (length < sizeof local) {
    bytes_move(out, local, length + 1);
  } else {
    format_text(out, length + 1, format, args);
  }
  return out;
}
