#include "copy/progress.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Progress, FormatSize) {
  struct Case {
    uint64_t value;
    const char* text;
  } cases[] = {{0, "0.000KB"},        {999, "0.999KB"},         {12345, "12.34KB"},
               {123456, "123.4KB"},   {1000000, "1.000MB"},     {262144, "262.1KB"},
               {999999, "999.9KB"},   {1000000000000000ull, "1000TB"},
               {UINT64_MAX, "18446744TB"}};
  ScratchPool pool;
  for (const Case& c : cases) EXPECT_STREQ(format_size(&pool, c.value), c.text) << c.value;
}

std::string render(ProgressLine* line, uint64_t now, uint64_t total, uint64_t done,
                   uint64_t width = 0) {
  char out[361];
  const size_t n = progress_render(line, now, width, total, done, 1, 2, 3, out);
  return std::string(out, n);
}

TEST(Progress, LinesAndRedraws) {
  ProgressLine line{};
  const std::string empty = render(&line, 1000, 0, 0);
  EXPECT_EQ(empty, "|" + std::string(40, '-') + "|100% 0.000KB/0.000KB 0.000KB/sec 0:00:00 "
                   "sr=0.001KB dr=0.002KB dw=0.003KB");
  EXPECT_EQ(line.last_length, empty.size());

  line = ProgressLine{};
  const std::string first = render(&line, 5000, 4000000, 1000000);
  EXPECT_EQ(first.substr(0, 54), "|##########------------------------------| 25% 1.000MB");
  EXPECT_EQ(render(&line, 5150, 4000000, 2000000), "");  // 150 ms later: not yet
  // Done: always drawn; the cursor first goes back over the old line.
  const std::string last = render(&line, 5150 + 3725000, 4000000, 4000000);
  const std::string back(first.size(), '\b');
  ASSERT_EQ(last.substr(0, back.size()), back);
  EXPECT_NE(last.find("|" + std::string(40, '#') + "|100% "), std::string::npos);
  EXPECT_NE(last.find(" 1:02:05 "), std::string::npos);

  // A shorter new line blanks what is left of the old one and comes back.
  ProgressLine wide{};
  wide.start = 1;
  wide.last_length = 118;
  const std::string shorter = render(&wide, 2, 10, 10);
  const size_t len = wide.last_length;
  ASSERT_LT(len, 118u);
  EXPECT_EQ(shorter.size(), 118 + len + 2 * (118 - len));
  EXPECT_EQ(shorter.substr(118 + len), std::string(118 - len, ' ') + std::string(118 - len, '\b'));
}

TEST(Progress, ElapsedHoursAreNotWrapped) {
  ProgressLine line{};
  line.start = 1;
  EXPECT_NE(render(&line, 1 + 90000000, 1, 1).find(" 25:00:00 "), std::string::npos);
}

TEST(Progress, NarrowTerminalCutsTheLine) {
  ProgressLine line{};
  const std::string text = render(&line, 10, 100, 100, 40);
  EXPECT_EQ(text.size(), 39u);
  EXPECT_EQ(line.last_length, 39u);
}

}  // namespace
