// One contender of the relay benchmark (bench/engine_relay.py): sends a
// number of bytes in 256-byte writes on one serial line and reads them from
// another, the two joined by the relay; prints what the transfer cost as one
// line of JSON. Modes:
//   relay_peer engine <tx tty> <rx tty> <bytes>   the port engine, a port per line
//   relay_peer raw <tx tty> <rx tty> <bytes>      one thread, poll/write/read
//   relay_peer relay <fd a> <fd b>                copies a to b until a hangs up
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "comm/Tcomm32.h"

namespace {

constexpr std::size_t PIECE = 256;

struct Cost {
  std::chrono::steady_clock::time_point wall;
  rusage use{};
  static Cost Now() {
    Cost c;
    c.wall = std::chrono::steady_clock::now();
    getrusage(RUSAGE_SELF, &c.use);
    return c;
  }
};

double seconds(const timeval& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

void report(std::size_t bytes, const Cost& a, const Cost& b) {
  const double cpu = seconds(b.use.ru_utime) + seconds(b.use.ru_stime) - seconds(a.use.ru_utime) -
                     seconds(a.use.ru_stime);
  std::printf("{\"bytes\": %zu, \"seconds\": %.6f, \"cpu\": %.6f, \"csw\": %ld}\n", bytes,
              std::chrono::duration<double>(b.wall - a.wall).count(), cpu,
              (b.use.ru_nvcsw + b.use.ru_nivcsw) - (a.use.ru_nvcsw + a.use.ru_nivcsw));
}

int engine(const char* txName, const char* rxName, std::size_t total) {
  LumaroComm32::TComm32 tx, rx;
  tx.fSetDeviceName(txName);
  rx.fSetDeviceName(rxName);
  tx.OutQueue->fSetBufSize(1 << 16);
  rx.InQueue->fSetBufSize(1 << 20);
  // The caller sleeps until its port says bytes arrived, woken only when it
  // sleeps, as the engine's own threads are.
  platform::TWakeup arrived;
  rx.OnCommNotify = [&arrived](TObject*, int type) {
    if (type & platform::EV_RXCHAR)
      arrived.Wake();
  };
  tx.Open();
  rx.Open();
  std::vector<char> data(PIECE, 'v'), got(1 << 16);
  std::size_t sent = 0, received = 0;
  const Cost start = Cost::Now();
  while (received < total) {
    bool progress = false;
    while (sent < total) {
      const int n = tx.Write(data.data(), static_cast<int>(std::min(PIECE, total - sent)));
      if (n <= 0)
        break;
      sent += static_cast<std::size_t>(n);
      progress = true;
    }
    const int n = rx.Read(got.data(), static_cast<int>(got.size()));
    received += static_cast<std::size_t>(std::max(n, 0));
    if (n <= 0 && !progress && arrived.Sleep(2000) == platform::WAIT_TIMEOUT) {
      std::fprintf(stderr, "relay_peer: no bytes for 2 s (%zu of %zu)\n", received, total);
      return 1;
    }
  }
  report(total, start, Cost::Now());
  return 0;
}

int openRaw(const char* name) {
  const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  if (fd < 0 || tcgetattr(fd, &t) != 0)
    return -1;
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  return fd;
}

int raw(const char* txName, const char* rxName, std::size_t total) {
  const int tx = openRaw(txName), rx = openRaw(rxName);
  if (tx < 0 || rx < 0)
    return 1;
  std::vector<char> data(PIECE, 'v'), got(1 << 16);
  std::size_t sent = 0, received = 0;
  const Cost start = Cost::Now();
  while (received < total) {
    pollfd p[2] = {{tx, static_cast<short>(sent < total ? POLLOUT : 0), 0}, {rx, POLLIN, 0}};
    if (poll(p, 2, 2000) == 0) {
      std::fprintf(stderr, "relay_peer: no bytes for 2 s\n");
      return 1;
    }
    if (p[0].revents & POLLOUT) {
      const ssize_t k = write(tx, data.data(), std::min(PIECE, total - sent));
      sent += static_cast<std::size_t>(std::max<ssize_t>(k, 0));
    }
    if (p[1].revents & POLLIN) {
      const ssize_t k = read(rx, got.data(), got.size());
      received += static_cast<std::size_t>(std::max<ssize_t>(k, 0));
    }
  }
  report(total, start, Cost::Now());
  close(tx);
  close(rx);
  return 0;
}

int relay(int from, int to) {
  std::vector<char> buf(1 << 16);
  for (;;) {
    pollfd p{from, POLLIN, 0};
    if (poll(&p, 1, -1) < 0)
      continue;
    const ssize_t n = read(from, buf.data(), buf.size());
    if (n < 0 && errno == EAGAIN)
      continue;
    if (n <= 0)
      return 0; // EIO: every slave closed, or the harness ended it
    for (ssize_t done = 0; done < n;) {
      const ssize_t k = write(to, buf.data() + done, static_cast<std::size_t>(n - done));
      if (k > 0) {
        done += k;
      } else {
        pollfd q{to, POLLOUT, 0};
        poll(&q, 1, 100);
      }
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "relay" && argc == 4)
    return relay(std::atoi(argv[2]), std::atoi(argv[3]));
  if ((mode == "engine" || mode == "raw") && argc == 5) {
    const std::size_t total = std::strtoull(argv[4], nullptr, 10);
    return mode == "engine" ? engine(argv[2], argv[3], total) : raw(argv[2], argv[3], total);
  }
  std::fprintf(stderr, "usage: relay_peer engine|raw TX RX BYTES | relay FD_A FD_B\n");
  return 2;
}
