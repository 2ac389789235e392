// Text primitives over zero-terminated UTF-8 (and UTF-16 at the platform edge):
// lengths, copies into pools and the heap, moves, hexadecimal rendering,
// character classes and comparisons. A null text pointer counts as empty text
// everywhere. Everything here is reentrant.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/scratch.h"

constexpr size_t TEXT_UNBOUNDED = SIZE_MAX;

// Copies min(length, max_bytes) bytes of `text` into `a`, terminated. Returns
// the copy (owned by `a`) or null when `a` fails.
char* pool_copy_text(Allocator* a, const char* text, size_t max_bytes = TEXT_UNBOUNDED);
// The UTF-16 counterpart: min(wide length, max_units) units, terminated.
char16_t* pool_copy_wide(Allocator* a, const char16_t* wide, size_t max_units = TEXT_UNBOUNDED);

// Heap buffers that the caller frees with heap_free. heap_text_buffer returns
// `size` bytes with the first and last byte zero (null for 0 or no memory).
char* heap_text_buffer(size_t size);
// Duplicates at most max_bytes of `text` into a heap buffer; null in, null out.
char* heap_copy_text(const char* text, size_t max_bytes = TEXT_UNBOUNDED);
// UTF-16 counterparts, counted in units.
char16_t* heap_wide_buffer(size_t count);
char16_t* heap_copy_wide(const char16_t* wide, size_t max_units = TEXT_UNBOUNDED);

// Bytes before the terminator (0 for null); _max looks at no more than max bytes.
size_t text_len(const char* text);
size_t text_len_max(const char* text, size_t max);
// UTF-16 units before the terminator.
size_t wide_len(const char16_t* wide);
size_t wide_len_max(const char16_t* wide, size_t max);

bool text_is_empty(const char* text);
bool wide_is_empty(const char16_t* wide);
// The argument, or a constant empty text for null.
const char* text_or_empty(const char* text);
const char16_t* wide_or_empty(const char16_t* wide);

// Copies at most max_bytes of `source` into `dest` of `capacity` bytes and
// terminates it; a source that does not fit is cut to capacity - 1 bytes (which
// may split a UTF-8 sequence). Does nothing for a null dest or capacity 0.
void text_copy_bounded(char* dest, size_t capacity, const char* source, size_t max_bytes);
// REQUIRES: dest has room for the whole source and its terminator.
void text_copy(char* dest, const char* source);
// REQUIRES: dest has room for min(length, max_bytes) + 1 bytes.
void text_copy_max(char* dest, const char* source, size_t max_bytes);

// Overlap-safe move of `count` bytes; a null source zero-fills, a null dest does nothing.
void bytes_move(void* dest, const void* source, size_t count);
// The same for UTF-16 units.
void wide_move(char16_t* dest, const char16_t* source, size_t count);

// Writes two lower-case hex digits per byte and a terminator; when the digits
// reach the capacity the last written position becomes the terminator. Returns
// 2 * count whatever the capacity (0 for null bytes).
size_t hex_from_bytes(char* dest, size_t capacity, const void* bytes, size_t count);
// REQUIRES: dest has room for 2 * count + 1 bytes.
size_t hex_from_bytes(char* dest, const void* bytes, size_t count);

// Character classes on the low 8 bits (16 bits for the wide one).
bool char_is_digit(int c);
bool wide_is_digit(char16_t c);
bool char_is_hex_digit(int c);
bool char_is_space(int c);  // 9, 10, 11, 13, 32; form feed is not a space
int char_to_lower_ascii(int c);

// ASCII case-insensitive comparison of at most a_max and b_max bytes, bytes as
// unsigned values, the end reading as 0. Returns -1, 0 or +1.
int text_compare_nocase(const char* a, size_t a_max, const char* b, size_t b_max);
// 0 exactly when `text` begins with the whole `prefix` (ASCII case-insensitive).
int text_begins_nocase(const char* text, const char* prefix);
// 1 when `text` matches `pattern` ('*' any run, '?' one byte; ASCII
// case-insensitive; at most 50 pending alternatives), else 0.
int text_match_wildcard(const char* pattern, const char* text);
// Code point comparison, case-sensitive. Returns -1, 0 or +1.
int text_compare_utf8(const char* a, size_t a_max, const char* b, size_t b_max);
int text_compare_utf8(const char* a, size_t a_max, const char* b);
// Code point comparison after simple Unicode case folding (path components).
int text_compare_folded(const char* a, size_t a_max, const char* b, size_t b_max);
// The UTF-16 counterpart of text_begins_nocase, mapping only 'a'..'z'.
int wide_begins_nocase(const char16_t* wide, const char16_t* prefix);
