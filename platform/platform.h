// The one interface between the program and the operating system. Everything
// above platform/ reaches files, handles, events, memory, threads, console
// control and the process's surroundings only through these functions. Texts
// cross as UTF-8; handles are integers, -1 for none. Failures are Windows
// error numbers (see base/err.h), translated inside each implementation.
// platform/posix/ implements it now; platform/windows/ later wraps the native
// services with the same signatures.
#pragma once

#include <cstddef>
#include <cstdint>

// A file, event or thread handle; OS_NO_HANDLE for none.
using OsHandle = int64_t;
constexpr OsHandle OS_NO_HANDLE = -1;

// ---- Process context, locale and console text ----

// The line end of the frame's texts on this platform ("\n" or "\r\n").
extern const char OS_LINE_END[];

// The program's arguments as UTF-16 where the platform gives them so (the
// count through out_count); null where main's byte arguments are the original.
const char16_t* const* os_wide_arguments(int* out_count);

// Write the program file's full path, or the effective user's login name, as
// UTF-8 with a terminator into `buffer` and store the length. Return 0, or an
// error number when the platform cannot tell or the text does not fit.
[[nodiscard]] int os_program_file(char* buffer, size_t capacity, size_t* out_length);
[[nodiscard]] int os_user_name(char* buffer, size_t capacity, size_t* out_length);

// Values of the user's locale, as UTF-8 text.
enum : int {
  OS_LOCALE_NEGATIVE_SIGN = 0,
  OS_LOCALE_NEGATIVE_MODE = 1,  // decimal digits: 0 "(1)", 1 "-1", 2 "- 1", 3 "1-", 4 "1 -"
  OS_LOCALE_THOUSANDS_SEP = 2,
  OS_LOCALE_GROUPING = 3,       // group sizes as "3;0" (a final 0: the last size repeats)
  OS_LOCALE_DECIMAL_SEP = 4,
  OS_LOCALE_TIME_SEP = 5,
};
// Writes the locale value `item` into `buffer` (terminated). Returns 0, or an
// error number when the locale gives no (or an empty) value.
[[nodiscard]] int os_locale_query(int item, char* buffer, size_t capacity);

// ---- Files, handles, transfers and folder queries ----

// ---- Runtime: events, memory, clock, threads, console control, process ----
