// The packager: frames out, frames and silence in, queues and settings.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "comm/Tcommpkg.h"
#include "platform/memory.h"
#include "platform/serial_sim.h"
#include "tests/support/notify_log.h"
#include "tests/support/package_probe.h"

using namespace LumaroComm32;
using namespace platform;

namespace {

std::string hex(const std::string& bytes) {
  std::string out;
  char b[4];
  for (unsigned char c : bytes) {
    std::snprintf(b, sizeof b, "%02X ", c);
    out += b;
  }
  if (!out.empty())
    out.pop_back();
  return out;
}

std::string bytes(std::initializer_list<int> list) {
  std::string s;
  for (int b : list)
    s += static_cast<char>(b);
  return s;
}

// A packager on a port that is not open: what it sends lands in the port's
// transmit queue, what the test puts into the receive queue it decodes when
// told that bytes arrived.
class Packager : public ::testing::Test {
protected:
  void SetUp() override {
    pkg.OnPackageNotify = [this](TObject* sender, int type) {
      EXPECT_EQ(sender, &pkg);
      log.Add(type);
    };
    pkg.fSetActive(true);
  }

  std::string sent() {
    std::string out(16384, '\0');
    out.resize(static_cast<std::size_t>(port.OutQueue->Out(out.data(), 16384)));
    return out;
  }
  void receive(const std::string& data) {
    port.InQueue->In(data.data(), static_cast<int>(data.size()));
    pkg.fNewCommNotify(&port, EV_RXCHAR);
  }
  std::string readPackage() {
    std::string buf(8192, '\0');
    const int n = pkg.ReadPackage(buf.data(), buf.size());
    buf.resize(static_cast<std::size_t>(std::max(n, 0)));
    return buf;
  }

  TComm32 port;
  TCommPackage pkg{&port};
  NotifyLog log;
};

} // namespace

TEST_F(Packager, FramesWithDoubleAndSingleMarks) {
  pkg.fSetPkgType(cptFrameHeadTail);
  EXPECT_EQ(pkg.WritePackage(bytes({0x01, 0xEB, 0x02}).data(), 3), 3);
  EXPECT_EQ(hex(sent()), "EB EB 01 EC EB 02 EE EE");
  pkg.fSetDblFrameMark(false);
  pkg.WritePackage(bytes({0x01, 0xEB, 0x02}).data(), 3);
  EXPECT_EQ(hex(sent()), "EB 01 EC EB 02 EE");
  pkg.fSetDblFrameMark(true);
  pkg.WritePackage(bytes({0xAA, 0x01, 0xC1, 0xEE}).data(), 4);
  EXPECT_EQ(hex(sent()), "EB EB AA 01 C1 EC EE EE EE");
  EXPECT_EQ(pkg.WritePackage("x", 0), 0) << "size 0 sends nothing in this mode";
  EXPECT_EQ(pkg.WritePackage(nullptr, 3), 0);
}

TEST_F(Packager, EmptyPackageAsAWholeElement) {
  std::vector<unsigned char> element(static_cast<std::size_t>(pkg.ElementSize()), 0x55);
  const std::uint32_t zero = 0;
  std::memcpy(element.data(), &zero, 4);
  EXPECT_EQ(pkg.WritePackage(element.data(), 0), 1);
  EXPECT_EQ(hex(sent()), "EB EB EE EE");
}

TEST_F(Packager, TimeoutModeSendsBareBytes) {
  pkg.fSetPkgType(cptFrameTimeout);
  EXPECT_EQ(pkg.WritePackage(bytes({0xAA, 0x01, 0xC1, 0xEE}).data(), 4), 4);
  EXPECT_EQ(hex(sent()), "AA 01 C1 EE");
}

