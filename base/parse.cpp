// parse_value: switch values as numbers or yes/no style keywords.
#include "base/parse.h"

#include "base/text.h"

namespace {

struct Keyword {
  char first;
  const char* word;  // null: the single-letter form
  int64_t value;
  unsigned flag;
};

// Per first letter, the single letter first, then longer keywords before the
// shorter ones they extend.
const Keyword KEYWORDS[] = {
    {'y', nullptr, 1, PARSE_Y_N},        {'y', "yes", 1, PARSE_YES_NO},
    {'n', nullptr, 0, PARSE_Y_N},        {'n', "no", 0, PARSE_YES_NO},
    {'t', nullptr, 1, PARSE_T_F},        {'t', "true", 1, PARSE_TRUE_FALSE},
    {'f', nullptr, 0, PARSE_T_F},        {'f', "false", 0, PARSE_TRUE_FALSE},
    {'o', "on", 1, PARSE_ON_OFF},        {'o', "off", 0, PARSE_ON_OFF},
    {'e', nullptr, 1, PARSE_E_D},        {'e', "enabled", 1, PARSE_ENABLED_DISABLED},
    {'e', "enable", 1, PARSE_ENABLE_DISABLE},
    {'d', nullptr, 0, PARSE_E_D},        {'d', "disabled", 0, PARSE_ENABLED_DISABLED},
    {'d', "disable", 0, PARSE_ENABLE_DISABLE},
};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return char_to_lower_ascii(c) - 'a' + 10;
}

}  // namespace

int64_t parse_value(const char* text, size_t max_length, unsigned* out_flags) {
  const char* s = text_or_empty(text);
  size_t n = text_len_max(s, max_length);
  size_t i = 0;
  unsigned flags = 0;
  uint64_t value = 0;
  while (i < n && char_is_space(s[i])) i++;
  while (n > i && char_is_space(s[n - 1])) n--;
  if (i < n) {
    const char first = static_cast<char>(char_to_lower_ascii(s[i]));
    const size_t trimmed = n - i;
    for (const Keyword& k : KEYWORDS) {
      if (k.first != first) continue;
      // A keyword must lie inside the bound: the bytes after it may not exist.
      const size_t word = text_len(k.word);
      const bool hit = k.word ? trimmed >= word && text_compare_nocase(s + i, word, k.word, word) == 0
                              : trimmed == 1;
      if (hit) {
        if (out_flags) *out_flags = k.flag;
        return k.value;
      }
    }
    if (s[i] == '-') {
      flags |= PARSE_NEGATIVE;
      i++;
    } else if (s[i] == '+') {
      i++;
    }
    if (n - i >= 3 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
        char_is_hex_digit(s[i + 2])) {
      flags |= PARSE_HEX;
      for (i += 2; i < n && char_is_hex_digit(s[i]); i++) value = value * 16 + hex_value(s[i]);
    } else {
      for (; i < n && char_is_digit(s[i]); i++) value = value * 10 + (s[i] - '0');
    }
    if (flags & PARSE_NEGATIVE) value = 0 - value;
  }
  if (out_flags) *out_flags = flags;
  return static_cast<int64_t>(value);
}
