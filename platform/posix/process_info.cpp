// Process context and locale on POSIX: /proc/self/exe, the effective user's
// passwd entry, and the LC_NUMERIC / LC_TIME categories of the user's locale.
#include <langinfo.h>
#include <locale.h>
#include <pwd.h>
#include <sched.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/err.h"
#include "platform/platform.h"
#include "platform/posix/internal.h"

const char OS_LINE_END[] = "\n";

uint32_t os_processor_count() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
    return static_cast<uint32_t>(CPU_COUNT(&set));
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<uint32_t>(online) : 1;
}

const char16_t* const* os_wide_arguments(int* out_count) {
  if (out_count) *out_count = 0;
  return nullptr;
}

static int copy_out(const char* text, size_t n, char* buffer, size_t capacity,
                    size_t* out_length) {
  if (n == 0) return ERR_GEN_FAILURE;
  if (n >= capacity) return ERR_FILENAME_EXCED_RANGE;
  std::memcpy(buffer, text, n);
  buffer[n] = 0;
  if (out_length) *out_length = n;
  return 0;
}

int os_program_file(char* buffer, size_t capacity, size_t* out_length) {
  char path[PATH_MAX + 1];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n < 0) return posix_error_from_errno(errno);
  if (static_cast<size_t>(n) >= sizeof path) return ERR_FILENAME_EXCED_RANGE;
  return copy_out(path, static_cast<size_t>(n), buffer, capacity, out_length);
}

int os_user_name(char* buffer, size_t capacity, size_t* out_length) {
  char storage[16384];
  struct passwd entry;
  struct passwd* found = nullptr;
  const int rc = getpwuid_r(geteuid(), &entry, storage, sizeof storage, &found);
  if (rc != 0) return posix_error_from_errno(rc);
  if (!found || !found->pw_name) return ERR_NOT_FOUND;
  return copy_out(found->pw_name, std::strlen(found->pw_name), buffer, capacity, out_length);
}

// POSIX grouping bytes ("\3\3", CHAR_MAX-terminated or not) as "3;0" text.
static void grouping_text(const char* grouping, char* out, size_t capacity) {
  size_t at = 0;
  auto put = [&](char c) {
    if (at + 1 < capacity) out[at++] = c;
  };
  size_t i = 0;
  for (; grouping[i] && grouping[i] != CHAR_MAX; i++) {
    if (i) put(';');
    const int size = static_cast<unsigned char>(grouping[i]);
    if (size >= 10) put(static_cast<char>('0' + size / 10));
    put(static_cast<char>('0' + size % 10));
  }
  // A list that ends without CHAR_MAX repeats its last size.
  if (i && grouping[i] != CHAR_MAX) {
    put(';');
    put('0');
  }
  out[at] = 0;
}

// The separator between hours and minutes in the locale's time format.
static void time_separator(const char* format, char* out, size_t capacity) {
  out[0] = 0;
  for (size_t i = 0; format[i]; i++) {
    if (format[i] != '%') continue;
    // Skip the conversion (with an E or O modifier), take what follows.
    size_t j = i + 1;
    if (format[j] == 'E' || format[j] == 'O') j++;
    if (!format[j]) return;
    const char next = format[j + 1];
    if (next && next != '%' && capacity > 1) {
      out[0] = next;
      out[1] = 0;
    }
    return;
  }
}

int os_locale_query(int item, char* buffer, size_t capacity) {
  if (capacity == 0) return ERR_INVALID_PARAMETER;
  locale_t locale = newlocale(LC_NUMERIC_MASK | LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return ERR_NOT_SUPPORTED;
  char value[128];
  value[0] = 0;
  switch (item) {
    case OS_LOCALE_THOUSANDS_SEP:
      std::strncpy(value, nl_langinfo_l(THOUSEP, locale), sizeof value - 1);
      break;
    case OS_LOCALE_GROUPING:
      grouping_text(nl_langinfo_l(GROUPING, locale), value, sizeof value);
      break;
    case OS_LOCALE_DECIMAL_SEP:
      std::strncpy(value, nl_langinfo_l(RADIXCHAR, locale), sizeof value - 1);
      break;
    case OS_LOCALE_TIME_SEP:
      time_separator(nl_langinfo_l(T_FMT, locale), value, sizeof value);
      break;
    default:
      // The numeric category has no negative sign or negative number layout.
      break;
  }
  value[sizeof value - 1] = 0;
  freelocale(locale);
  size_t length = 0;
  return copy_out(value, std::strlen(value), buffer, capacity, &length);
}