TEST_F(Packager, DecodesFrames) {
  pkg.fSetPkgType(cptFrameHeadTail);
  receive(bytes({0xEB, 0xEE}));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"1"})) << "empty package notified";
  EXPECT_EQ(pkg.ReadPackage(nullptr, 0), 0);
  std::string buf(4, '\0');
  EXPECT_EQ(pkg.ReadPackage(buf.data(), 4), 0) << "the empty package taken";
  EXPECT_EQ(pkg.ReadPackage(nullptr, 0), 0);

  receive(bytes({0xEB, 0x01, 0xEB, 0x02, 0xEE}));
  EXPECT_EQ(hex(readPackage()), "02") << "a new head discards the partial package";
  EXPECT_EQ(readPackage(), "");

  log.Clear();
  receive(bytes({0xEC, 0xEB, 0x01, 0xEE}));
  EXPECT_EQ(pkg.ReadPackage(nullptr, 0), 0);
  EXPECT_TRUE(log.Entries().empty()) << "an escaped head opens no frame";

  receive(bytes({0xEB, 0xEB, 0x01, 0xEE, 0xEE}));
  EXPECT_EQ(hex(readPackage()), "01");
  EXPECT_EQ(readPackage(), "") << "the second tail closes nothing";

  receive(bytes({0xEB, 0x05, 0xEC, 0xEE, 0xEC, 0xEC, 0xEC, 0xEB, 0xEE}));
  EXPECT_EQ(hex(readPackage()), "05 EE EC EB");
}

TEST_F(Packager, FrameSplitOverNotifications) {
  pkg.fSetPkgType(cptFrameHeadTail);
  for (int b : {0xEB, 0xEB, 0x10, 0xEC})
    receive(bytes({b}));
  EXPECT_EQ(pkg.ReadPackage(nullptr, 0), 0);
  receive(bytes({0xEE, 0x20}));
  receive(bytes({0xEE, 0xEE}));
  EXPECT_EQ(hex(readPackage()), "10 EE 20");
}

TEST_F(Packager, OversizedPackagesAreCut) {
  pkg.fSetPkgType(cptFrameHeadTail);
  std::string big(5000, 'z');
  EXPECT_EQ(pkg.WritePackage(big.data(), big.size()), 4096);
  // The frame is longer than the port's queue takes at once: the rest goes
  // out at the following send steps.
  std::string frame = sent();
  while (frame.size() < 4100) {
    pkg.fNewCommNotify(&port, EV_TXEMPTY);
    frame += sent();
  }
  EXPECT_EQ(frame, "\xEB\xEB" + std::string(4096, 'z') + "\xEE\xEE");

  std::string incoming = "\xEB" + std::string(5000, 'y') + "\xEE";
  receive(incoming);
  EXPECT_EQ(readPackage(), std::string(4096, 'y')) << "received excess is dropped";
}

TEST_F(Packager, ReadPackageWithSizeZeroPeeksAndSmallBufferLosesTheRest) {
  pkg.fSetPkgType(cptFrameHeadTail);
  receive("\xEB"
          "0123456789"
          "\xEE");
  EXPECT_EQ(pkg.ReadPackage(nullptr, 0), 10);
  std::string buf(3, '\0');
  EXPECT_EQ(pkg.ReadPackage(buf.data(), 0), 10) << "size 0 leaves it queued";
  EXPECT_EQ(pkg.ReadPackage(buf.data(), 3), 3);
  EXPECT_EQ(buf, "012");
  EXPECT_EQ(pkg.ReadPackage(nullptr, 0), 0) << "the rest went with the package";
}

TEST_F(Packager, CompatibleModeMovesWholeElements) {
  receive("\xEB"
          "abc"
          "\xEE");
  std::vector<unsigned char> element(static_cast<std::size_t>(pkg.ElementSize()));
  ASSERT_EQ(pkg.ReadPackage(element.data(), 0), 1);
  std::uint32_t count;
  std::memcpy(&count, element.data(), 4);
  EXPECT_EQ(count, 3u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(element.data()) + 4, 3), "abc");
  EXPECT_EQ(pkg.ReadPackage(element.data(), 0), 0);
}

