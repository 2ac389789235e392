// Test helper: a fresh folder under the system temp folder, removed with
// everything in it when the helper goes out of scope. Also prepares the
// process for the file services once.
#pragma once

#include <filesystem>
#include <random>
#include <string>

#include "platform/platform.h"

struct TestFolder {
  std::string path;

  TestFolder() {
    os_process_setup();
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    std::random_device random;
    for (int attempt = 0; attempt < 100 && path.empty(); ++attempt) {
      const std::filesystem::path candidate = base / ("zuvo_test_" + std::to_string(random()));
      if (std::filesystem::create_directory(candidate, ec)) path = candidate.string();
    }
  }
  ~TestFolder() {
    if (path.empty()) return;
    std::error_code ec;
    // Undo read-only marks first so that everything can go.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(path, ec)) {
      std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                   std::filesystem::perm_options::add |
                                       std::filesystem::perm_options::nofollow,
                                   ec);
    }
    std::filesystem::remove_all(path, ec);
  }
  TestFolder(const TestFolder&) = delete;
  TestFolder& operator=(const TestFolder&) = delete;

  // The full path of `name` inside the folder.
  std::string at(const std::string& name) const { return path + test_separator() + name; }

  // The platform's path separator, as the program writes full paths.
  static const char* test_separator() { return OS_WINDOWS_NAMES ? "\\" : "/"; }
};

// Why a test that needs symbolic links is skipped on Windows: the MinGW C++
// library's std::filesystem cannot make them, and Wine answers no reparse
// point information (class 33) for them.
constexpr const char* TEST_NO_LINKS =
    "symbolic links: MinGW std::filesystem::create_symlink is unsupported and Wine has no "
    "reparse point information (class 33)";

// `path` with each '/' written as the platform's separator: what the program
// prints for a path the test composed with '/'.
inline std::string native_path(std::string path) {
  if (OS_WINDOWS_NAMES) {
    for (char& c : path) {
      if (c == '/') c = '\\';
    }
  }
  return path;
}
