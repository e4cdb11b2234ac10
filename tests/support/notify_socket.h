// A service manager's notification socket, for a program started with
// NOTIFY_SOCKET pointing at it: what it says (READY=1, STATUS=...), one
// datagram at a time.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

class NotifySocket {
public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
  }
  ~NotifySocket() {
    close(fd_);
    unlink(path_.c_str());
  }
  NotifySocket(const NotifySocket&) = delete;
  NotifySocket& operator=(const NotifySocket&) = delete;
  // "NOTIFY_SOCKET=..." for the program's environment.
  std::string Env() const { return "NOTIFY_SOCKET=" + path_; }
  // The next message, "" when none comes within timeoutMs.
  std::string Next(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    char buf[1024];
    const ssize_t n = poll(&p, 1, timeoutMs) == 1 ? recv(fd_, buf, sizeof buf, 0) : -1;
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }

private:
  std::string path_;
  int fd_ = -1;
};
