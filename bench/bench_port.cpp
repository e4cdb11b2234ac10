// Throughput from one serial port to another over ptys, against a raw
// read/write loop over the same ptys. Two pty pairs are joined master to
// master by a relay thread, so the sending port and the receiving port each
// sit on a slave, as they would on two ends of a cable.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_main.h"
#include "comm/Tcomm32.h"

namespace {

constexpr std::size_t TRANSFER = 1 << 20;

struct Line {
  int master[2] = {-1, -1};
  std::string slave[2];
  std::atomic<bool> stop{false};
  std::thread relay;
  std::filesystem::path dir;

  Line() {
    for (int i = 0; i < 2; ++i) {
      int s;
      char name[256];
      if (openpty(&master[i], &s, name, nullptr, nullptr) != 0)
        std::abort();
      termios t{};
      tcgetattr(s, &t);
      cfmakeraw(&t);
      tcsetattr(s, TCSANOW, &t);
      close(s);
      slave[i] = name;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "vexil-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
      std::abort();
    dir = pattern;
    std::filesystem::create_symlink(slave[0], dir / "COM1");
    std::filesystem::create_symlink(slave[1], dir / "COM2");
    setenv("VEXIL_PORT_DIR", dir.c_str(), 1);
    // Whatever the first slave sends goes to the second.
    relay = std::thread([this] {
      std::vector<char> buf(65536);
      while (!stop) {
        pollfd p{master[0], POLLIN, 0};
        if (poll(&p, 1, 50) <= 0)
          continue;
        const ssize_t n = read(master[0], buf.data(), buf.size());
        for (ssize_t done = 0; n > 0 && done < n;) {
          const ssize_t k = write(master[1], buf.data() + done, static_cast<std::size_t>(n - done));
          if (k > 0)
            done += k;
          else
            poll(nullptr, 0, 1);
        }
      }
    });
  }
  ~Line() {
    stop = true;
    relay.join();
    close(master[0]);
    close(master[1]);
    std::filesystem::remove_all(dir);
  }
};

void BM_CommToComm(benchmark::State& state) {
  Line line;
  LumaroComm32::TComm32 tx, rx;
  tx.fSetPortNo(1);
  rx.fSetPortNo(2);
  tx.OutQueue->fSetBufSize(1 << 16);
  // Room for a whole transfer: the port drops what its queue cannot take.
  rx.InQueue->fSetBufSize(TRANSFER + 1);
  // The receiving side sleeps until its port says bytes arrived: no spinning
  // that would take a core from the engine under test.
  platform::TEvent arrived(false);
  rx.OnCommNotify = [&arrived](TObject*, int type) {
    if (type & platform::EV_RXCHAR)
      arrived.Set();
  };
  tx.Open();
  rx.Open();
  std::vector<char> data(TRANSFER, 'v'), got(65536);
  for (auto _ : state) {
    std::size_t sent = 0, received = 0;
    auto lastProgress = std::chrono::steady_clock::now();
    while (received < TRANSFER) {
      if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(2)) {
        state.SkipWithError("no bytes for 2 s");
        return;
      }
      if (sent < TRANSFER)
        sent += static_cast<std::size_t>(tx.Write(
            data.data() + sent, static_cast<int>(std::min<std::size_t>(TRANSFER - sent, 32768))));
      const int n = rx.Read(got.data(), static_cast<int>(got.size()));
      received += static_cast<std::size_t>(n);
      if (n == 0)
        platform::WaitForAny({&arrived}, 10); // or the sender's queue has room again
      else
        lastProgress = std::chrono::steady_clock::now();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * TRANSFER));
}

void BM_RawPty(benchmark::State& state) {
  Line line;
  const int tx = open(line.slave[0].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  const int rx = open(line.slave[1].c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  std::vector<char> data(TRANSFER, 'v'), got(65536);
  for (auto _ : state) {
    std::size_t sent = 0, received = 0;
    while (received < TRANSFER) {
      pollfd p[2] = {{tx, static_cast<short>(sent < TRANSFER ? POLLOUT : 0), 0}, {rx, POLLIN, 0}};
      poll(p, 2, 100);
      if (p[0].revents & POLLOUT) {
        const ssize_t k =
            write(tx, data.data() + sent, std::min<std::size_t>(TRANSFER - sent, 256));
        if (k > 0)
          sent += static_cast<std::size_t>(k);
      }
      if (p[1].revents & POLLIN) {
        const ssize_t k = read(rx, got.data(), got.size());
        if (k > 0)
          received += static_cast<std::size_t>(k);
      }
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * TRANSFER));
  close(tx);
  close(rx);
}

} // namespace

BENCHMARK(BM_CommToComm)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawPty)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  return RunWithRatios(argc, argv, {{"BM_CommToComm", "BM_RawPty"}});
}
