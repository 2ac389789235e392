#include "base/path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/err.h"
#include "base/text.h"
#include "base/utf.h"

namespace {

// Fixed current folders, so that full paths do not depend on the machine.
char* windows_current(Allocator* pool) { return pool_copy_text(pool, "C:\\w"); }
char* windows_drive(Allocator* pool, char letter) {
  if (letter == 'E' || letter == 'e') return pool_copy_text(pool, "E:\\e");
  return nullptr;
}
char* posix_current(Allocator* pool) { return pool_copy_text(pool, "/home/u"); }
char* no_folder(Allocator*) { return nullptr; }
char* no_drive(Allocator*, char) { return nullptr; }

const PathSyntax WIN = {'\\', true, windows_current, windows_drive};
const PathSyntax PSX = {'/', false, posix_current, no_drive};

std::string text_of(const char* p) { return p ? p : "<null>"; }

TEST(PathSplit, BothSyntaxes) {
  struct Case {
    const PathSyntax* syntax;
    const char* path;
    int rc;
    size_t root;
    bool absolute;
    size_t name;
  } cases[] = {
      {&WIN, "\\\\server", ERR_INVALID_NAME, 0, false, 0},
      {&WIN, "\\\\\\share", ERR_INVALID_NAME, 0, false, 0},
      {&WIN, "\\\\srv\\", ERR_INVALID_NAME, 0, false, 0},
      {&WIN, "", ERR_INVALID_NAME, 0, false, 0},
      {&WIN, "\\\\=\\x", 0, 3, true, 4},
      {&WIN, "C:", 0, 2, false, 2},
      {&WIN, "C:x", 0, 2, false, 2},
      {&WIN, "\\x", 0, 0, true, 1},
      {&WIN, "x", 0, 0, false, 0},
      {&WIN, "C:\\a\\b", 0, 2, true, 5},
      {&WIN, "//srv/sh/f", 0, 8, true, 9},
      {&WIN, "\\\\srv\\sh", 0, 8, true, 8},
      {&WIN, "a/b\\", 0, 0, false, 4},
      {&PSX, "", ERR_INVALID_NAME, 0, false, 0},
      {&PSX, "/x", 0, 0, true, 1},
      {&PSX, "x", 0, 0, false, 0},
      {&PSX, "//srv/sh", 0, 0, true, 6},
      {&PSX, "a\\b", 0, 0, false, 0},  // '\' is a name byte
      {&PSX, "C:", 0, 0, false, 0},
      {&PSX, "/a/b/", 0, 0, true, 5},
  };
  for (const Case& c : cases) {
    size_t root = 99, name = 99;
    bool absolute = true;
    EXPECT_EQ(path_split(c.path, &root, &absolute, &name, c.syntax), c.rc) << c.path;
    if (c.rc != 0) continue;
    EXPECT_EQ(root, c.root) << c.path;
    EXPECT_EQ(absolute, c.absolute) << c.path;
    EXPECT_EQ(name, c.name) << c.path;
  }
  EXPECT_EQ(path_split(nullptr, nullptr, nullptr, nullptr, &WIN), ERR_INVALID_NAME);
}

TEST(PathJoin, DropsOneSeparatorEachSide) {
  struct Case {
    const PathSyntax* syntax;
    const char* folder;
    const char* name;
    const char* want;
  } cases[] = {
      {&WIN, "C:\\a\\", "\\b", "C:\\a\\b"},
      {&WIN, "", "b", "b"},
      {&WIN, nullptr, "b", "b"},
      {&WIN, "C:\\a", "b", "C:\\a\\b"},
      {&WIN, "C:", "z", "C:\\z"},
      {&WIN, "C:/a/", "b", "C:/a\\b"},
      {&WIN, "C:\\a\\\\", "b", "C:\\a\\\\b"},
      {&WIN, "C:\\a", "D:\\x", "C:\\a\\D:\\x"},
      {&PSX, "/a/", "/b", "/a/b"},
      {&PSX, "a\\", "b", "a\\/b"},
      {&PSX, "/a", "", "/a/"},
  };
  for (const Case& c : cases) {
    ScratchPool pool;
    EXPECT_EQ(text_of(path_join(&pool, c.folder, c.name, c.syntax)), c.want)
        << text_of(c.folder) << " + " << c.name;
  }
}

TEST(PathNormalize, Examples) {
  struct Case {
    const PathSyntax* syntax;
    const char* path;
    const char* want;
  } cases[] = {
      {&WIN, "c:/a//b/./c/../d", "c:\\a\\b\\d"},
      {&WIN, "C:\\a\\..\\..\\x", "C:\\x"},
      {&WIN, "a\\..\\..\\b", "..\\b"},
      {&WIN, "//srv/sh/x/", "\\\\srv\\sh\\x\\"},
      {&WIN, "C:\\a\\...\\", "C:\\"},
      {&WIN, "", "."},
      {&WIN, ".", "."},
      {&WIN, "a/", "a\\"},
      {&WIN, "a\\..\\..", ".."},
      {&WIN, "..\\..\\x\\", "..\\..\\x\\"},
      {&WIN, ".x\\a..b\\.", ".x\\a..b"},
      {&WIN, "\\\\=\\Device\\x\\..", "\\\\=\\Device"},
      {&WIN, "\\a\\..\\..", "\\"},
      {&WIN, "C:..\\a", "C:..\\a"},
      {&WIN, "C:\\", "C:\\"},
      {&WIN, "\\\\.\\C:", "\\\\.\\C:"},
      {&WIN, "\\\\.\\C:\\", "\\\\.\\C:\\"},
      {&WIN, "\\\\srv\\sh\\x\\..", "\\\\srv\\sh\\"},
      {&WIN, "\\\\.\\C:", "\\\\.\\C:"},
      {&WIN, "\\\\.\\C:\\", "\\\\.\\C:\\"},
      {&WIN, "\\\\srv\\sh\\x\\..", "\\\\srv\\sh\\"},
      {&PSX, "/a//b/./c/../d", "/a/b/d"},
      {&PSX, "/a/../../x", "/x"},
      {&PSX, "a/../../b", "../b"},
      {&PSX, "/x/", "/x/"},
      {&PSX, "/a/.../", "/"},
      {&PSX, "", "."},
      {&PSX, ".", "."},
      {&PSX, "a/", "a/"},
      {&PSX, "//x", "/x"},
      {&PSX, "/", "/"},
      {&PSX, "a\\b/..", "."},
      {&PSX, "a\\b/c", "a\\b/c"},
  };
  for (const Case& c : cases) {
    ScratchPool pool;
    EXPECT_EQ(text_of(path_normalize(&pool, c.path, c.syntax)), c.want) << c.path;
  }
  ScratchPool pool;
  EXPECT_EQ(path_normalize(&pool, "\\\\srv", &WIN), nullptr);
}

// Results of 100 bytes and more take the second pass; climbs that happen
// after the first pass ran out of room must still be resolved exactly.
TEST(PathNormalize, LongPathsTakeTheSecondPass) {
  for (const PathSyntax* s : {&WIN, &PSX}) {
    const std::string sep(1, s->separator);
    std::string path = s == &WIN ? "C:" + sep : sep;
    std::string want = path;
    for (int i = 0; i < 15; ++i) path += "dir" + std::to_string(i) + "_xxxxxx" + sep;
    for (int i = 0; i < 10; ++i) path += ".." + sep;
    path += "z";
    for (int i = 0; i < 5; ++i) want += "dir" + std::to_string(i) + "_xxxxxx" + sep;
    want += "z";
    ScratchPool pool;
    EXPECT_EQ(text_of(path_normalize(&pool, path.c_str(), s)), want);

    std::string relative;
    for (int i = 0; i < 40; ++i) relative += "abc" + sep;
    for (int i = 0; i < 43; ++i) relative += ".." + sep;
    EXPECT_EQ(text_of(path_normalize(&pool, relative.c_str(), s)),
              ".." + sep + ".." + sep + ".." + sep);

    std::string kept = s == &WIN ? "C:" + sep : sep;
    for (int i = 0; i < 30; ++i) kept += "longname" + std::to_string(i) + sep;
    const char* normal = path_normalize(&pool, kept.c_str(), s);
    EXPECT_EQ(text_of(normal), kept);
  }
}

TEST(PathFull, WindowsExamples) {
  const PathSyntax d_base_drive = WIN;
  struct Case {
    const char* base;
    const char* path;
    const char* want;
  } cases[] = {
      {nullptr, "x\\y", "C:\\w\\x\\y"},
      {nullptr, "\\z", "C:\\z"},
      {nullptr, "..", "C:\\"},
      {nullptr, ".", "C:\\w"},
      {nullptr, "", "C:\\w"},
      {nullptr, "C:", "C:\\w\\"},
      {nullptr, "C:\\a\\..\\..", "C:\\"},
      {nullptr, "\\\\srv\\sh\\..\\x", "\\\\srv\\sh\\x"},
      {"D:\\s", "D:t", "D:\\s\\t"},
      {"D:\\s", "d:t", "D:\\s\\t"},
      {"D:\\s", "E:t", "E:\\e\\t"},
      {"D:\\s", "F:t", "F:\\t"},
      {"D:\\s", "\\z", "D:\\z"},
      {"\\\\srv\\sh\\a", "\\z", "\\\\srv\\sh\\z"},
      {"sub", "f", "C:\\w\\sub\\f"},
      {".", "f", "C:\\w\\f"},
      {"D:\\s\\", "..\\..\\..\\f", "D:\\f"},
      {"\\\\bad", "f", nullptr},
      {nullptr, "\\\\srv", nullptr},
  };
  for (const Case& c : cases) {
    ScratchPool pool;
    const char* got = path_full(&pool, c.base, c.path, &d_base_drive);
    EXPECT_EQ(text_of(got), text_of(c.want)) << text_of(c.base) << " / " << c.path;
  }
}

TEST(PathFull, PosixCounterparts) {
  struct Case {
    const char* base;
    const char* path;
    const char* want;
  } cases[] = {
      {nullptr, "x/y", "/home/u/x/y"},
      {nullptr, "/z", "/z"},
      {nullptr, "..", "/home"},
      {nullptr, ".", "/home/u"},
      {nullptr, "", "/home/u"},
      {nullptr, "../../../..", "/"},
      {nullptr, "a\\b", "/home/u/a\\b"},
      {"/s", "f", "/s/f"},
      {"sub/", "f", "/home/u/sub/f"},
      {"/s", "/t/../f", "/f"},
  };
  for (const Case& c : cases) {
    ScratchPool pool;
    EXPECT_EQ(text_of(path_full(&pool, c.base, c.path, &PSX)), text_of(c.want)) << c.path;
  }
  // Without a current folder only paths that need none can be made full.
  const PathSyntax lost = {'/', false, no_folder, no_drive};
  ScratchPool pool;
  EXPECT_EQ(path_full(&pool, nullptr, "x", &lost), nullptr);
  EXPECT_EQ(text_of(path_full(&pool, nullptr, "/x/./y", &lost)), "/x/y");
}

// A folder tree in which /home/u/current is a link to /srv/rel/v2/sub and
// /home/u/gone does not exist; "odd" answers a path that is not full.
char* fake_resolve(Allocator* pool, const char* path) {
  const std::string p = path;
  const std::string link = "/home/u/current";
  if (p.compare(0, link.size(), link) == 0) {
    return pool_copy_text(pool, ("/srv/rel/v2/sub" + p.substr(link.size())).c_str());
  }
  if (p.find("/gone") != std::string::npos) return nullptr;
  return pool_copy_text(pool, p.find("/odd") != std::string::npos ? "odd" : path);
}

// Bug: "current/../data" named /home/u/data, while the system (and cat)
// reads /srv/rel/v2/data; a copy backed up or overwrote the wrong file.
TEST(PathFull, ClimbsFromWhereTheSystemResolvesThePathBefore) {
  struct Case {
    const PathSyntax* syntax;
    const char* path;
    const char* want;
  } cases[] = {
      {&PSX, "current/../data", "/srv/rel/v2/data"},
      {&PSX, "/home/u/current//.././../x/", "/srv/rel/x/"},
      {&PSX, "current/...", "/srv/rel"},
      {&PSX, "current/..", "/srv/rel/v2"},
      {&PSX, "/../../home/u/current/../a..b", "/srv/rel/v2/a..b"},
      // A missing prefix, or an answer that is not a full path: lexical.
      {&PSX, "gone/../f", "/home/u/f"},
      {&PSX, "current/gone/../../f", "/srv/rel/v2/f"},
      {&PSX, "odd/../f", "/home/u/f"},
      {&PSX, "x/y", "/home/u/x/y"},
      // Windows climbs lexically.
      {&WIN, "current\\..\\data", "C:\\w\\data"},
  };
  for (const Case& c : cases) {
    ScratchPool pool;
    EXPECT_EQ(text_of(path_full_resolved(&pool, c.path, fake_resolve, c.syntax)), c.want) << c.path;
  }
}

std::string utf8_of(const char16_t* units, size_t count) {
  std::string out(count * 3 + 1, '\0');
  size_t n = utf8_from_wide(out.data(), out.size(), units, count);
  out.resize(n);
  return out;
}

// Bug: a root-relative or drive-relative base was used as it stood, so the
// "full" path came out as "\s\f" or "C:\w\E:s\f".
TEST(PathFull, RelativeBasesAreMadeFullFirst) {
  struct Case {
    const char* base;
    const char* path;
    const char* want;
  } cases[] = {
      {"\\s", "f", "C:\\s\\f"},
      {"E:s", "f", "E:\\e\\s\\f"},
      {"F:", "f", "F:\\f"},
      {"\\", "", "C:\\"},
  };
  for (const Case& c : cases) {
    ScratchPool pool;
    EXPECT_EQ(text_of(path_full(&pool, c.base, c.path, &WIN)), c.want) << c.base;
  }
}

char* rootless_current(Allocator* pool) { return pool_copy_text(pool, "\\w"); }
char* relative_drive(Allocator* pool, char) { return pool_copy_text(pool, "e"); }

// Bug: a current folder without a drive, or a drive folder from the
// environment that is not a full path, gave relative "full" paths ("x", "e\t").
TEST(PathFull, FoldersThatAreNotFullAreRefused) {
  const PathSyntax rootless = {'\\', true, rootless_current, no_drive};
  const PathSyntax bad_drive = {'\\', true, windows_current, relative_drive};
  ScratchPool pool;
  EXPECT_EQ(path_full(&pool, nullptr, "\\x", &rootless), nullptr);
  EXPECT_EQ(path_full(&pool, nullptr, "x", &rootless), nullptr);
  EXPECT_EQ(text_of(path_full(&pool, nullptr, "E:t", &bad_drive)), "E:\\t");
}

// Bug: past the capacity, climbs were dropped, so the length returned for
// "abcd\...." (whose normal form is "..\..") was 4, not an upper bound.
TEST(PathNormalize, LengthPastTheCapacityIsAnUpperBound) {
  const char* path = "abcd\\....";
  const size_t exact = path_normalize_into(path, 0, false, nullptr, 0, &WIN);
  EXPECT_GE(exact, 5u);
  std::string out(exact, '\0');
  const size_t again = path_normalize_into(path, 0, false, out.data(), exact, &WIN);
  EXPECT_EQ(out.substr(0, again), "..\\..");
}

// Bug: ".\a:x" normalised to "a:x", which then read as drive-relative, so a
// second normalisation changed it again.
TEST(PathNormalize, DriveLikeFirstNameKeepsItsDot) {
  struct Case {
    const char* path;
    const char* want;
  } cases[] = {
      {".\\a:x", ".\\a:x"},
      {"./a:.", ".\\a:."},
      {"q\\..\\b:", ".\\b:"},
      {"..\\a:x", "..\\a:x"},
      {"ab:c", "ab:c"},
  };
  for (const Case& c : cases) {
    ScratchPool pool;
    const char* once = path_normalize(&pool, c.path, &WIN);
    EXPECT_EQ(text_of(once), c.want) << c.path;
    EXPECT_EQ(text_of(path_normalize(&pool, once, &WIN)), text_of(once)) << c.path;
  }
  ScratchPool pool;
  EXPECT_EQ(text_of(path_normalize(&pool, "./a:x", &PSX)), "a:x");
}

TEST(PathNativeName, WindowsForms) {
  struct Case {
    const char* path;
    const char* want;
  } cases[] = {
      {"\\\\.\\C:", "\\??\\C:"},
      {"\\\\srv\\sh\\f", "\\??\\UNC\\srv\\sh\\f"},
      {"C:\\a", "\\??\\C:\\a"},
      {"x", "\\??\\C:\\w\\x"},
      {"\\\\=\\Device\\HarddiskVolume1\\x", "\\Device\\HarddiskVolume1\\x"},
      {"\\\\?\\x\\y", "\\??\\x\\y"},
      {"C:\\\xC3\xA9t\xC3\xA9", "\\??\\C:\\\xC3\xA9t\xC3\xA9"},
  };
  for (const Case& c : cases) {
    ScratchPool pool;
    NativeName n;
    ASSERT_EQ(path_native_name(&pool, c.path, &n, &WIN), 0) << c.path;
    EXPECT_EQ(utf8_of(n.units, n.unit_count), c.want) << c.path;
    EXPECT_EQ(n.name.length, 2 * n.unit_count);
    EXPECT_EQ(n.name.maximum_length, n.name.length + 2);
    EXPECT_EQ(n.units[n.unit_count], 0);
    // The native path notation stands right in front of the name.
    EXPECT_EQ(utf8_of(n.units - 3, 3), "\\\\=");
    EXPECT_EQ(n.name.bytes, nullptr);
  }
  ScratchPool pool;
  NativeName n;
  EXPECT_EQ(path_native_name(&pool, "", &n, &WIN), 0) << "an empty path is the current folder";
  EXPECT_EQ(path_native_name(&pool, "\\\\srv", &n, &WIN), ERR_INVALID_NAME);
  EXPECT_EQ(n.name.length, 0);
  std::string huge = "C:\\" + std::string(33000, 'a');
  EXPECT_EQ(path_native_name(&pool, huge.c_str(), &n, &WIN), ERR_INVALID_NAME);
  std::string largest = "C:\\" + std::string(32767 - 7, 'a');  // "\??\C:\" + name = 32767 units
  ASSERT_EQ(path_native_name(&pool, largest.c_str(), &n, &WIN), 0);
  EXPECT_EQ(n.unit_count, 32767u);
  EXPECT_GE(n.name.maximum_length, n.name.length);
}

TEST(PathNativeName, PosixIsTheFullPathsBytes) {
  ScratchPool pool;
  NativeName n;
  ASSERT_EQ(path_native_name(&pool, "x/../y\\z", &n, &PSX), 0);
  EXPECT_STREQ(n.name.bytes, "/home/u/y\\z");
  EXPECT_EQ(n.name.byte_count, strlen("/home/u/y\\z"));
  EXPECT_EQ(n.units, nullptr);
  // Names that are not valid UTF-8 travel unchanged.
  ASSERT_EQ(path_native_name(&pool, "/a/\xFF\xFE", &n, &PSX), 0);
  EXPECT_STREQ(n.name.bytes, "/a/\xFF\xFE");
}

// A path taken as it stands (already full and normal) must name what the
// normalised path names, in both syntaxes.
TEST(PathNativeName, PathsTakenAsTheyStandMatchTheirNormalForm) {
  const char* paths[] = {
      "/", "/a", "/a/b/.zuvo/0f/0fab", "/a//b", "/a/./b", "/a/../b", "/a/b/", "/a/.x/..y",
      "/a/b.", "/a/b ", "C:\\", "C:\\a", "C:\\a\\.zuvo\\0f\\0fab", "C:\\a\\\\b",
      "C:\\a\\..\\b", "C:\\a\\.\\b", "C:\\a\\", "C:\\a.", "C:\\a \\b", "C:\\a/b",
      "C:\\a:s", "C:\\...\\b", "C:\\.x\\..y",
  };
  for (const PathSyntax* syntax : {&PSX, &WIN}) {
    for (const char* path : paths) {
      ScratchPool pool;
      NativeName direct, normal;
      const int rc = path_native_name(&pool, path, &direct, syntax);
      const char* full = path_full(&pool, nullptr, path, syntax);
      ASSERT_EQ(rc, path_native_name(&pool, full, &normal, syntax)) << path;
      if (rc != 0) continue;
      if (syntax == &PSX) {
        EXPECT_STREQ(direct.name.bytes, normal.name.bytes) << path;
      } else {
        EXPECT_EQ(utf8_of(direct.units, direct.unit_count),
                  utf8_of(normal.units, normal.unit_count)) << path;
      }
    }
  }
}

TEST(PathCurrentFolder, IsAbsoluteInTheBuildsSyntax) {
  ScratchPool pool;
  const char* cwd = current_folder(&pool);
  ASSERT_NE(cwd, nullptr);
  bool absolute = false;
  ASSERT_EQ(path_split(cwd, nullptr, &absolute, nullptr), 0);
  EXPECT_TRUE(absolute);
  EXPECT_EQ(text_of(path_full(&pool, nullptr, ".")), text_of(path_normalize(&pool, cwd)));
}

}  // namespace
