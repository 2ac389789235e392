// The switch walk shared by the commands.
#include "frame/switches.h"

#include "base/err.h"
#include "base/text.h"
#include "frame/console_msg.h"

namespace {

// What one argument turned out to be.
enum ArgKind : uint8_t {
  ARG_OPERAND,
  ARG_SURPLUS,
  ARG_SWITCH,  // a known switch, or the value it took
  ARG_UNKNOWN,
  ARG_NO_VALUE,  // a value switch that was the last argument
};

bool is_switch(const char* arg) { return (arg[0] == '-' || arg[0] == '/') && text_len(arg) == 2; }

Switch* find_switch(const SwitchLine* line, int letter) {
  for (int i = 0; i < line->count; i++) {
    if (line->switches[i].letter == letter) return &line->switches[i];
  }
  return nullptr;
}

}  // namespace

int switches_read(ScratchPool* pool, SwitchLine* line, int argc, char** argv) {
  for (int i = 0; i < line->count; i++) {
    line->switches[i].given = false;
    line->switches[i].value = nullptr;
  }
  line->operand_count = 0;
  line->operands = static_cast<char**>(allocate(pool, (argc + 1) * sizeof(char*)));
  auto* kinds = static_cast<ArgKind*>(allocate(pool, (argc + 1) * sizeof(ArgKind)));
  if (!line->operands || !kinds) return ERR_OUTOFMEMORY;
  // The whole line is classified first: a strict switch anywhere makes the
  // line strict, so nothing may be reported before all of it is seen.
  bool strict = line->flags & SWITCHES_STRICT;
  for (int i = 1; i < argc; i++) {
    char* arg = argv[i];
    if (!is_switch(arg)) {
      const bool room = line->max_operands < 0 || line->operand_count < line->max_operands;
      if (room) line->operands[line->operand_count++] = arg;
      kinds[i] = room ? ARG_OPERAND : ARG_SURPLUS;
      continue;
    }
    Switch* s = find_switch(line, char_to_lower_ascii(arg[1]));
    kinds[i] = s ? ARG_SWITCH : ARG_UNKNOWN;
    if (!s) continue;
    if ((s->flags & SWITCH_VALUE) && (line->flags & SWITCHES_VALUE_NOT_LAST) && i + 2 == argc) {
      continue;
    }
    s->given = true;
    if (s->flags & SWITCH_STRICT) strict = true;
    if (!(s->flags & SWITCH_VALUE)) continue;
    // A value switch that is the last argument clears an earlier value.
    s->value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (i + 1 < argc) {
      kinds[++i] = ARG_SWITCH;
    } else {
      kinds[i] = ARG_NO_VALUE;
    }
  }
  line->operands[line->operand_count] = nullptr;
  for (int i = 1; i < argc; i++) {
    const char* arg = argv[i];
    const ArgKind kind = kinds[i];
    const Switch* s =
        kind == ARG_NO_VALUE ? find_switch(line, char_to_lower_ascii(arg[1])) : nullptr;
    if (s && (strict || (s->flags & SWITCH_VALUE_REQUIRED))) {
      console_print("ERROR: Switch \"%s\" needs a value\n", arg);
      return ERR_INVALID_PARAMETER;
    }
    if (!strict) {
      if (kind == ARG_UNKNOWN) warn_unknown_switch(arg);
      if (kind == ARG_SURPLUS) warn_unexpected_argument(arg);
      continue;
    }
    // Strictly, "--dry-run" or "-nb" is a mistyped switch, not a name; a
    // longer "/..." is a path.
    if (kind == ARG_UNKNOWN || ((kind == ARG_OPERAND || kind == ARG_SURPLUS) && arg[0] == '-')) {
      console_print("ERROR: Unknown switch \"%s\"\n", arg);
      return ERR_INVALID_PARAMETER;
    }
    if (kind == ARG_SURPLUS) {
      console_print("ERROR: Unexpected argument \"%s\"\n", arg);
      return ERR_INVALID_PARAMETER;
    }
  }
  return 0;
}

bool switch_given(const SwitchLine* line, char letter) {
  const Switch* s = find_switch(line, letter);
  return s && s->given;
}

const char* switch_value(const SwitchLine* line, char letter) {
  const Switch* s = find_switch(line, letter);
  return s ? s->value : nullptr;
}

bool switch_parse_number(const char* text, uint64_t* out_value) {
  if (!text || !*text) return false;
  uint64_t value = 0;
  for (const char* c = text; *c; c++) {
    if (*c < '0' || *c > '9') return false;
    const unsigned digit = *c - '0';
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out_value = value;
  return true;
}
