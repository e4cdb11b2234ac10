// A pty pair with its slave linked as COM<n> in a port directory of its own
// (from mkdtemp), which VEXIL_PORT_DIR points at for the life of the object.
// A second pair can join the same directory.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

class PtyPair {
public:
  explicit PtyPair(int comNumber = 2) : owner_(true) {
    if (const char* old = std::getenv("VEXIL_PORT_DIR"))
      savedDir_ = old;
    std::string pattern = (std::filesystem::temp_directory_path() / "vexil-ports-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
      ADD_FAILURE() << "mkdtemp failed";
    dir_ = pattern;
    setenv("VEXIL_PORT_DIR", dir_.c_str(), 1);
    openPty();
    Link(comNumber);
  }
  // Another pty linked as COM<n> in the directory of first.
  PtyPair(int comNumber, const PtyPair& first) : dir_(first.dir_), owner_(false) {
    openPty();
    Link(comNumber);
  }
  ~PtyPair() {
    CloseMaster();
    if (!owner_)
      return;
    std::filesystem::remove_all(dir_);
    if (savedDir_)
      setenv("VEXIL_PORT_DIR", savedDir_->c_str(), 1);
    else
      unsetenv("VEXIL_PORT_DIR");
  }
  // Links COM<n> to this pair's slave, in place of whatever was there.
  void Link(int comNumber) {
    const auto link = dir_ / ("COM" + std::to_string(comNumber));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(slavePath_, link);
    links_.push_back(comNumber);
  }
  // The adapter pulled and plugged in again: the old pty hangs up, a new one
  // takes its COM names (as udev re-points its links).
  void Replug() {
    CloseMaster();
    openPty();
    const auto links = links_;
    links_.clear();
    for (int n : links)
      Link(n);
  }
  int master() const { return master_; }
  const std::string& slavePath() const { return slavePath_; }
  const std::filesystem::path& dir() const { return dir_; }
  void CloseMaster() {
    if (master_ >= 0)
      close(master_);
    master_ = -1;
  }
  // Whether a program has taken the line: its lock, or its exclusive claim,
  // keeps the test from having the slave.
  bool Taken() const {
    const int fd = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
      return true;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    close(fd);
    return locked;
  }
  // Reads from the master until n bytes came or timeoutMs passed.
  std::string ReadMaster(std::size_t n, int timeoutMs = 3000) {
    return ReadUpTo(master_, n, timeoutMs);
  }
  // Up to n bytes from fd, waiting at most timeoutMs for each piece.
  static std::string ReadUpTo(int fd, std::size_t n, int timeoutMs) {
    std::string got;
    char buf[4096];
    while (got.size() < n) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0)
        break;
      const ssize_t k = read(fd, buf, std::min(sizeof buf, n - got.size()));
      if (k <= 0)
        break;
      got.append(buf, static_cast<std::size_t>(k));
    }
    return got;
  }

private:
  void openPty() {
    int slave = -1;
    char name[256];
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0)
      ADD_FAILURE() << "openpty failed";
    slavePath_ = name;
    // Programs the test starts must not hold the master: closing it here is
    // what hangs the line up.
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    // Raw on the slave too, so that no byte is translated on the way.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    close(slave);
  }

  int master_ = -1;
  std::string slavePath_;
  std::filesystem::path dir_;
  bool owner_;
  std::vector<int> links_;
  std::optional<std::string> savedDir_;
};
