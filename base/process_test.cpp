#include "base/process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "base/text.h"
#include "base/utf.h"
#include "platform/platform.h"

namespace {

TEST(ProcessContext, ProgramNameFromPath) {
  ScratchPool pool;
  struct Case {
    const char* path;
    const PathSyntax* syntax;
    const char* name;
  } cases[] = {
      {"C:\\Tools\\store.tool.exe", &PATH_SYNTAX_WINDOWS, "store.tool"},
      {"C:\\Tools\\.hidden", &PATH_SYNTAX_WINDOWS, ".hidden"},
      {"C:/mixed/zuvo.exe", &PATH_SYNTAX_WINDOWS, "zuvo"},
      {"/usr/bin/zuvo", &PATH_SYNTAX_POSIX, "zuvo"},
      {"/opt/a\\b.c", &PATH_SYNTAX_POSIX, "a\\b"},
      {"/usr/bin/", &PATH_SYNTAX_POSIX, nullptr},
  };
  for (const Case& c : cases) {
    const char* name = program_name_from_path(&pool, c.path, c.syntax);
    EXPECT_STREQ(name, c.name) << c.path;
  }
}

TEST(ProcessContext, CachedValuesAreSharedAcrossThreads) {
  const char16_t* a = nullptr;
  const char16_t* b = nullptr;
  std::thread t1([&] { a = current_folder_wide(); });
  std::thread t2([&] { b = current_folder_wide(); });
  t1.join();
  t2.join();
  EXPECT_EQ(a, b);
  char expected[OS_FOLDER_TEXT_MAX];
  size_t length = 0;
  ASSERT_EQ(os_current_folder(expected, sizeof expected, &length), 0);
  ScratchPool pool;
  EXPECT_STREQ(pool_utf8_from_wide(&pool, a), expected);
  // The test binary's own name, without folder.
  EXPECT_STREQ(program_name(), "unit_tests");
  EXPECT_EQ(program_name(), program_name());
  EXPECT_FALSE(wide_is_empty(user_name()));
}

TEST(ProcessContext, ArgumentsKeepBytesAndDeriveWide) {
  const char* argv[] = {"zuvo", "copy", "caf\xC3\xA9", "bad\xFFname", nullptr};
  process_record_arguments_utf8(4, argv);
  int count = 0;
  char** got = process_arguments(&count);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(count, 4);
  EXPECT_STREQ(got[3], "bad\xFFname");  // not round-tripped: bytes stay as given
  EXPECT_EQ(got[4], nullptr);
  const char16_t* const* wide = process_arguments_wide(&count);
  EXPECT_EQ(std::u16string(wide[2]), u"caf\u00e9");
  const char16_t* wide_argv[] = {u"zuvo", u"info", nullptr};
  process_record_arguments(2, wide_argv);
  got = process_arguments(&count);
  EXPECT_EQ(count, 2);
  EXPECT_STREQ(got[1], "info");
}

// Runs after the context's own exit cleanups (registered before them, so it runs
// last) and reports through the exit code whether the fallbacks took over.
void check_fallbacks_at_exit() {
  ScratchPool pool;
  int count = 0;
  char** argv = process_arguments(&count);
  const bool ok = std::u16string(program_file_path()) == u"\\_" &&
                  std::u16string(user_name()) != u"" && count == 1 && argv &&
                  std::string(argv[0]) == "." && std::string(program_name()) == "_";
  std::_Exit(ok ? 3 : 4);
}

void use_context_then_exit() {
  std::atexit(check_fallbacks_at_exit);
  const char* argv[] = {"prog", "x", nullptr};
  process_record_arguments_utf8(2, argv);
  (void)program_file_path();
  (void)user_name();
  (void)program_name();
  std::exit(0);
}

TEST(ProcessContextDeathTest, ExitCleanupLeavesFallbacks) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(use_context_then_exit(), testing::ExitedWithCode(3), "");
}

}  // namespace
