#include "base/parse.h"

#include <gtest/gtest.h>

namespace {

TEST(ParseValue, NumbersAndKeywords) {
  struct Case {
    const char* text;
    int64_t value;
    unsigned flags;
  } cases[] = {
      {"  0x1F  ", 31, PARSE_HEX},
      {"0X1f", 31, PARSE_HEX},
      {"-0x10", -16, PARSE_HEX | PARSE_NEGATIVE},
      {"+7", 7, 0},
      {"-12", -12, PARSE_NEGATIVE},
      {"0x", 0, 0},
      {"0xg1", 0, 0},
      {"12abc", 12, 0},
      {"262144", 262144, 0},
      {"18446744073709551617", 1, 0},
      {"0xFFFFFFFFFFFFFFFF", -1, PARSE_HEX},
      {"Y", 1, PARSE_Y_N},
      {"yes", 1, PARSE_YES_NO},
      {"YESSIR", 1, PARSE_YES_NO},
      {"ye", 0, 0},
      {"n", 0, PARSE_Y_N},
      {"No", 0, PARSE_YES_NO},
      {" t ", 1, PARSE_T_F},
      {"TRUE", 1, PARSE_TRUE_FALSE},
      {"f", 0, PARSE_T_F},
      {"false", 0, PARSE_TRUE_FALSE},
      {"off", 0, PARSE_ON_OFF},
      {"on", 1, PARSE_ON_OFF},
      {"one", 1, PARSE_ON_OFF},
      {"o", 0, 0},
      {"e", 1, PARSE_E_D},
      {"Enabled", 1, PARSE_ENABLED_DISABLED},
      {"enable", 1, PARSE_ENABLE_DISABLE},
      {"d", 0, PARSE_E_D},
      {"DISABLED", 0, PARSE_ENABLED_DISABLED},
      {"disablex", 0, PARSE_ENABLE_DISABLE},
      {"", 0, 0},
      {" \t\r\n\v", 0, 0},
      {nullptr, 0, 0},
      {"\f1", 0, 0},  // form feed is not a blank
      {"abc", 0, 0},
  };
  for (const Case& c : cases) {
    unsigned flags = 0xDEAD;
    EXPECT_EQ(parse_value(c.text, SIZE_MAX, &flags), c.value) << (c.text ? c.text : "(null)");
    EXPECT_EQ(flags, c.flags) << (c.text ? c.text : "(null)");
  }
}

TEST(ParseValue, MaxLengthBoundsTheNumber) {
  unsigned flags;
  EXPECT_EQ(parse_value("12345", 3, &flags), 123);
  EXPECT_EQ(parse_value("0x1F", 3, &flags), 1);
  EXPECT_EQ(flags, PARSE_HEX);
  EXPECT_EQ(parse_value("42", SIZE_MAX, nullptr), 42);
}

// Bug: keywords were matched against the text past max_length, so "yes" cut
// to "ye" read as yes, and a text without a terminator was read beyond its end.
TEST(ParseValue, KeywordStaysInsideMaxLength) {
  const char unterminated[3] = {'y', 'e', 's'};
  unsigned flags = 0xDEAD;
  EXPECT_EQ(parse_value(unterminated, 2, &flags), 0);
  EXPECT_EQ(flags, 0u);
  EXPECT_EQ(parse_value(unterminated, 3, &flags), 1);
  EXPECT_EQ(flags, PARSE_YES_NO);
  EXPECT_EQ(parse_value("disabled", 7, &flags), 0);
  EXPECT_EQ(flags, PARSE_ENABLE_DISABLE);
}

}  // namespace
