// Number and keyword parsing for switch values: decimal or "0x" hexadecimal
// integers with an optional sign, or yes/no style keywords. Never fails: text
// that is neither gives 0 with no flags. Reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

// Recognition flags reported by parse_value.
constexpr unsigned PARSE_HEX = 0x001;
constexpr unsigned PARSE_NEGATIVE = 0x002;
constexpr unsigned PARSE_YES_NO = 0x004;
constexpr unsigned PARSE_TRUE_FALSE = 0x008;
constexpr unsigned PARSE_ON_OFF = 0x010;
constexpr unsigned PARSE_Y_N = 0x020;
constexpr unsigned PARSE_T_F = 0x040;
constexpr unsigned PARSE_ENABLE_DISABLE = 0x080;
constexpr unsigned PARSE_ENABLED_DISABLED = 0x100;
constexpr unsigned PARSE_E_D = 0x200;

// Parses at most max_length bytes of `text` (null is empty). Returns the value
// (arithmetic wraps modulo 2^64) and, when out_flags is given, which form was
// recognised (0 for a plain decimal number or unrecognised text).
int64_t parse_value(const char* text, size_t max_length, unsigned* out_flags);