// A caller that gives a size gets nothing past it, read or written.
TEST_F(Packager, CompatibleModeStaysInsideTheCallersSize) {
  receive("\xEB" + std::string(100, 'r') + "\xEE");
  std::vector<unsigned char> buf(64, 0x5A);
  ASSERT_EQ(pkg.ReadPackage(buf.data(), 32), 1);
  std::uint32_t count;
  std::memcpy(&count, buf.data(), 4);
  EXPECT_EQ(count, 100u);
  EXPECT_EQ(std::string(buf.begin() + 4, buf.begin() + 32), std::string(28, 'r'));
  EXPECT_EQ(std::string(buf.begin() + 32, buf.end()), std::string(32, '\x5A'))
      << "bytes past the size were written";

  // A 20-byte record whose count field claims 4096: 16 bytes go out.
  std::vector<unsigned char> report(20, 'A');
  count = 4096;
  std::memcpy(report.data(), &count, 4);
  EXPECT_EQ(pkg.WritePackage(report.data(), 20), 1);
  EXPECT_EQ(sent(), "\xEB\xEB" + std::string(16, 'A') + "\xEE\xEE");
  count = 3;
  std::memcpy(report.data(), &count, 4);
  EXPECT_EQ(pkg.WritePackage(report.data(), 20), 1);
  EXPECT_EQ(sent(), "\xEB\xEB"
                    "AAA"
                    "\xEE\xEE");
  EXPECT_EQ(pkg.WritePackage(report.data(), 3), 0) << "no room even for the count";
  EXPECT_EQ(sent(), "");
}

// Every allocation of a resize can fail: the packager keeps its old size and
// storage, stays switched on, and still decodes into buffers that fit.
TEST_F(Packager, FailedResizesChangeNothing) {
  pkg.fSetPkgType(cptFrameHeadTail);
  const auto expectOutOfMemory = [](const std::function<void()>& f) {
    try {
      f();
      ADD_FAILURE() << "no exception";
    } catch (const EComm32Error& e) {
      EXPECT_EQ(e.ErrorCode, EComm32Error::ecOutOfMemory);
    }
  };
  for (int nth = 1; nth <= 5; ++nth) {
    platform::fault::FailAllocation(nth);
    expectOutOfMemory([&] { pkg.fSetPkgSz(100000); });
  }
  for (int nth = 1; nth <= 2; ++nth) {
    platform::fault::FailAllocation(nth);
    expectOutOfMemory([&] { pkg.fSetQSize(64); });
  }
  platform::fault::FailAllocation(0);
  expectOutOfMemory([&] { pkg.fSetPkgSz(TCommPackage::MaxPackageSize + 1); });
  expectOutOfMemory([&] { pkg.fSetPkgSz(0xFFFFFFFFUL); });
  EXPECT_EQ(pkg.PackageSize(), 4096);
  EXPECT_EQ(pkg.QueueSize(), 16);
  EXPECT_EQ(pkg.ElementSize(), 4100);
  EXPECT_TRUE(pkg.Active());
  receive("\xEB" + std::string(6000, 'q') + "\xEE");
  EXPECT_EQ(readPackage(), std::string(4096, 'q'));

  pkg.fSetPkgSz(TCommPackage::MaxPackageSize);
  EXPECT_EQ(pkg.ElementSize(), static_cast<long>(TCommPackage::MaxPackageSize + 4));
  EXPECT_TRUE(pkg.Active());
}

TEST_F(Packager, FullReadQueueDropsTheSixteenth) {
  pkg.fSetPkgType(cptFrameHeadTail);
  for (int i = 0; i < 16; ++i)
    receive("\xEB" + std::string(1, static_cast<char>('a' + i)) + "\xEE");
  std::string got;
  for (int i = 0; i < 16; ++i)
    got += readPackage();
  EXPECT_EQ(got, "abcdefghijklmno");
}

TEST_F(Packager, WhichSettingsEmptyTheQueues) {
  pkg.fSetPkgType(cptFrameHeadTail);
  const auto fill = [&] {
    receive("\xEB"
            "p"
            "\xEE");
  };
  const auto held = [&] { return pkg.ReadPackage(nullptr, 0) > 0; };
  fill();
  pkg.fSetPkgInterval(20);
  pkg.fSetDblFrameMark(false);
  pkg.FrameHead = 0xEB;
  EXPECT_TRUE(held()) << "interval, marks and frame bytes leave them alone";
  pkg.fSetQSize(8);
  EXPECT_FALSE(held());
  EXPECT_EQ(pkg.QueueSize(), 8);
  fill();
  pkg.fSetPkgSz(100);
  EXPECT_FALSE(held());
  EXPECT_TRUE(pkg.Active()) << "reactivated";
  fill();
  pkg.fSetPkgType(cptFrameHeadTail);
  EXPECT_FALSE(held()) << "type change while active empties";
  fill();
  pkg.fSetActive(true);
  EXPECT_FALSE(held()) << "fSetActive empties even without a change";
  pkg.fSetActive(false);
  EXPECT_EQ(pkg.ReadPackage(nullptr, 0), 0);
  EXPECT_EQ(pkg.WritePackage("x", 1), 0) << "inactive";
  pkg.fSetQSize(1);
  EXPECT_EQ(pkg.QueueSize(), 1) << "kept as written, the queue itself has 2 slots";
}

