#include "platform/signals.h"

#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <mutex>

namespace platform {

namespace {

int pipeFds[2] = {-1, -1};

void onSignal(int) {
  const char c = 1;
  [[maybe_unused]] const ssize_t n = write(pipeFds[0], &c, 1); // async-signal-safe
}

} // namespace

int TerminationSignalFd() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pipeFds) != 0)
      return;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
  });
  return pipeFds[1];
}

void ConsumeTerminationSignals(int fd) {
  char buf[16];
  [[maybe_unused]] const ssize_t n = read(fd, buf, sizeof buf);
}

} // namespace platform
