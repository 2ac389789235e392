#include "base/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Text, LengthsAndNullAsEmpty) {
  EXPECT_EQ(text_len(nullptr), 0u);
  EXPECT_EQ(text_len("abc"), 3u);
  EXPECT_EQ(text_len_max("abcdef", 4), 4u);
  EXPECT_EQ(text_len_max("ab", 4), 2u);
  EXPECT_EQ(wide_len(u"h\u00e9"), 2u);
  EXPECT_EQ(wide_len_max(u"hello", 3), 3u);
  EXPECT_TRUE(text_is_empty(nullptr));
  EXPECT_TRUE(text_is_empty(""));
  EXPECT_FALSE(text_is_empty("x"));
  EXPECT_STREQ(text_or_empty(nullptr), "");
  EXPECT_EQ(wide_or_empty(nullptr)[0], 0);
}

TEST(Text, PoolAndHeapCopies) {
  ScratchPool pool;
  EXPECT_STREQ(pool_copy_text(&pool, "hello", 3), "hel");
  EXPECT_STREQ(pool_copy_text(&pool, nullptr), "");
  char16_t* w = pool_copy_wide(&pool, u"wide", 2);
  EXPECT_EQ(std::u16string(w), u"wi");
  EXPECT_EQ(heap_text_buffer(0), nullptr);
  EXPECT_EQ(heap_copy_text(nullptr), nullptr);
  char* h = heap_copy_text("abcdef", 4);
  EXPECT_STREQ(h, "abcd");
  heap_free(h);
  char16_t* hw = heap_copy_wide(u"abc");
  EXPECT_EQ(std::u16string(hw), u"abc");
  heap_free(hw);
}

TEST(Text, CopyBoundedCutsAtCapacity) {
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  text_copy_bounded(buf, 4, "abcdef", SIZE_MAX);
  EXPECT_STREQ(buf, "abc");
  text_copy_bounded(buf, 8, "abcdef", 2);
  EXPECT_STREQ(buf, "ab");
  text_copy_bounded(buf, 8, nullptr, SIZE_MAX);
  EXPECT_STREQ(buf, "");
  buf[0] = 'q';
  text_copy_bounded(buf, 0, "abc", SIZE_MAX);  // capacity 0: untouched
  EXPECT_EQ(buf[0], 'q');
  text_copy_max(buf, "hello", 3);
  EXPECT_STREQ(buf, "hel");
}

TEST(Text, BytesMoveHandlesOverlapAndNullSource) {
  char buf[] = "abcdefgh";
  bytes_move(buf + 2, buf, 5);  // source below dest
  EXPECT_STREQ(buf, "ababcdeh");
  bytes_move(buf, buf + 2, 5);  // source above dest
  EXPECT_STREQ(buf, "abcdedeh");
  bytes_move(buf, nullptr, 3);
  EXPECT_EQ(std::memcmp(buf, "\0\0\0ded", 6), 0);
  bytes_move(nullptr, buf, 3);  // nothing happens
}

TEST(Text, HexFromBytesTruncatesToCapacity) {
  const unsigned char bytes[] = {0x01, 0xAB};
  char buf[8];
  EXPECT_EQ(hex_from_bytes(buf, 5, bytes, 2), 4u);
  EXPECT_STREQ(buf, "01ab");
  EXPECT_EQ(hex_from_bytes(buf, 4, bytes, 2), 4u);
  EXPECT_STREQ(buf, "01a");
  EXPECT_EQ(hex_from_bytes(buf, 3, bytes, 2), 4u);
  EXPECT_STREQ(buf, "01");
  EXPECT_EQ(hex_from_bytes(buf, 8, nullptr, 2), 0u);
  EXPECT_EQ(hex_from_bytes(buf, bytes, 2), 4u);
  EXPECT_STREQ(buf, "01ab");
}

