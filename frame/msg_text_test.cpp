#include "frame/msg_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/text.h"

namespace {

// Collects what message_print hands to the sink.
struct CaptureSink : MessageSink {
  std::vector<std::pair<std::string, bool>> writes;
  MessageSink* previous;
  static void write(MessageSink* self, const char* text, bool line_end) {
    static_cast<CaptureSink*>(self)->writes.emplace_back(text, line_end);
  }
  CaptureSink() : MessageSink{&OPS} { previous = message_set_sink(this); }
  ~CaptureSink() { message_set_sink(previous); }
  static const MessageSinkOps OPS;
};
const MessageSinkOps CaptureSink::OPS = {CaptureSink::write};

std::string format(const char* templ, std::vector<const char*> args = {}) {
  ScratchPool pool;
  const char* out = message_format(&pool, templ, static_cast<int>(args.size()), args.data());
  return out ? out : "(null)";
}

TEST(MessageText, ExpansionRules) {
  message_set_replace_mode(1);
  message_set("mt_name", "World");
  message_set("mt_greeting", "Hello %(mt_name)!");
  message_set("mt_args", "%1 and %2");
  struct Case {
    const char* templ;
    std::vector<const char*> args;
    const char* expected;
  } cases[] = {
      {"100%", {}, "100"},
      {"%%", {}, "%"},
      {"%0", {}, "0"},
      {"a%qb", {}, "aqb"},
      {"mt_greeting", {}, "Hello World!"},
      {"[%(mt_greeting)]", {}, "[Hello World!]"},
      {"%(mt_name", {}, "World"},
      {"%(unknown_key)", {}, "unknown_key"},
      {"mt_args", {"x"}, "x and missing_arg"},
      {"mt_args", {"x", nullptr}, "x and missing_arg"},
      {"mt_args", {"x", "y"}, "x and y"},
      {"%(mt_args)", {"p", "q"}, "p and q"},
      {"MT_NAME", {}, "World"},  // keys ignore ASCII case
  };
  for (const Case& c : cases) EXPECT_EQ(format(c.templ, c.args), c.expected) << c.templ;
  message_set_replace_mode(0);
}

TEST(MessageText, PlainTextIsReturnedWithoutCopy) {
  ScratchPool pool;
  const char* literal = "no percent signs here";
  EXPECT_EQ(message_format0(&pool, literal), literal);
  message_set("mt_direct", "direct text");
  EXPECT_EQ(message_format0(&pool, "mt_direct"), message_lookup("mt_direct"));
  EXPECT_EQ(pool.handed_out, 0u);
}

TEST(MessageText, SelfReferenceStopsAfterFiveLevels) {
  message_set("mt_self", "%(mt_self)");
  EXPECT_EQ(format("mt_self"), "%(mt_self)");
  message_set("mt_loop_a", "a%(mt_loop_b)");
  message_set("mt_loop_b", "b%(mt_loop_a)");
  EXPECT_EQ(format("mt_loop_a"), "abababa%(mt_loop_b)");
}

TEST(MessageText, ReplaceModeAndCaseInsensitiveKeys) {
  message_set_replace_mode(0);
  message_set("mt_Build_Tag", "first");
  message_set("MT_BUILD_TAG", "second");
  EXPECT_STREQ(message_lookup("mt_build_tag"), "first");
  message_set_replace_mode(1);
  message_set("Mt_Build_tag", "third");
  EXPECT_STREQ(message_lookup("mt_build_tag"), "third");
  message_set_replace_mode(0);
  EXPECT_STREQ(message_lookup("mt_never_set"), "mt_never_set");
}

TEST(MessageText, LengthBoundaryBetweenOneAndTwoPasses) {
  std::string t99 = "%%" + std::string(98, 'x');  // 99 bytes out
  std::string t100 = "%%" + std::string(99, 'x');
  EXPECT_EQ(format(t99.c_str()).size(), 99u);
  EXPECT_EQ(format(t100.c_str()), "%" + std::string(99, 'x'));
  std::string long_value(500, 'v');
  message_set_replace_mode(1);
  message_set("mt_long", long_value.c_str());
  EXPECT_EQ(format("<%(mt_long)>"), "<" + long_value + ">");
  message_set_replace_mode(0);
  char small[4];
  const char* direct = nullptr;
  int depth = 0;
  EXPECT_EQ(message_expand(&depth, small, sizeof small, &direct, "ab%1cd", 1,
                           std::vector<const char*>{"XYZ"}.data()),
            7u);
  EXPECT_STREQ(small, "abX");
  EXPECT_EQ(depth, 0);
}

TEST(MessageText, PrintSplitsLines) {
  CaptureSink sink;
  message_print("");
  message_print("X");
  message_print("A\nB");
  message_print("one\r\ntwo\n");
  message_print(nullptr);
  const std::vector<std::pair<std::string, bool>> expected = {
      {"", false}, {"X", false}, {"A", true}, {"B", false}, {"one", true}, {"two", true},
      {"", false}};
  EXPECT_EQ(sink.writes, expected);
}

TEST(MessageText, LocaleDefaultsStayWhenTheLocaleIsSilent) {
  load_locale_texts();
  // The C locale has no thousands separator and no negative number layout.
  EXPECT_STREQ(message_lookup("locale_thous_sep"), ",");
  EXPECT_STREQ(message_lookup("locale_neg_format"), "-%1");
  EXPECT_STREQ(message_lookup("locale_decimal"), ".");
  EXPECT_STREQ(message_lookup("locale_time_sep"), ":");
  EXPECT_EQ(message_set_replace_mode(0), 0);
}

}  // namespace
