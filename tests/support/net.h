// Loopback helpers for tests of servers: a free TCP port, a plain HTTP GET,
// and waiting until a port accepts connections.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>

inline sockaddr_in6 Ipv6Address(const in6_addr& host, int port) {
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = host;
  a.sin6_port = htons(static_cast<std::uint16_t>(port));
  return a;
}

// A port for a server the test starts, free on every address right now and
// held for this test program alone. Ports the kernel picks for bind(0) and
// for outgoing connections come from the ephemeral range (32768 and up): a
// port taken from there and handed to a server a moment later can be given
// to someone else in between. These come from below that range, at random,
// and each is claimed with a lock file that this process holds until it
// ends, so that test programs that ctest runs side by side never pick the
// same one (servers that are not ours, ser2net or Prometheus, cannot be
// handed a listener, so the claim is made here instead).
inline int FreePort() {
  static std::mutex mutex;
  static std::set<int> given;
  static std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(getpid()));
  std::lock_guard lock(mutex);
  const std::string claims = (std::filesystem::temp_directory_path() / "vexil-test-ports").string();
  if (mkdir(claims.c_str(), 01777) == 0)
    chmod(claims.c_str(), 01777); // (past the umask: every user's tests claim here)
  for (;;) {
    const int port = std::uniform_int_distribution<int>(20000, 32000)(pick);
    if (given.count(port))
      continue;
    const std::string claim = claims + "/" + std::to_string(port);
    const int held = open(claim.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (held < 0)
      continue;
    if (flock(held, LOCK_EX | LOCK_NB) != 0) {
      close(held); // another test program's
      continue;
    }
    const int s = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int no = 0;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    sockaddr_in6 a = Ipv6Address(in6addr_any, port);
    const bool free = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    if (!free) {
      close(held);
      continue;
    }
    given.insert(port); // the claim stays open until this process ends
    return port;
  }
}

// A TCP socket listening on 127.0.0.1 at a port the kernel chose (put in
// port), with room for backlog connections it has not accepted.
inline int ListenLoopback(int backlog, int& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return -1;
  }
  socklen_t n = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  port = ntohs(a.sin_port);
  return fd;
}

// accept() on a listening socket, -1 when no one connects within timeoutMs.
inline int AcceptWithin(int server, int timeoutMs) {
  pollfd p{server, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1)
    return -1;
  return accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
}

// Time limits on a blocking socket's sends, connect and receives, so that a
// server that hangs fails the test instead of holding it to ctest's limit.
inline void LimitSocketWaits(int fd, int seconds = 30) {
  const timeval limit{seconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

inline bool ConnectLoopback(int port, int& fd) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  LimitSocketWaits(fd);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
    return true;
  close(fd);
  fd = -1;
  return false;
}

// True once 127.0.0.1:port accepts a connection (within timeoutMs).
inline bool WaitForPort(int port, int timeoutMs = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    int fd = -1;
    if (ConnectLoopback(port, fd)) {
      close(fd);
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

// The whole answer (status line, headers, body) to one HTTP/1.0 request on
// 127.0.0.1:port (the server closes after it), "" when nothing answers.
inline std::string HttpExchange(int port, const std::string& method, const std::string& path,
                                const std::string& headers = "") {
  int s = -1;
  std::string got;
  if (ConnectLoopback(port, s)) {
    const std::string request =
        method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
    if (write(s, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buf[8192];
      for (ssize_t k; (k = read(s, buf, sizeof buf)) > 0;)
        got.append(buf, static_cast<std::size_t>(k));
    }
    close(s);
  }
  return got;
}

// The body of GET path on 127.0.0.1:port, "" when nothing answers.
inline std::string HttpGet(int port, const std::string& path) {
  const std::string got = HttpExchange(port, "GET", path);
  const auto body = got.find("\r\n\r\n");
  return body == std::string::npos ? "" : got.substr(body + 4);
}