TEST_F(Packager, TinyPackageSizeNeverOverrunsItsBuffers) {
  pkg.fSetPkgType(cptFrameHeadTail);
  for (unsigned long size : {0UL, 1UL, 10UL, 27UL}) {
    pkg.fSetPkgSz(size);
    std::string big(50, '\xEB');
    EXPECT_EQ(pkg.WritePackage(big.data(), big.size()), static_cast<int>(size)) << size;
    sent();
    receive("\xEB" + std::string(60, 'q') + "\xEE");
    EXPECT_EQ(readPackage(), std::string(size, 'q'));
    // A whole element in and out in compatible mode is ElementSize bytes.
    pkg.fSetPkgType(cptCompatiblePkg);
    std::vector<unsigned char> element(static_cast<std::size_t>(pkg.ElementSize()), 0xFF);
    EXPECT_EQ(pkg.WritePackage(element.data(), 0), 1);
    sent();
    pkg.fSetPkgType(cptFrameHeadTail);
  }
}

TEST_F(Packager, PortNotificationsPassThroughAndTheHandlerIsRestored) {
  NotifyLog portLog;
  TComm32 other;
  other.OnCommNotify = [&](TObject*, int type) { portLog.Add(type); };
  {
    TCommPackage chained(&other);
    chained.fSetActive(true);
    other.CommNotify(0x38);
    other.CommNotify(EV_RXCHAR);
    EXPECT_EQ(portLog.Entries(), (std::vector<std::string>{"56", "1"}));
  }
  other.CommNotify(2);
  EXPECT_EQ(portLog.Entries().back(), "2") << "the old handler is back";
}

TEST_F(Packager, SilenceCutterClosesOnTheFirstQuietPoll) {
  TCommPackageProbe::StopTimer(pkg); // the test polls by itself
  pkg.fSetPkgType(cptFrameTimeout);
  port.InQueue->In("\x01\x02", 2);
  EXPECT_FALSE(TCommPackageProbe::Tick(pkg)) << "bytes came since the last poll";
  port.InQueue->In("\x03", 1);
  EXPECT_FALSE(TCommPackageProbe::Tick(pkg));
  log.Clear();
  EXPECT_TRUE(TCommPackageProbe::Tick(pkg)) << "a quiet poll closes the package";
  EXPECT_EQ(hex(readPackage()), "01 02 03");
  EXPECT_FALSE(TCommPackageProbe::Tick(pkg)) << "nothing to close";
}

namespace {

// A port whose purge of the output side takes as long as a writer that is
// slow to acknowledge (the packager holds its lock all that time).
class SlowPurgePort : public TComm32 {
public:
  void PurgeWrite(bool) override { std::this_thread::sleep_for(std::chrono::milliseconds(400)); }
};

} // namespace

