// Process context and locale: the UTF-16 command line, the module file, the
// user name and the user's default locale.
#include <atomic>
#include <cstdio>

#include "platform/windows/internal.h"

const char OS_LINE_END[] = "\r\n";

uint32_t os_processor_count() {
  const DWORD count = GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  return count ? count : 1;
}

static_assert(sizeof(wchar_t) == sizeof(char16_t));

const char16_t* const* os_wide_arguments(int* out_count) {
  // Split once; the vector lives as long as the process.
  static std::atomic<wchar_t**> cached{nullptr};
  static std::atomic<int> cached_count{0};
  wchar_t** vector = cached.load(std::memory_order_acquire);
  if (!vector) {
    int count = 0;
    wchar_t** made = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!made) {
      if (out_count) *out_count = 0;
      return nullptr;
    }
    wchar_t** expected = nullptr;
    cached_count.store(count, std::memory_order_relaxed);
    if (cached.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
      vector = made;
    } else {
      LocalFree(made);
      vector = expected;
    }
  }
  if (out_count) *out_count = cached_count.load(std::memory_order_relaxed);
  return reinterpret_cast<const char16_t* const*>(vector);
}

int os_program_file(char* buffer, size_t capacity, size_t* out_length) {
  if (out_length) *out_length = 0;
  wchar_t units[WIN_NAME_UNITS];
  const DWORD n = GetModuleFileNameW(nullptr, units, WIN_NAME_UNITS);
  if (n == 0) return static_cast<int>(GetLastError());
  if (n >= WIN_NAME_UNITS) return ERROR_FILENAME_EXCED_RANGE;  // cut to the buffer
  return win_utf8_out(units, n, buffer, capacity, out_length);
}

int os_user_name(char* buffer, size_t capacity, size_t* out_length) {
  if (out_length) *out_length = 0;
  wchar_t units[WIN_NAME_UNITS];
  DWORD n = WIN_NAME_UNITS;
  if (!GetUserNameW(units, &n)) return static_cast<int>(GetLastError());
  // The count includes the terminator.
  while (n > 0 && units[n - 1] == 0) --n;
  return win_utf8_out(units, n, buffer, capacity, out_length);
}

int os_locale_query(int item, char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return ERROR_INVALID_PARAMETER;
  buffer[0] = 0;
  static const LCTYPE types[] = {LOCALE_SNEGATIVESIGN, LOCALE_INEGNUMBER, LOCALE_STHOUSAND,
                                 LOCALE_SGROUPING,     LOCALE_SDECIMAL,   LOCALE_STIME};
  if (item < 0 || item > OS_LOCALE_TIME_SEP) return ERROR_INVALID_PARAMETER;
  wchar_t units[50];
  if (item == OS_LOCALE_NEGATIVE_MODE) {
    DWORD mode = 0;
    if (!GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_INEGNUMBER | LOCALE_RETURN_NUMBER,
                        reinterpret_cast<LPWSTR>(&mode), sizeof mode / sizeof(wchar_t))) {
      return static_cast<int>(GetLastError());
    }
    char digits[12];
    const int n = std::snprintf(digits, sizeof digits, "%lu", static_cast<unsigned long>(mode));
    if (n <= 0 || static_cast<size_t>(n) >= capacity) return ERROR_INSUFFICIENT_BUFFER;
    for (int i = 0; i <= n; i++) buffer[i] = digits[i];
    return 0;
  }
  const int n = GetLocaleInfoW(LOCALE_USER_DEFAULT, types[item], units, 50);
  if (n <= 0) return static_cast<int>(GetLastError());
  // The count includes the terminator.
  return win_utf8_out(units, static_cast<size_t>(n - 1), buffer, capacity, nullptr);
}
