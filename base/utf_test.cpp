#include "base/utf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/text.h"

namespace {

TEST(Utf8, DecodeMalformedAdvancesOneByte) {
  const char text[] = "\xC3\x28";
  size_t next;
  EXPECT_EQ(utf8_decode(text, 2, 0, &next), UTF_INVALID);
  EXPECT_EQ(next, 1u);
  EXPECT_EQ(utf8_decode(text, 2, 1, &next), static_cast<uint32_t>('('));
  EXPECT_EQ(utf8_decode(text, 2, 2, &next), 0u);
  EXPECT_EQ(next, 2u);
  struct Bad {
    const char* bytes;
    size_t length;
  } bad[] = {{"\x80", 1}, {"\xBF", 1}, {"\xF8\x88\x80\x80\x80", 5}, {"\xFF", 1},
             {"\xE2\x82", 2}, {"\xE2\x82\xAC", 2} /* runs past length */, {"\xF0\x9F\x98", 3}};
  for (const Bad& b : bad) {
    EXPECT_EQ(utf8_decode(b.bytes, b.length, 0, &next), UTF_INVALID) << b.length;
    EXPECT_EQ(next, 1u);
  }
  // Overlong forms and encoded surrogates decode as they stand.
  EXPECT_EQ(utf8_decode("\xC0\x80", 2, 0, &next), 0u);
  EXPECT_EQ(next, 2u);
  EXPECT_EQ(utf8_decode("\xED\xA0\x80", 3, 0, &next), 0xD800u);
}

TEST(Utf8, EncodeLengthsAndTruncation) {
  struct Case {
    uint32_t cp;
    const char* bytes;
  } cases[] = {
      {0x41, "\x41"},
      {0x7FF, "\xDF\xBF"},
      {0x800, "\xE0\xA0\x80"},
      {0xFFFF, "\xEF\xBF\xBF"},
      {0x10000, "\xF0\x90\x80\x80"},
      {0x1FFFFF, "\xF7\xBF\xBF\xBF"},
      {0x200000, "\xF8\x88\x80\x80\x80"},
      {0x7FFFFFFE, "\xFD\xBF\xBF\xBF\xBF\xBE"},
      {0x7FFFFFFF, "\xFF"},
      {UTF_INVALID, "\xFF"},
  };
  for (const Case& c : cases) {
    char buf[8] = {0};
    size_t pos = 0;
    utf8_encode(buf, sizeof buf, &pos, c.cp);
    EXPECT_EQ(pos, std::strlen(c.bytes)) << std::hex << c.cp;
    EXPECT_EQ(std::memcmp(buf, c.bytes, pos), 0) << std::hex << c.cp;
  }
  char buf[4] = {'x', 'x', 'x', 'x'};
  size_t pos = 2;
  utf8_encode(buf, 3, &pos, 0x20AC);  // three bytes, one fits
  EXPECT_EQ(pos, 5u);
  EXPECT_EQ(static_cast<unsigned char>(buf[2]), 0xE2);
  EXPECT_EQ(buf[3], 'x');
}

TEST(Utf16, DecodeAndEncodeSurrogates) {
  const char16_t pair[] = {0xD83D, 0xDE00, 0xDC00, 0xD800, 0x41, 0};
  size_t next;
  EXPECT_EQ(utf16_decode(pair, 5, 0, &next), 0x1F600u);
  EXPECT_EQ(next, 2u);
  EXPECT_EQ(utf16_decode(pair, 5, 2, &next), UTF_INVALID);  // lone low
  EXPECT_EQ(next, 3u);
  EXPECT_EQ(utf16_decode(pair, 5, 3, &next), UTF_INVALID);  // high before a non-low
  EXPECT_EQ(next, 4u);
  EXPECT_EQ(utf16_decode(pair, 4, 3, &next), UTF_INVALID);  // high at the end
  char16_t out[4];
  size_t pos = 0;
  utf16_encode(out, 4, &pos, 0x10FFFF);
  utf16_encode(out, 4, &pos, 0x110000);
  EXPECT_EQ(pos, 3u);
  EXPECT_EQ(out[0], 0xDBFF);
  EXPECT_EQ(out[1], 0xDFFF);
  EXPECT_EQ(out[2], 0xFFFF);
}

TEST(Utf, ConversionExamples) {
  char16_t w[8];
  EXPECT_EQ(wide_from_utf8(w, 8, "\xF0\x90\x8D\x88"), 2u);
  EXPECT_EQ(w[0], 0xD800);
  EXPECT_EQ(w[1], 0xDF48);
  EXPECT_EQ(w[2], 0);
  EXPECT_EQ(wide_from_utf8(w, 8, "\xC3\x28"), 2u);
  EXPECT_EQ(w[0], 0xFFFF);
  EXPECT_EQ(w[1], u'(');
  char s[8];
  std::memset(s, 'x', sizeof s);
  EXPECT_EQ(utf8_from_wide(s, 3, u"a\u00e9"), 3u);
  EXPECT_STREQ(s, "a");
  EXPECT_EQ(utf8_from_wide(s, 4, u"a\u00e9"), 3u);
  EXPECT_STREQ(s, "a\xC3\xA9");
  EXPECT_EQ(utf8_from_wide(nullptr, 0, u"a\u00e9"), 3u);
  EXPECT_EQ(utf8_from_wide_len(u"abc", 2), 2u);
  EXPECT_EQ(wide_from_utf8_len("\xF0\x9F\x98\x80", SIZE_MAX), 2u);
  // A cut wide result ends before a surrogate pair, never inside it.
  EXPECT_EQ(wide_from_utf8(w, 3, "a\xF0\x9F\x98\x80"), 3u);
  EXPECT_EQ(w[0], u'a');
  EXPECT_EQ(w[1], 0);
}

TEST(Utf, RoundTripEveryValidCodePoint) {
  // Every scalar value through UTF-16 and back, in blocks.
  std::u16string wide;
  std::string narrow;
  for (uint32_t start = 1; start <= 0x10FFFF; start += 0x1000) {
    narrow.clear();
    for (uint32_t cp = start; cp < start + 0x1000 && cp <= 0x10FFFF; cp++) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;
      char buf[4];
      size_t pos = 0;
      utf8_encode(buf, 4, &pos, cp);
      narrow.append(buf, pos);
    }
    const size_t units = wide_from_utf8_len(narrow.c_str(), narrow.size());
    wide.assign(units + 1, 0);
    ASSERT_EQ(wide_from_utf8(wide.data(), units + 1, narrow.c_str(), narrow.size()), units);
    std::string back(narrow.size() + 1, 0);
    ASSERT_EQ(utf8_from_wide(back.data(), back.size(), wide.c_str(), units), narrow.size());
    ASSERT_EQ(std::memcmp(back.data(), narrow.data(), narrow.size()), 0) << std::hex << start;
  }
}

