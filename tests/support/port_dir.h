// A port directory of the test's own, with entries named as given, that
// VEXIL_PORT_DIR points at for the life of the object.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

class PortDir {
public:
  explicit PortDir(std::initializer_list<const char*> entries) {
    const char* old = std::getenv("VEXIL_PORT_DIR");
    saved_ = old ? old : "";
    dir_ = std::filesystem::temp_directory_path() /
           ("vexil-portdir-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    for (const char* e : entries)
      std::ofstream(dir_ / e) << "";
    setenv("VEXIL_PORT_DIR", dir_.c_str(), 1);
  }
  ~PortDir() {
    std::filesystem::remove_all(dir_);
    if (saved_.empty())
      unsetenv("VEXIL_PORT_DIR");
    else
      setenv("VEXIL_PORT_DIR", saved_.c_str(), 1);
  }

private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  std::filesystem::path dir_;
  std::string saved_;
};
