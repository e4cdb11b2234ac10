// A pty pair with its slave linked as COM<n> in a port directory of its own,
// which VEXIL_PORT_DIR points at for the life of the object.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

class PtyPair {
public:
  explicit PtyPair(int comNumber = 2) {
    const char* old = std::getenv("VEXIL_PORT_DIR");
    if (old)
      savedDir_ = old;
    dir_ = std::filesystem::temp_directory_path() /
           ("vexil-ports-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
    std::filesystem::create_directories(dir_);
    setenv("VEXIL_PORT_DIR", dir_.c_str(), 1);
    int slave = -1;
    char name[256];
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0)
      ADD_FAILURE() << "openpty failed";
    slavePath_ = name;
    // Raw on the slave too, so that no byte is translated on the way.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    close(slave);
    Link(comNumber);
  }
  ~PtyPair() {
    CloseMaster();
    std::filesystem::remove_all(dir_);
    if (savedDir_)
      setenv("VEXIL_PORT_DIR", savedDir_->c_str(), 1);
    else
      unsetenv("VEXIL_PORT_DIR");
  }
  void Link(int comNumber) {
    std::filesystem::create_symlink(slavePath_, dir_ / ("COM" + std::to_string(comNumber)));
  }
  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }
  void CloseMaster() {
    if (master_ >= 0)
      close(master_);
    master_ = -1;
  }
  // Reads from the master until n bytes came or timeoutMs passed.
  std::string ReadMaster(std::size_t n, int timeoutMs = 3000);

private:
  static int& counter() {
    static int n = 0;
    return n;
  }
  int master_ = -1;
  std::string slavePath_;
  std::filesystem::path dir_;
  std::optional<std::string> savedDir_;
};

#include <poll.h>

inline std::string PtyPair::ReadMaster(std::size_t n, int timeoutMs) {
  std::string got;
  char buf[4096];
  while (got.size() < n) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
      break;
    const ssize_t k = read(master_, buf, std::min(sizeof buf, n - got.size()));
    if (k <= 0)
      break;
    got.append(buf, static_cast<std::size_t>(k));
  }
  return got;
}
