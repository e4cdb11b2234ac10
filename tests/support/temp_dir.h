// A directory of the test's own from mkdtemp: a name nobody can have made
// beforehand, removed with everything in it at the end.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

class TempDir {
public:
  explicit TempDir(const std::string& prefix = "vexil-test") {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
#ifdef _WIN32
    // (No mkdtemp: a unique name, then a folder that must be new.)
    if (_mktemp_s(pattern.data(), pattern.size() + 1) != 0 ||
        !std::filesystem::create_directory(pattern))
      ADD_FAILURE() << "no new folder " << pattern;
#else
    if (!mkdtemp(pattern.data()))
      ADD_FAILURE() << "mkdtemp failed for " << pattern;
#endif
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const {
    return path_;
  }
  std::filesystem::path operator/(const std::string& name) const {
    return path_ / name;
  }

private:
  std::filesystem::path path_;
};
