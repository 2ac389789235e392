#include "frame/switches.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/err.h"
#include "base/file.h"
#include "base/transfer.h"

namespace {

// Runs switches_read with standard output on a pipe; returns what it printed.
std::string read_line(ScratchPool* pool, SwitchLine* line, std::vector<const char*> args,
                      int* out_rc) {
  os_process_setup();
  OsHandle r = OS_NO_HANDLE, w = OS_NO_HANDLE;
  EXPECT_EQ(os_pipe_create(&r, &w), 0);
  const OsHandle saved = os_standard_handle(1);
  os_standard_handle_set(1, w);
  std::vector<char*> argv{const_cast<char*>("cmd")};
  for (const char* a : args) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  *out_rc = switches_read(pool, line, static_cast<int>(argv.size()) - 1, argv.data());
  os_standard_handle_set(1, saved);
  close_handle(w);
  std::string out;
  char buffer[256];
  size_t n;
  while (read_file(r, buffer, sizeof buffer, &n) == 0 && n > 0) out.append(buffer, n);
  close_handle(r);
  return out;
}

// The switches given, with their values ("~" for none), then the operands.
std::string describe(const SwitchLine* line) {
  std::string text;
  for (int i = 0; i < line->count; i++) {
    const Switch& s = line->switches[i];
    if (!s.given) continue;
    text += s.letter;
    if (s.flags & SWITCH_VALUE) text += std::string("=") + (s.value ? s.value : "~");
    text += ' ';
  }
  text += "|";
  for (int i = 0; i < line->operand_count; i++) text += std::string(" ") + line->operands[i];
  return text;
}

TEST(Switches, TableDriven) {
  constexpr int BAD = ERR_INVALID_PARAMETER;
  enum { COPY, CREATE, PRUNE, VERIFY, TIMED };
  struct Case {
    int table;
    std::vector<const char*> args;
    int rc;
    const char* given;  // describe() after a successful read
    const char* printed;
  } cases[] = {
      // Lenient: warnings in argument order; longer dashed arguments are operands.
      {COPY,
       {"-x", "-xy", "/D", "out", "a", "/q"},
       0,
       "d=out | -xy a",
       "WARNING: Ignoring unknown switch \"-x\"\nWARNING: Ignoring unknown switch \"/q\"\n"},
      // A value switch consumes whatever follows; the last occurrence counts,
      // and one that is the last argument leaves no value.
      {COPY, {"-f", "-b", "-d", "o", "-B", "a", "-d"}, 0, "d=~ f=-b b | a", ""},
      {COPY, {"a", "b", "-F", "x"}, 0, "f=x | a b", ""},
      // A value that may not be guessed at is required on a lenient line too.
      {COPY, {"-t", "5", "a"}, 0, "t=5 | a", ""},
      {COPY,
       {"-x", "a", "-T"},
       BAD,
       "",
       "WARNING: Ignoring unknown switch \"-x\"\nERROR: Switch \"-T\" needs a value\n"},
      // One operand: the rest draw warnings.
      {CREATE,
       {"/X", "s7", "s8"},
       0,
       "| s7",
       "WARNING: Ignoring unknown switch \"/X\"\nWARNING: Ignoring unexpected argument \"s8\"\n"},
      // A value that would be the last argument is the folder instead.
      {CREATE, {"s", "-i", "65536"}, 0, "| s", "WARNING: Ignoring unexpected argument \"65536\"\n"},
      {CREATE, {"-i", "4096", "-z", "s"}, 0, "i=4096 z | s", ""},
      {CREATE, {"s", "-i"}, 0, "i=~ | s", ""},
      {CREATE, {"--zz"}, 0, "| --zz", ""},
      // Strict: refused, naming the argument.
      {PRUNE, {"-N", "/srv/store"}, 0, "n | /srv/store", ""},
      {PRUNE, {"s", "--dry-run"}, BAD, "", "ERROR: Unknown switch \"--dry-run\"\n"},
      {PRUNE, {"-nb", "s"}, BAD, "", "ERROR: Unknown switch \"-nb\"\n"},
      {PRUNE, {"s", "-"}, BAD, "", "ERROR: Unknown switch \"-\"\n"},
      {PRUNE, {"s", "/x"}, BAD, "", "ERROR: Unknown switch \"/x\"\n"},
      {PRUNE, {"s", "t", "-x"}, BAD, "", "ERROR: Unexpected argument \"t\"\n"},
      // Verify is strict only with -r, wherever it stands.
      {VERIFY, {"-x", "a", "--all"}, 0, "| a --all", "WARNING: Ignoring unknown switch \"-x\"\n"},
      {VERIFY, {"a", "b", "-A", "/tmp/b"}, 0, "a | a b /tmp/b", ""},
      {VERIFY, {"--all", "a", "/R"}, BAD, "", "ERROR: Unknown switch \"--all\"\n"},
      {VERIFY, {"-x", "-r", "a"}, BAD, "", "ERROR: Unknown switch \"-x\"\n"},
      // Strictly, a value switch needs its value.
      {TIMED, {"-t", "5", "s"}, 0, "t=5 | s", ""},
      {TIMED, {"s", "-t"}, BAD, "", "ERROR: Switch \"-t\" needs a value\n"},
  };
  for (const Case& c : cases) {
    Switch copy[] = {{'d', SWITCH_VALUE},
                     {'f', SWITCH_VALUE},
                     {'b', 0},
                     {'t', SWITCH_VALUE | SWITCH_VALUE_REQUIRED}};
    Switch create[] = {{'i', SWITCH_VALUE}, {'z', 0}};
    Switch prune[] = {{'b', 0}, {'n', 0}};
    Switch verify[] = {{'a', 0}, {'r', SWITCH_STRICT}};
    Switch timed[] = {{'t', SWITCH_VALUE}};
    SwitchLine lines[] = {
        switch_line(copy, SWITCHES_ANY_OPERANDS, 0),
        switch_line(create, 1, SWITCHES_VALUE_NOT_LAST),
        switch_line(prune, 1, SWITCHES_STRICT),
        switch_line(verify, SWITCHES_ANY_OPERANDS, 0),
        switch_line(timed, 1, SWITCHES_STRICT),
    };
    SwitchLine* line = &lines[c.table];
    ScratchPool pool;
    std::string where;
    for (const char* a : c.args) where += std::string(" ") + a;
    int rc = -1;
    EXPECT_EQ(read_line(&pool, line, c.args, &rc), c.printed) << where;
    EXPECT_EQ(rc, c.rc) << where;
    if (rc == 0) {
      EXPECT_EQ(describe(line), c.given) << where;
    }
  }
}

TEST(Switches, StrictNumbers) {
  uint64_t value = 7;
  EXPECT_TRUE(switch_parse_number("4096", &value));
  EXPECT_EQ(value, 4096u);
  EXPECT_TRUE(switch_parse_number("18446744073709551615", &value));
  EXPECT_EQ(value, UINT64_MAX);
  // 2^64 + 4096 once wrapped to a valid chunk size.
  for (const char* bad : {"4096k", "0x1000", "4k", " 4096", "", "+4096", "-1",
                          "18446744073709551616", "18446744073709555712"}) {
    value = 7;
    EXPECT_FALSE(switch_parse_number(bad, &value)) << bad;
    EXPECT_EQ(value, 7u) << bad;
  }
  EXPECT_FALSE(switch_parse_number(nullptr, &value));
}

}  // namespace
