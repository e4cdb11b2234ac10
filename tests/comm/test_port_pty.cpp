// The serial port on a real kernel tty: a pty pair whose slave is the port.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "comm/Tcommpkg.h"
#include "tests/support/notify_log.h"
#include "tests/support/port_reader.h"
#include "tests/support/pty_pair.h"
#include "tests/support/stream_check.h"
#include "tests/support/temp_dir.h"

using namespace LumaroComm32;
using namespace platform;

namespace {

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 31 + 7) & 0xFF);
  return s;
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class PortOnPty : public ::testing::Test {
protected:
  void SetUp() override {
    port.Dcb.BaudRate = 19200;
    port.OnCommNotify = [this](TObject*, int type) { log.Add(type); };
  }

  PtyPair pty;
  NotifyLog log;
  TComm32 port;
};

} // namespace

TEST_F(PortOnPty, OpensByComNameAndMovesBytesBothWays) {
  port.Open();
  ASSERT_TRUE(port.Active);
  const std::string in = pattern(3000);
  ASSERT_EQ(write(pty.master(), in.data(), in.size()), static_cast<ssize_t>(in.size()));
  EXPECT_EQ(ReadPort(port, in.size()), in);
  EXPECT_TRUE(log.WaitForBits(EV_RXCHAR));

  const std::string out = pattern(5000);
  EXPECT_EQ(port.Write(out.data(), static_cast<int>(out.size())), 5000);
  EXPECT_EQ(pty.ReadMaster(out.size()), out);
  EXPECT_TRUE(log.WaitForBits(EV_TXEMPTY)) << "the kernel queue drained";
}

// The real termios device with every WriteFile size noted on the way.
class WriteSizes : public SerialBackend {
public:
  WriteSizes() : previous_(SetSerialBackend(this)) {}
  ~WriteSizes() override { SetSerialBackend(previous_); }

  std::unique_ptr<SerialDevice> Open(const std::string& name, int* error) override {
    auto device = PosixSerialBackend().Open(name, error);
    return device ? std::make_unique<Recorder>(std::move(device), *this) : nullptr;
  }
  std::vector<int> Sizes() {
    std::lock_guard lock(mutex_);
    return sizes_;
  }

private:
  class Recorder : public SerialDevice {
  public:
    Recorder(std::unique_ptr<SerialDevice> inner, WriteSizes& owner)
        : inner_(std::move(inner)), owner_(owner) {}
    int Handle() const override { return inner_->Handle(); }
    bool SetCommMask(std::uint32_t m) override { return inner_->SetCommMask(m); }
    bool SetupComm(std::uint32_t i, std::uint32_t o) override { return inner_->SetupComm(i, o); }
    bool SetCommState(const DCB& d) override { return inner_->SetCommState(d); }
    CommWait WaitCommEvent(std::uint32_t& e, TEvent& s) override {
      return inner_->WaitCommEvent(e, s);
    }
    bool ClearCommError(std::uint32_t* e, std::uint32_t* q) override {
      return inner_->ClearCommError(e, q);
    }
    int ReadFile(void* d, int n) override { return inner_->ReadFile(d, n); }
    int WriteFile(const void* d, int n, TEvent& s) override {
      {
        std::lock_guard lock(owner_.mutex_);
        owner_.sizes_.push_back(n);
      }
      return inner_->WriteFile(d, n, s);
    }
    bool GetCommModemStatus(std::uint32_t* s) override { return inner_->GetCommModemStatus(s); }
    bool PurgeComm(std::uint32_t f) override { return inner_->PurgeComm(f); }
    bool EscapeCommFunction(std::uint32_t f) override { return inner_->EscapeCommFunction(f); }

  private:
    std::unique_ptr<SerialDevice> inner_;
    WriteSizes& owner_;
  };

  SerialBackend* previous_;
  std::mutex mutex_;
  std::vector<int> sizes_;
};

TEST_F(PortOnPty, WriterHandsTheKernelChunksOf256Bytes) {
  WriteSizes sizes;
  port.Open();
  const std::string out = pattern(1000);
  port.Write(out.data(), 1000);
  EXPECT_EQ(pty.ReadMaster(out.size()), out);
  EXPECT_EQ(sizes.Sizes(), (std::vector<int>{256, 256, 256, 232}));
}

TEST_F(PortOnPty, LargeTransferWhileTheFarEndReadsSlowly) {
  // More than the pty buffer holds: the writer has to wait for room.
  port.OutQueue->fSetBufSize(1 << 18);
  port.Open();
  const std::string out = pattern(200000);
  ASSERT_EQ(port.Write(out.data(), static_cast<int>(out.size())), 200000);
  std::string got;
  while (got.size() < out.size()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::string part = pty.ReadMaster(std::min<std::size_t>(8192, out.size() - got.size()));
    if (part.empty())
      break;
    got += part;
  }
  EXPECT_EQ(got.size(), out.size());
  EXPECT_TRUE(got == out);
}

