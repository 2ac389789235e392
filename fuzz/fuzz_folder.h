// A scratch folder for the targets that need files: made once per process
// under /dev/shm (or /tmp), removed at exit.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

inline const std::string& fuzz_folder() {
  static const std::string folder = [] {
    std::string templ = std::filesystem::is_directory("/dev/shm") ? "/dev/shm/zuvo-fuzz-XXXXXX"
                                                                  : "/tmp/zuvo-fuzz-XXXXXX";
    if (!mkdtemp(templ.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    static std::string keep = templ;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(keep, ec);
    });
    return templ;
  }();
  return folder;
}
