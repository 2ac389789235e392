// The link-then-unlink publication that stands in for an exclusive rename on
// file systems that refuse one; run here on whatever file system holds /tmp.
#include "platform/posix/publish.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "base/err.h"
#include "base/test_folder.h"

namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

TEST(PosixRenameByLink, ExclusiveLikeTheRename) {
  TestFolder dir;
  const std::string a = dir.at("a"), b = dir.at("b"), c = dir.at("c");
  put(a, "first");
  put(b, "second");
  EXPECT_EQ(posix_rename_by_link(a.c_str(), b.c_str()), ERR_ALREADY_EXISTS);
  EXPECT_EQ(read_all(a), "first");
  EXPECT_EQ(read_all(b), "second");
  EXPECT_EQ(posix_rename_by_link(a.c_str(), c.c_str()), 0);
  EXPECT_EQ(read_all(a), "<missing>");
  EXPECT_EQ(read_all(c), "first");
  EXPECT_EQ(posix_rename_by_link(a.c_str(), dir.at("d").c_str()), ERR_FILE_NOT_FOUND);
  EXPECT_EQ(posix_rename_by_link(c.c_str(), dir.at("no/d").c_str()), ERR_PATH_NOT_FOUND);
  EXPECT_EQ(read_all(c), "first");
}

}  // namespace
