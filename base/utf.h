// UTF-8 and UTF-16 codecs, the conversions between them, and simple Unicode
// case folding (Unicode 5.0, statuses C and S). Malformed input never stops a
// conversion: each bad unit becomes UTF_INVALID. Reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/scratch.h"

// Returned by the decoders for a malformed unit; encodes as 0xFF or 0xFFFF.
constexpr uint32_t UTF_INVALID = 0xFFFFFFFF;

// Decodes the code point at `position` of a text of `length` bytes and stores
// where the next one begins. Returns 0 at the end (or a zero byte) and
// UTF_INVALID for a malformed sequence (advancing one byte).
uint32_t utf8_decode(const char* text, size_t length, size_t position, size_t* out_next);
// The same, then folded as fold_code_point.
uint32_t utf8_decode_folded(const char* text, size_t length, size_t position, size_t* out_next);
// The UTF-16 decoder: unpaired surrogates give UTF_INVALID, advancing one unit.
uint32_t utf16_decode(const char16_t* wide, size_t length, size_t position, size_t* out_next);

// Writes one code point at *position and advances it by the full encoded length;
// bytes (units) at or past `capacity` are dropped. `dest` may be null to measure.
void utf8_encode(char* dest, size_t capacity, size_t* position, uint32_t code_point);
void utf16_encode(char16_t* dest, size_t capacity, size_t* position, uint32_t code_point);

// Convert, returning the full output length (without terminator) whatever the
// capacity. A result that does not fit ends on a code point boundary and is
// terminated; a null dest only measures.
size_t utf8_from_wide(char* dest, size_t capacity, const char16_t* wide, size_t max_units);
size_t utf8_from_wide(char* dest, size_t capacity, const char16_t* wide);
size_t utf8_from_wide_len(const char16_t* wide, size_t max_units);
size_t wide_from_utf8(char16_t* dest, size_t capacity, const char* text, size_t max_bytes);
size_t wide_from_utf8(char16_t* dest, size_t capacity, const char* text);
size_t wide_from_utf8_len(const char* text, size_t max_bytes);

// The simple case folding of one code point (itself when it has none).
uint32_t fold_code_point(uint32_t code_point);

// Converts UTF-16 into UTF-8 owned by `a`; null when `a` fails.
char* pool_utf8_from_wide(Allocator* a, const char16_t* wide, size_t max_units);
char* pool_utf8_from_wide(Allocator* a, const char16_t* wide);
// Converts UTF-8 into UTF-16 owned by `a`; null when `a` fails.
char16_t* pool_wide_from_utf8(Allocator* a, const char* text);
// Converts a null-terminated vector of wide strings into one allocation from
// `a`: count + 1 pointers (the last null) followed by the UTF-8 texts.
char** pool_utf8_argv(Allocator* a, const char16_t* const* wide_argv);
