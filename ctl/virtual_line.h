// A virtual serial cable for the demo and the tests: two pty pairs whose
// masters a relay thread joins, so that both ends are ordinary tty devices
// that programs open by path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

// Two pty pairs joined master to master: a null-modem cable whose two ends
// are ordinary tty devices.
class VirtualLine {
public:
  bool Create(std::string& error) {
    for (int i = 0; i < 2; ++i) {
      int slave = -1;
      char name[256];
      if (openpty(&master_[i], &slave, name, nullptr, nullptr) != 0) {
        error = std::string("cannot create a pty: ") + std::strerror(errno);
        return false;
      }
      termios t{};
      tcgetattr(slave, &t);
      cfmakeraw(&t);
      tcsetattr(slave, TCSANOW, &t);
      slaves_[i] = slave; // kept open so that the masters never see a hang-up
      // Programs started later must not hold these.
      fcntl(master_[i], F_SETFD, FD_CLOEXEC);
      fcntl(slave, F_SETFD, FD_CLOEXEC);
      end_[i] = name;
    }
    relay_ = std::thread([this] { relay(); });
    return true;
  }
  ~VirtualLine() {
    stop_ = true;
    if (relay_.joinable())
      relay_.join();
    for (int fd : {master_[0], master_[1], slaves_[0], slaves_[1]})
      if (fd >= 0)
        close(fd);
  }
  const std::string& End(int i) const { return end_[i]; }

private:
  void relay() {
    char buf[4096];
    while (!stop_) {
      pollfd p[2] = {{master_[0], POLLIN, 0}, {master_[1], POLLIN, 0}};
      if (poll(p, 2, 100) <= 0)
        continue;
      for (int i = 0; i < 2; ++i) {
        if (!(p[i].revents & POLLIN))
          continue;
        const ssize_t n = read(master_[i], buf, sizeof buf);
        for (ssize_t done = 0; n > 0 && done < n;) {
          const ssize_t k = write(master_[1 - i], buf + done, static_cast<std::size_t>(n - done));
          if (k <= 0)
            break;
          done += k;
        }
      }
    }
  }

  int master_[2] = {-1, -1};
  int slaves_[2] = {-1, -1};
  std::string end_[2];
  std::atomic<bool> stop_{false};
  std::thread relay_;
};