TEST(Text, CharacterClasses) {
  EXPECT_TRUE(char_is_digit('7'));
  EXPECT_FALSE(char_is_digit('7' + 256 - 256 + 10));
  EXPECT_TRUE(char_is_digit('0' + 0x100));  // only the low 8 bits count
  EXPECT_TRUE(char_is_hex_digit('F'));
  EXPECT_FALSE(char_is_hex_digit('g'));
  for (int c : {9, 10, 11, 13, 32}) EXPECT_TRUE(char_is_space(c)) << c;
  EXPECT_FALSE(char_is_space(12));
  EXPECT_EQ(char_to_lower_ascii('Q'), 'q');
  EXPECT_EQ(char_to_lower_ascii(0xC4), 0xC4);
  EXPECT_TRUE(wide_is_digit(u'5'));
}

TEST(Text, CompareNocase) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"abc", "ABD", -1}, {"ABC", "abc", 0},  {"abc", "ab", 1},    {"", nullptr, 0},
      {"\xC4", "Z", 1},   {"copy", "COPY", 0}, {"a_b", "A_B", 0}, {"[", "a", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_compare_nocase(c.a, SIZE_MAX, c.b, SIZE_MAX), c.expected) << c.a;
  }
  EXPECT_EQ(text_compare_nocase("abcX", 3, "ABC", SIZE_MAX), 0);
  EXPECT_EQ(text_begins_nocase("Enabled", "enable"), 0);
  EXPECT_EQ(text_begins_nocase("en", "enable"), -1);
  EXPECT_EQ(text_begins_nocase("x", ""), 0);
  EXPECT_EQ(wide_begins_nocase(u"\\Device\\Harddisk0", u"\\DEVICE\\"), 0);
  EXPECT_EQ(wide_begins_nocase(u"\\Dev", u"\\DEVICE\\"), -1);
}

TEST(Text, WildcardMatch) {
  struct Case {
    const char* pattern;
    const char* text;
    int expected;
  } cases[] = {
      {"*copy*", "File COPY tool", 1},
      {"a?c", "ac", 0},
      {"a?c", "abc", 1},
      {"", "", 1},
      {"", "x", 0},
      {"*", "", 1},
      {"*", "anything", 1},
      {"*.txt", "notes.TXT", 1},
      {"*.txt", "notes.txt.bak", 0},
      {"a*b*c", "aXbYbZc", 1},
      {"a*b*c", "aXbYbZ", 0},
      {"??", "a", 0},
      {nullptr, nullptr, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text_match_wildcard(c.pattern, c.text), c.expected)
        << (c.pattern ? c.pattern : "") << " / " << (c.text ? c.text : "");
  }
}

TEST(Text, WildcardWithMoreStarsThanBackupPoints) {
  // More stars than the 50 back-up points the matcher keeps must neither
  // overrun its stack nor lose the plain match.
  std::string text(60, 'x');
  EXPECT_EQ(text_match_wildcard("*b", (text + "b").c_str()), 1);
  std::string many_stars;
  for (int i = 0; i < 60; i++) many_stars += "*x";
  EXPECT_EQ(text_match_wildcard((many_stars + "b").c_str(), (text + "b").c_str()), 1);
}

TEST(Text, CompareUtf8AndFolded) {
  EXPECT_EQ(text_compare_utf8("\xC3\xA9", SIZE_MAX, "z"), 1);  // code points, not signed bytes
  EXPECT_EQ(text_compare_utf8("abc", 2, "ab", SIZE_MAX), 0);
  EXPECT_EQ(text_compare_utf8("a", SIZE_MAX, "A", SIZE_MAX), 1);
  EXPECT_EQ(text_compare_folded("\xC3\x80" "B", SIZE_MAX, "\xC3\xA0" "b", SIZE_MAX), 0);
  EXPECT_NE(text_compare_folded("Stra\xC3\x9F" "e", SIZE_MAX, "STRASSE", SIZE_MAX), 0);
  EXPECT_EQ(text_compare_folded("\xE2\x84\xAA", SIZE_MAX, "k", SIZE_MAX), 0);  // KELVIN SIGN
  EXPECT_NE(text_compare_folded("\xC4\xB0", SIZE_MAX, "i", SIZE_MAX), 0);      // U+0130
  EXPECT_EQ(text_compare_folded("\xF0\x90\x90\x80", SIZE_MAX, "\xF0\x90\x90\xA8", SIZE_MAX), 0);
}

}  // namespace