// The silence window counts from the poll that read the bytes, not from
// before the lock that poll waited for: a command whose last byte comes
// 15 ms after a long purge is still one package.
TEST(PackagerTimer, ALongPurgeDoesNotShortenTheSilenceWindow) {
  SlowPurgePort port;
  TCommPackage pkg(&port);
  NotifyLog log;
  pkg.OnPackageNotify = [&](TObject*, int type) { log.Add(type); };
  pkg.fSetPkgType(cptFrameTimeout);
  pkg.fSetPkgInterval(200);
  pkg.fSetActive(true);
  port.InQueue->In("\xAA\xCC", 2);
  pkg.fNewCommNotify(&port, EV_RXCHAR); // wakes the cutter: the package is open
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::thread purge([&] { pkg.PurgeWrite(); }); // holds the lock for 400 ms
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  port.InQueue->In("\xC1", 1); // read by the poll that waits for the lock
  purge.join();
  std::this_thread::sleep_for(std::chrono::milliseconds(15));
  port.InQueue->In("\xEE", 1);
  ASSERT_TRUE(log.WaitForBits(EV_RXCHAR, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::string buf(16, '\0');
  const int n = pkg.ReadPackage(buf.data(), buf.size());
  EXPECT_EQ(hex(buf.substr(0, static_cast<std::size_t>(std::max(n, 0)))), "AA CC C1 EE")
      << "the command was cut in two";
  EXPECT_EQ(pkg.ReadPackage(buf.data(), buf.size()), 0);
}

// On the simulated line with the packager's own timer thread.
TEST(PackagerOnSim, BurstThenSilenceGivesOnePackageNotifiedWithOne) {
  SimLine line;
  auto sim = line.Create("COM2");
  TComm32 port;
  TCommPackage pkg(&port);
  NotifyLog log;
  std::chrono::steady_clock::time_point notified;
  pkg.OnPackageNotify = [&](TObject*, int type) {
    notified = std::chrono::steady_clock::now();
    log.Add(type);
  };
  pkg.fSetPkgType(cptFrameTimeout);
  pkg.fSetActive(true);
  port.Open();
  const auto sentAt = std::chrono::steady_clock::now();
  sim->Inject("\x01\x02\x03");
  ASSERT_TRUE(log.WaitForBits(EV_RXCHAR));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"56", "1"}))
      << "the port's open notification passes through, then exactly 1";
  const auto delay = notified - sentAt;
  EXPECT_GE(delay, std::chrono::milliseconds(45)) << "at least one interval";
  EXPECT_LT(delay, std::chrono::milliseconds(100 + 400)) << "two intervals, with slack";
  std::string buf(16, '\0');
  EXPECT_EQ(pkg.ReadPackage(buf.data(), 16), 3);
  EXPECT_EQ(buf.substr(0, 3), "\x01\x02\x03");
  port.Close();
}

// Two ports joined by a null-modem cable, a packager on each: packages
// written on one side while the other side's reader decodes come out whole
// and in order. Run under ThreadSanitizer, this exercises the send step on
// two threads and decoding on the reader thread.
TEST(PackagerOnSim, PackagesCrossTheLineWhole) {
  SimLine line;
  line.CreatePair("COM1", "COM2");
  TComm32 a, b;
  a.fSetPortNo(1);
  b.fSetPortNo(2);
  TCommPackage pa(&a), pb(&b);
  pa.fSetPkgType(cptFrameHeadTail);
  pb.fSetPkgType(cptFrameHeadTail);
  constexpr int COUNT = 300;
  pb.fSetQSize(COUNT + 1); // room for all: a full queue drops packages by design
  // The same for the receiving port's byte queue: a reader held back on a busy
  // machine may find the whole stream waiting, and what does not fit is lost.
  b.InQueue->fSetBufSize(1 << 16);
  pa.fSetActive(true);
  pb.fSetActive(true);
  a.Open();
  b.Open();
  std::vector<std::string> received;
  std::thread reader([&] {
    std::string buf(4096, '\0');
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (static_cast<int>(received.size()) < COUNT && std::chrono::steady_clock::now() < end) {
      const int n = pb.ReadPackage(buf.data(), buf.size());
      if (n > 0)
        received.push_back(buf.substr(0, static_cast<std::size_t>(n)));
      else
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int i = 0; i < COUNT; ++i) {
    std::string p(static_cast<std::size_t>(1 + i % 37), static_cast<char>(0xE9 + i % 7));
    p[0] = static_cast<char>(i);
    while (pa.WritePackage(p.data(), p.size()) == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  reader.join();
  ASSERT_EQ(static_cast<int>(received.size()), COUNT);
  for (int i = 0; i < COUNT; ++i) {
    EXPECT_EQ(received[static_cast<std::size_t>(i)].size(), static_cast<std::size_t>(1 + i % 37));
    EXPECT_EQ(received[static_cast<std::size_t>(i)][0], static_cast<char>(i));
  }
  a.Close();
  b.Close();
}