TEST_F(PortOnPty, MissingAndBusyDevicesCannotBeOpened) {
  port.fSetPortNo(5);
  try {
    port.Open();
    FAIL() << "opened a port that does not exist";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecOpenPort);
  }
  EXPECT_EQ(port.LastOpenError, ENOENT);
  EXPECT_EQ(DescribeOpenError(port.LastOpenError), "no such device");

  port.fSetPortNo(2);
  port.Open();
  TComm32 second;
  try {
    second.Open();
    FAIL() << "opened a port that is in use";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecOpenPort);
  }
  EXPECT_EQ(second.LastOpenError, EBUSY);
  port.Close();
  second.Open();
  EXPECT_TRUE(second.Active) << "free again once closed";
}

// Root passes TIOCEXCL: a tty another program claimed must still count as
// taken, and closing our side must leave that claim alone. For anyone else
// the kernel refuses the open itself, and the port's own check of the claim
// is never reached: the case means something only as root (as CI runs).
TEST_F(PortOnPty, AnotherProgramsClaimIsNeitherPassedNorErased) {
  if (geteuid() != 0)
    GTEST_SKIP() << "the port's check of another program's claim matters only for root";
  const int other = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(other, 0);
  ASSERT_EQ(ioctl(other, TIOCEXCL), 0);
  try {
    port.Open();
    FAIL() << "opened a tty that another program claimed";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecOpenPort);
  }
  EXPECT_EQ(port.LastOpenError, EBUSY);
  EXPECT_EQ(DescribeOpenError(port.LastOpenError), "in use by another program");
  port.Close();
  int held = 0;
  ASSERT_EQ(ioctl(other, TIOCGEXCL, &held), 0);
  EXPECT_EQ(held, 1) << "the other program's claim is still there";
  ASSERT_EQ(ioctl(other, TIOCNXCL), 0);
  close(other);

  port.Open();
  EXPECT_TRUE(port.Active) << "free once the claim is given up";
  port.Close();
  const int after = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(after, 0);
  ASSERT_EQ(ioctl(after, TIOCGEXCL, &held), 0);
  EXPECT_EQ(held, 0) << "our own claim goes with our close";
  close(after);
}

// A name longer than DeviceName holds (the stable /dev/serial/by-id/ names)
// opens whole; the field keeps what fits.
TEST_F(PortOnPty, LongDeviceNamesOpenWhole) {
  TempDir dir("vexil-by-id");
  const std::string name = "usb-FTDI_FT232R_USB_UART_" + std::string(150, 'B') + "-if00-port0";
  const auto link = dir / name;
  std::filesystem::create_symlink(pty.slavePath(), link);
  port.fSetDeviceName(link.string());
  EXPECT_EQ(port.fGetDeviceName(), link.string());
  EXPECT_EQ(std::string(port.DeviceName), link.string().substr(0, sizeof port.DeviceName - 1));
  port.Open();
  write(pty.master(), "x", 1);
  EXPECT_EQ(ReadPort(port, 1), "x");
  port.Close();
  // The field written by hand wins over the whole name behind it.
  std::snprintf(port.DeviceName, sizeof port.DeviceName, "%s", "/nonexistent");
  EXPECT_EQ(port.fGetDeviceName(), "/nonexistent");
  port.fSetPortNo(2);
  EXPECT_EQ(port.fGetDeviceName(), "\\\\.\\COM2");
}

TEST_F(PortOnPty, DevicePathOpensAsItStands) {
  std::snprintf(port.DeviceName, sizeof port.DeviceName, "%s", pty.slavePath().c_str());
  port.Open();
  EXPECT_TRUE(port.Active);
  write(pty.master(), "x", 1);
  EXPECT_EQ(ReadPort(port, 1), "x");
}

