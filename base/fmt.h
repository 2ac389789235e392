// The formatting engine: printf-style conversions into a caller's buffer, UTF-8
// (format_text) and UTF-16 (format_wide), never overrunning the buffer and
// always returning the full length the result needs. Arguments travel as 64-bit
// slots; the conversion's size decides how much of a slot is read. Beyond the
// classic conversions: %r/%R GUIDs, %t (seconds since 1970) and %T (100 ns
// units since 1601). Reentrant.
#pragma once

#include <concepts>
#include <type_traits>
#include <cstddef>
#include <cstdint>

#include "base/scratch.h"

// An argument list: `count` slots. Conversions past the end read 0.
struct FormatArgs {
  const uint64_t* slots;
  size_t count;
};

// Packs one argument into its slot: integers sign- or zero-extended, pointers
// as their address.
template <std::integral T>
constexpr uint64_t format_slot(T v) {
  if constexpr (std::signed_integral<T>) {
    return static_cast<uint64_t>(static_cast<int64_t>(v));
  } else {
    return static_cast<uint64_t>(v);
  }
}
template <typename T>
uint64_t format_slot(T* p) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(p));
}
inline uint64_t format_slot(std::nullptr_t) { return 0; }
template <typename E>
  requires std::is_enum_v<E>
constexpr uint64_t format_slot(E e) {
  return format_slot(static_cast<std::underlying_type_t<E>>(e));
}

// Formats into `dest` of `capacity` bytes (dest may be null to measure) and
// returns the length of the complete result. When capacity is not 0 the result
// is terminated at min(length, capacity - 1).
size_t format_text(char* dest, size_t capacity, const char* format, FormatArgs args);
template <typename... A>
size_t format_text(char* dest, size_t capacity, const char* format, const A&... a) {
  const uint64_t slots[] = {format_slot(a)..., 0};
  return format_text(dest, capacity, format, FormatArgs{slots, sizeof...(A)});
}

// The UTF-16 twin: format, output, capacity and length in 16-bit units; 'c',
// 's' and 'w' unsized take UTF-16, 'C', 'S' and size 'h' take UTF-8.
size_t format_wide(char16_t* dest, size_t capacity, const char16_t* format, FormatArgs args);
template <typename... A>
size_t format_wide(char16_t* dest, size_t capacity, const char16_t* format, const A&... a) {
  const uint64_t slots[] = {format_slot(a)..., 0};
  return format_wide(dest, capacity, format, FormatArgs{slots, sizeof...(A)});
}

// Emits `text` with string padding rules at *position (in bytes) of `dest`,
// advancing the position past the full output: `width` and `precision` as for
// %s (precision -1: whole text), `left` for the '-' flag.
void format_text_field(char* dest, size_t capacity, size_t* position, const char* text,
                       int width, int precision, bool left);
// The same for a UTF-16 source text into a UTF-8 destination.
void format_wide_field(char* dest, size_t capacity, size_t* position, const char16_t* text,
                       int width, int precision, bool left);

// The calendar fields of an instant.
struct CivilTime {
  int64_t year;
  int month;        // 1..12
  int day;          // 1..31
  int hour;
  int minute;
  int second;
  int millisecond;
};
// Splits a count of 100 ns units since 1601-01-01 UTC (proleptic Gregorian, no
// time zone).
CivilTime civil_time(uint64_t units_since_1601);

// Formats into memory owned by `a`: one pass for results under 100 bytes,
// otherwise a second pass into storage of the exact size. Null when `a` fails.
char* pool_format(Allocator* a, const char* format, FormatArgs args);
template <typename... A>
char* pool_format(Allocator* a, const char* format, const A&... args) {
  const uint64_t slots[] = {format_slot(args)..., 0};
  return pool_format(a, format, FormatArgs{slots, sizeof...(A)});
}
