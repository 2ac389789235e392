// path_split, path_normalize, path_normalize_into and path_full on arbitrary
// paths, in the Windows and the POSIX syntax, with current folders taken from
// the input. Checks: the split points are consistent with the text,
// normalising twice changes nothing, the length returned is the length
// written (or an upper bound when the buffer is too small) and nothing goes
// past the capacity, and a full path is absolute and already normal.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/err.h"
#include "base/path.h"
#include "base/text.h"
#include "fuzz/fuzz_input.h"

namespace {

std::string g_current;        // the current folder the syntaxes report
std::string g_drive_current;  // the current folder of drive D

char* fuzz_current(Allocator* pool) {
  return g_current.empty() ? nullptr : pool_copy_text(pool, g_current.c_str());
}

char* fuzz_drive_current(Allocator* pool, char letter) {
  if ((letter != 'd' && letter != 'D') || g_drive_current.empty()) return nullptr;
  return pool_copy_text(pool, g_drive_current.c_str());
}

const PathSyntax WINDOWS = {'\\', true, fuzz_current, fuzz_drive_current};
const PathSyntax POSIX = {'/', false, fuzz_current, fuzz_drive_current};

const char* const WINDOWS_CURRENT[] = {"C:\\work\\dir", "\\\\server\\share\\x", "\\\\=\\dev\\y",
                                       "D:\\"};
const char* const POSIX_CURRENT[] = {"/work/dir", "/", "//x/./y", "/a\\b"};

bool is_sep(const PathSyntax* s, char c) { return c == '/' || (s->windows_forms && c == '\\'); }

// The next zero-terminated piece of the input.
std::string next_text(FuzzInput& in) {
  std::string s;
  while (in.size) {
    const char c = static_cast<char>(in.byte());
    if (c == 0) break;
    s += c;
  }
  return s;
}

void check_split(const std::string& path, const PathSyntax* s) {
  size_t root = 99;
  size_t name = 99;
  bool absolute = true;
  const int rc = path_split(path.c_str(), &root, &absolute, &name, s);
  FUZZ_CHECK(rc == 0 || rc == ERR_INVALID_NAME, "split answers 0 or an invalid name");
  if (path.empty()) FUZZ_CHECK(rc == ERR_INVALID_NAME, "an empty path is invalid");
  if (rc) {
    FUZZ_CHECK(root == 0 && name == 0 && !absolute, "outputs cleared on failure");
    return;
  }
  FUZZ_CHECK(root <= name && name <= path.size(), "root <= name start <= length");
  FUZZ_CHECK(name == root || is_sep(s, path[name - 1]), "a name starts after a separator");
  for (size_t i = name; i < path.size(); i++) {
    FUZZ_CHECK(!is_sep(s, path[i]), "no separator in the last name");
  }
  if (root > 0 || absolute) FUZZ_CHECK(!path.empty(), "a root needs text");
  if (!s->windows_forms) FUZZ_CHECK(root == 0 && absolute == (path[0] == '/'), "POSIX roots");
}

// path_normalize_into at `capacity`, into a guarded buffer, against the
// normal form `normal`.
void check_normalize_into(const std::string& path, const std::string& normal, size_t capacity,
                          const PathSyntax* s) {
  size_t root = 0;
  bool absolute = false;
  if (path_split(path.c_str(), &root, &absolute, nullptr, s) != 0) return;
  constexpr size_t GUARD = 16;
  std::vector<char> buffer(capacity + GUARD, '\x5A');
  const size_t length =
      path_normalize_into(path.c_str(), root, absolute, buffer.data(), capacity, s);
  for (size_t i = capacity; i < buffer.size(); i++) {
    FUZZ_CHECK(buffer[i] == '\x5A', "nothing written past the capacity");
  }
  if (length <= capacity) {
    FUZZ_CHECK(length == normal.size() && normal.compare(0, length, buffer.data(), length) == 0,
               "the length returned is the length written");
  } else {
    FUZZ_CHECK(length >= normal.size(), "a length past the capacity is an upper bound");
    std::vector<char> again(length + GUARD, '\x5A');
    const size_t exact = path_normalize_into(path.c_str(), root, absolute, again.data(), length, s);
    FUZZ_CHECK(exact == normal.size() && normal.compare(0, exact, again.data(), exact) == 0,
               "asking again with the bound gives the exact form");
  }
}

void check_syntax(const std::string& path, const std::string& base, bool with_base,
                  size_t capacity, const PathSyntax* s) {
  check_split(path, s);
  ScratchPool pool;
  const char* normal = path_normalize(&pool, path.c_str(), s);
  if (normal) {
    const std::string n1 = normal;
    const char* twice = path_normalize(&pool, n1.c_str(), s);
    FUZZ_CHECK(twice && n1 == twice, "normalising twice changes nothing");
    check_split(n1, s);
    check_normalize_into(path, n1, capacity, s);
    check_normalize_into(path, n1, n1.size(), s);
  } else {
    FUZZ_CHECK(!path.empty(), "an empty path normalises to '.'");
  }

  const char* full = path_full(&pool, with_base ? base.c_str() : nullptr, path.c_str(), s);
  if (!full) return;
  const std::string f = full;
  bool absolute = false;
  FUZZ_CHECK(path_split(f.c_str(), nullptr, &absolute, nullptr, s) == 0 && absolute,
             "a full path is absolute");
  const char* refull = path_normalize(&pool, f.c_str(), s);
  FUZZ_CHECK(refull && f == refull, "a full path is normal");
  const char* again = path_full(&pool, nullptr, f.c_str(), s);
  FUZZ_CHECK(again && f == again, "a full path is its own full path");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in{data, size};
  const uint8_t mode = in.byte();
  const size_t capacity = in.byte();
  const std::string path = next_text(in);
  const std::string base = next_text(in);
  const std::string current = next_text(in);
  g_drive_current = next_text(in);
  const bool with_base = mode & 1;
  const size_t pick = (mode >> 1) & 7;

  g_current = pick < 4 ? WINDOWS_CURRENT[pick] : current;
  check_syntax(path, base, with_base, capacity, &WINDOWS);
  g_current = pick < 4 ? POSIX_CURRENT[pick] : current;
  check_syntax(path, base, with_base, capacity, &POSIX);
  return 0;
}