TEST(Utf, PoolConversions) {
  ScratchPool pool;
  EXPECT_STREQ(pool_utf8_from_wide(&pool, u"h\u00e9llo"), "h\xC3\xA9llo");
  std::u16string long_wide(150, u'\u00e9');  // 300 bytes: the second pass
  const char* long_narrow = pool_utf8_from_wide(&pool, long_wide.c_str());
  EXPECT_EQ(text_len(long_narrow), 300u);
  EXPECT_EQ(std::u16string(pool_wide_from_utf8(&pool, long_narrow)), long_wide);
  const char16_t* wide_argv[] = {u"zuvo", u"copy", u"\u00e9", nullptr};
  char** argv = pool_utf8_argv(&pool, wide_argv);
  ASSERT_NE(argv, nullptr);
  EXPECT_STREQ(argv[0], "zuvo");
  EXPECT_STREQ(argv[1], "copy");
  EXPECT_STREQ(argv[2], "\xC3\xA9");
  EXPECT_EQ(argv[3], nullptr);
}

std::map<uint32_t, uint32_t> load_simple_folding() {
  std::ifstream in(ZUVO_SOURCE_DIR "/base/data/CaseFolding-5.0.0.txt");
  std::map<uint32_t, uint32_t> fold;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string cp, status, mapped;
    std::getline(fields, cp, ';');
    std::getline(fields, status, ';');
    std::getline(fields, mapped, ';');
    if (status.find('C') == std::string::npos && status.find('S') == std::string::npos) continue;
    fold[std::stoul(cp, nullptr, 16)] = std::stoul(mapped, nullptr, 16);
  }
  return fold;
}

TEST(CaseFold, TablesMatchTheUnicodeData) {
  const auto fold = load_simple_folding();
  ASSERT_GT(fold.size(), 900u);  // the data file was found and read
  int escapes = 0, bmp_pairs = 0, supplementary = 0;
  for (uint32_t cp = 0; cp < 0x800; cp++) {
    const uint32_t target = fold.count(cp) ? fold.at(cp) : cp;
    const int64_t entry = int64_t{target} - cp + 32;
    if (entry < 0 || entry > 254) escapes++;
  }
  for (const auto& [cp, target] : fold) {
    if (cp >= 0x800 && cp <= 0xFFFF) bmp_pairs++;
    if (cp > 0xFFFF) supplementary++;
  }
  EXPECT_EQ(escapes, 17);
  EXPECT_EQ(bmp_pairs + escapes, 451);
  EXPECT_EQ(supplementary, 40);
  // Every code point folds as the data says; the rest fold to themselves.
  for (uint32_t cp = 0; cp <= 0x10FFFF; cp++) {
    auto it = fold.find(cp);
    ASSERT_EQ(fold_code_point(cp), it == fold.end() ? cp : it->second) << std::hex << cp;
  }
  EXPECT_EQ(fold_code_point(0xB5), 0x3BCu);
  EXPECT_EQ(fold_code_point(0x178), 0xFFu);
  EXPECT_EQ(fold_code_point(0x212A), static_cast<uint32_t>('k'));
  EXPECT_EQ(fold_code_point(0x130), 0x130u);
  EXPECT_EQ(fold_code_point(0x10400), 0x10428u);
  EXPECT_EQ(fold_code_point(0xFFFF), 0xFFFFu);
  EXPECT_EQ(fold_code_point(UTF_INVALID), UTF_INVALID);
}

}  // namespace
