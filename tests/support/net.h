// Loopback helpers for tests of servers: a free TCP port, a plain HTTP GET,
// and waiting until a port accepts connections.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

inline int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t n = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  return ntohs(a.sin_port);
}

inline bool ConnectLoopback(int port, int& fd) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