TEST_F(PortOnPty, HangUpStopsTheReaderWithoutSpinning) {
  port.Open();
  write(pty.master(), "ab", 2);
  ASSERT_EQ(ReadPort(port, 2), "ab");
  pty.CloseMaster();
  ASSERT_TRUE(log.WaitForBits(EV_ERR));
  const double before = cpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double used = cpuSeconds() - before;
  EXPECT_LT(used, 0.1) << "CPU seconds used in 0.5 s after the hang-up";
  int errors = 0;
  for (const auto& e : log.Entries())
    errors += (std::stoi(e) & EV_ERR) ? 1 : 0;
  EXPECT_EQ(errors, 1);
  EXPECT_TRUE(port.Active);
  // Writing to the dead line fails quietly.
  port.Write("zz", 2);
  const auto start = std::chrono::steady_clock::now();
  port.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// Holds a port's output (XOFF on its own side, as tcflow TCOOFF does) until
// released, so that what it was given stays queued.
class EscapeHeld {
public:
  explicit EscapeHeld(TComm32& port) : port_(port) { port_.EscapeCommFunction(SETXOFF); }
  ~EscapeHeld() { Release(); }
  void Release() {
    if (held_)
      port_.EscapeCommFunction(SETXON);
    held_ = false;
  }

private:
  TComm32& port_;
  bool held_ = true;
};

// A sender at full speed and thousands of purges: the line carries pieces of
// what the owner wrote, in order, and nothing else (no stale ring memory).
TEST_F(PortOnPty, PurgeWriteUnderTrafficSendsOnlyOwnBytesInOrder) {
  port.Open();
  // Each index keeps its one writer: the purge leaves the owner's InPos
  // alone, and the writer empties the queue by catching up with it.
  EscapeHeld held(port);
  ASSERT_EQ(port.Write(std::string(3000, 'h').data(), 3000), 3000);
  const std::int32_t in = port.OutQueue->InPos;
  port.PurgeWrite(false);
  EXPECT_EQ(port.OutQueue->InPos.load(), in);
  EXPECT_EQ(port.OutQueue->Used(), 0);
  held.Release();

  const std::string sent = RandomStream(7 << 20);
  std::string got;
  std::atomic<bool> done{false};
  std::thread drain([&] {
    char buf[8192];
    for (;;) {
      // Once the owner is done, a second of quiet ends the drain.
      pollfd p{pty.master(), POLLIN, 0};
      if (poll(&p, 1, done ? 1000 : 100) <= 0) {
        if (done)
          return;
        continue;
      }
      const ssize_t k = read(pty.master(), buf, sizeof buf);
      if (k <= 0)
        return;
      got.append(buf, static_cast<std::size_t>(k));
    }
  });
  std::size_t off = 0;
  int purges = 0;
  while (off < sent.size() && purges < 2000) {
    for (int k = 0; k < 3 && off < sent.size(); ++k)
      off += static_cast<std::size_t>(port.Write(
          sent.data() + off, static_cast<int>(std::min<std::size_t>(1000, sent.size() - off))));
    // Now and then the writer gets what was just written out before the
    // purge, so that pieces leave however busy the machine is.
    if (purges % 100 == 99) {
      EXPECT_TRUE(Eventually([&] { return port.OutQueue->Used() == 0; }, 10000));
    }
    port.PurgeWrite(false);
    ++purges;
  }
  const std::string last = "the end of the stream";
  port.Write(last.data(), static_cast<int>(last.size()));
  EXPECT_TRUE(Eventually([&] { return port.OutQueue->Used() == 0; }, 10000));
  done = true;
  drain.join();
  ASSERT_GE(got.size(), last.size());
  EXPECT_EQ(got.substr(got.size() - last.size()), last) << "bytes after the purges all arrive";
  const RunCheck r = CheckRuns(sent, got.substr(0, got.size() - last.size()));
  EXPECT_EQ(purges, 2000);
  EXPECT_GT(r.matched, 0u);
  EXPECT_LT(r.unmatched, 64u) << "bytes nobody wrote, or old bytes again; " << r.runs << " pieces";
}

// The same on the receiving side: the owner reads while it purges.
TEST_F(PortOnPty, PurgeReadUnderTrafficNeverInventsBytes) {
  port.Open();
  ASSERT_EQ(write(pty.master(), "12345", 5), 5);
  ASSERT_TRUE(Eventually([&] { return port.InQueue->Used() == 5; }));
  const std::int32_t in = port.InQueue->InPos;
  port.PurgeRead(false);
  EXPECT_EQ(port.InQueue->InPos.load(), in) << "the reader's index was written by the owner";
  EXPECT_EQ(port.InQueue->Used(), 0);

  const std::string sent = RandomStream(2 << 20, 7);
  std::atomic<bool> fed{false};
  std::thread feeder([&] {
    for (std::size_t off = 0; off < sent.size();) {
      const ssize_t k =
          write(pty.master(), sent.data() + off, std::min<std::size_t>(4096, sent.size() - off));
      if (k <= 0)
        break;
      off += static_cast<std::size_t>(k);
      // A pace the owner keeps up with, so that many purges fall on bytes.
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
    fed = true;
  });
  std::string got;
  char buf[256];
  int purges = 0, reads = 0;
  auto quietSince = std::chrono::steady_clock::now();
  while (!fed || std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(300)) {
    const int n = port.Read(buf, sizeof buf);
    if (n == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    quietSince = std::chrono::steady_clock::now();
    got.append(buf, static_cast<std::size_t>(n));
    if (++reads % 5 == 0) {
      port.PurgeRead(false);
      ++purges;
    }
  }
  feeder.join();
  const RunCheck r = CheckRuns(sent, got);
  // Each purge takes a whole batch of the reader's: dozens, not hundreds.
  EXPECT_GT(purges, 20);
  EXPECT_GT(r.matched, 0u);
  EXPECT_LT(r.unmatched, 64u) << "bytes nobody sent, or old bytes again; " << r.runs << " pieces";
}

// An idle line costs nothing but the port's 200 ms timer: the reader, the
// writer and the packager's silence cutter sleep until something happens,
// and a burst is still cut by the silence after it.
TEST_F(PortOnPty, IdleThreadsSleepAndAWokenCutterStillCuts) {
  TCommPackage pkg(&port);
  NotifyLog packages;
  pkg.OnPackageNotify = [&](TObject*, int type) { packages.Add(type); };
  pkg.fSetPkgType(cptFrameTimeout);
  port.Open();
  pkg.fSetActive(true);
  ASSERT_TRUE(Eventually([] { return ThreadSwitches("vx-pk COM2") >= 0; }))
      << "the threads carry their role and port";
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const char* names[] = {"vx-pk COM2", "vx-rd COM2", "vx-wr COM2", "vx-tm COM2"};
  long before[4];
  for (int i = 0; i < 4; ++i)
    before[i] = ThreadSwitches(names[i]);
  std::this_thread::sleep_for(std::chrono::seconds(2));
  long woke[4];
  for (int i = 0; i < 4; ++i)
    woke[i] = ThreadSwitches(names[i]) - before[i];
  EXPECT_LE(woke[0], 2) << "the packager's timer polls an idle line";
  EXPECT_LE(woke[1], 2) << "the reader wakes on an idle line";
  EXPECT_LE(woke[2], 2) << "the writer wakes on an idle line";
  EXPECT_LE(woke[3], 1) << "the port's timer wakes on a line without modem lines";

  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(write(pty.master(), "\x01\x02\x03", 3), 3);
  ASSERT_TRUE(packages.WaitForBits(EV_RXCHAR));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(45)) << "cut before a whole interval of silence";
  EXPECT_LT(took, std::chrono::milliseconds(1000));
  std::string got(8, '\0');
  EXPECT_EQ(pkg.ReadPackage(got.data(), got.size()), 3);
  EXPECT_EQ(packages.Entries(), (std::vector<std::string>{"1"}));
}

TEST_F(PortOnPty, OddLineSettingsAreAcceptedOrRefused) {
  port.Dcb.BaudRate = 250000; // not a standard rate
  port.Dcb.Parity = MARKPARITY;
  port.Dcb.StopBits = ONE5STOPBITS;
  port.Dcb.ByteSize = 7;
  port.Open();
  EXPECT_TRUE(port.Active);
  port.Close();
  port.Dcb.ByteSize = 9;
  try {
    port.Open();
    FAIL() << "nine data bits";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecSetCommState);
  }
  EXPECT_FALSE(port.Active);
}

// What the line holds is taken in one batch: one wait, one event with the
// event character's bit when a zero byte is among the bytes, and every byte
// in the driver buffer in order, however many reads the kernel hands them
// out in.
TEST_F(PortOnPty, TheDriverTakesWhatTheLineHoldsInOneBatch) {
  int error = 0;
  auto dev = PosixSerialBackend().Open(pty.slavePath(), &error);
  ASSERT_TRUE(dev) << "open failed: " << error;
  ASSERT_TRUE(dev->SetupComm(1200, 1200));
  ASSERT_TRUE(dev->SetCommState(port.Dcb));
  ASSERT_TRUE(dev->SetCommMask(EV_RXCHAR | EV_RXFLAG | EV_RX80FULL));
  // As much as the pty holds unread (some 20 KiB): more than one read()
  // of the kernel's hands out.
  std::string sent = pattern(64 << 10);
  sent[6000] = '\0';
  fcntl(pty.master(), F_SETFL, fcntl(pty.master(), F_GETFL) | O_NONBLOCK);
  std::size_t off = 0;
  for (ssize_t k; (k = write(pty.master(), sent.data() + off, 1024)) > 0;)
    off += static_cast<std::size_t>(k);
  ASSERT_GT(off, 8192u);
  sent.resize(off);
  TEvent stop;
  std::uint32_t ev = 0, held = 0;
  ASSERT_EQ(dev->WaitCommEvent(ev, stop), CommWait::Event);
  EXPECT_EQ(ev, EV_RXCHAR | EV_RXFLAG | EV_RX80FULL);
  ASSERT_TRUE(dev->ClearCommError(nullptr, &held));
  EXPECT_EQ(held, sent.size());
  std::string got(sent.size(), 'x');
  EXPECT_EQ(dev->ReadFile(got.data(), static_cast<int>(got.size())), static_cast<int>(sent.size()));
  EXPECT_EQ(got, sent);
}
