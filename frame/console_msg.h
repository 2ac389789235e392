// Console messages: command results, errors and warnings about ignored
// arguments, formatted from a format text and written byte for byte (bare
// line feeds, no conversion) to standard output. Failures to format or to
// write are not reported. Reentrant.
#pragma once

#include "base/fmt.h"
#include "platform/platform.h"

// Formats `format` with `args` and writes the bytes to `handle` in one write.
// Nothing is written when formatting runs out of memory.
void console_write_formatted(OsHandle handle, const char* format, FormatArgs args);
template <typename... A>
void console_write_formatted(OsHandle handle, const char* format, const A&... args) {
  const uint64_t slots[] = {format_slot(args)..., 0};
  console_write_formatted(handle, format, FormatArgs{slots, sizeof...(A)});
}

// The same to standard output, asked for at each call.
void console_print_args(const char* format, FormatArgs args);
template <typename... A>
void console_print(const char* format, const A&... args) {
  const uint64_t slots[] = {format_slot(args)..., 0};
  console_print_args(format, FormatArgs{slots, sizeof...(A)});
}

// "WARNING: Ignoring unexpected argument \"%s\"\n" with `argument`.
void warn_unexpected_argument(const char* argument);
// "WARNING: Ignoring unknown switch \"%s\"\n" with the switch as typed.
void warn_unknown_switch(const char* switch_text);
