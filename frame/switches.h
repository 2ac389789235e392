// Command-line switches: one walk of a command's arguments, driven by the
// command's table of switches. An argument is a switch when it is exactly two
// bytes, '-' or '/' and a letter compared without case; every other argument
// is an operand. A lenient line warns about unknown switches and surplus
// operands and goes on; a strict one refuses them, and any operand that begins
// with '-', before the command touches anything. What the values mean is left
// to the command. Reentrant.
#pragma once

#include <cstdint>

#include "base/scratch.h"

// Switch flags.
constexpr unsigned SWITCH_VALUE = 0x1;   // takes the next argument as its value
constexpr unsigned SWITCH_STRICT = 0x2;  // when given anywhere, the line is read strictly
// A value switch that is the last argument is an error on a lenient line too:
// its value must not be guessed at.
constexpr unsigned SWITCH_VALUE_REQUIRED = 0x4;

// One switch a command knows, and what the arguments gave for it.
struct Switch {
  char letter;                  // lower case
  unsigned flags;               // SWITCH_*
  bool given = false;           // set by switches_read: it appeared
  const char* value = nullptr;  // set by switches_read: the last occurrence's value, or
                                // null when that one was the last argument
};

// Line flags.
constexpr unsigned SWITCHES_STRICT = 0x1;  // always read strictly
// A value that would be the last argument is an operand instead, and its
// switch is ignored without a warning.
constexpr unsigned SWITCHES_VALUE_NOT_LAST = 0x2;

// No limit on the operands.
constexpr int SWITCHES_ANY_OPERANDS = -1;

// A command's switch table and rules, and the operands the walk found.
struct SwitchLine {
  Switch* switches;  // the table, `count` entries, owned by the caller
  int count;
  int max_operands;           // later operands are surplus; SWITCHES_ANY_OPERANDS: none are
  unsigned flags;             // SWITCHES_*
  char** operands = nullptr;  // set by switches_read: in argument order, in the pool
  int operand_count = 0;
};

// The line of a command's switch table.
template <int N>
SwitchLine switch_line(Switch (&table)[N], int max_operands, unsigned flags) {
  return SwitchLine{table, N, max_operands, flags};
}

// Walks argv[1] to argv[argc - 1]: fills the table's `given` and `value` and
// the line's operands. Leniently, prints "WARNING: ..." for each unknown
// switch and surplus operand and returns 0. Strictly (SWITCHES_STRICT, or a
// SWITCH_STRICT switch given), prints "ERROR: ..." naming the first unknown
// switch, operand beginning with '-', surplus operand or value switch without
// a value, and returns ERR_INVALID_PARAMETER; a SWITCH_VALUE_REQUIRED switch
// without a value is refused that way on any line. ERR_OUTOFMEMORY when the pool
// is out of memory, nothing printed.
[[nodiscard]] int switches_read(ScratchPool* pool, SwitchLine* line, int argc, char** argv);

// Whether the switch with `letter` was given; false for a letter not in the table.
bool switch_given(const SwitchLine* line, char letter);
// The value of the switch with `letter`, or null when absent or not given.
const char* switch_value(const SwitchLine* line, char letter);

// Reads `text` as a number that may not be guessed at: only decimal digits,
// at least one, and the value below 2^64. Returns false for anything else
// (null, a sign, a space, a suffix, "0x"), leaving *out_value alone.
bool switch_parse_number(const char* text, uint64_t* out_value);
