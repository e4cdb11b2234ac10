// The port on real COM names (Windows): COM1 and COM2 are the two ends of a
// null-modem cable that the test run made (tests/windows/run.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>

#include "comm/Tcomm32.h"
#include "tests/support/notify_log.h"

using namespace LumaroComm32;
using namespace platform;

namespace {

std::string pattern(std::size_t n, int seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 31 + seed) & 0xFF);
  return s;
}

// Reads n bytes from a port, or what came within timeoutMs.
std::string readPort(TComm32& port, std::size_t n, int timeoutMs = 10000) {
  std::string got;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  char buf[4096];
  while (got.size() < n && std::chrono::steady_clock::now() < end) {
    const int k = port.Read(buf, sizeof buf);
    if (k > 0)
      got.append(buf, static_cast<std::size_t>(k));
    else // (a look every 10 ms: no spinning beside Wine on a busy machine)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return got;
}

// Queues all of data, as fast as the port's queue empties.
void writeAll(TComm32& port, const std::string& data) {
  std::size_t sent = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sent < data.size() && std::chrono::steady_clock::now() < end) {
    const int n = port.Write(data.data() + sent, static_cast<int>(data.size() - sent));
    sent += static_cast<std::size_t>(std::max(n, 0));
    if (n <= 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

} // namespace

// Bytes cross the cable both ways exactly, in order, with the notifications
// that go with them; the port list names both ports.
TEST(PortOnCom, BytesCrossTheCableBothWays) {
  TCommSerialPortInfo info;
  EXPECT_TRUE(info.FromSystem);
  for (const char* name : {"COM1", "COM2"})
    EXPECT_NE(std::find(info.PortList.begin(), info.PortList.end(), name), info.PortList.end())
        << name << " missing from the system's port list";

  TComm32 a, b;
  NotifyLog log;
  a.fSetPortNo(1);
  b.fSetPortNo(2);
  b.InQueue->fSetBufSize(1 << 18);
  a.InQueue->fSetBufSize(1 << 18);
  b.OnCommNotify = [&log](TObject*, int type) { log.Add(type); };
  a.Open();
  b.Open();
  const std::string there = pattern(100000, 7), back = pattern(50000, 3);
  std::thread sender([&] { writeAll(a, there); });
  EXPECT_EQ(readPort(b, there.size()), there);
  sender.join();
  EXPECT_TRUE(log.WaitForBits(EV_RXCHAR));
  std::thread replier([&] { writeAll(b, back); });
  EXPECT_EQ(readPort(a, back.size()), back);
  replier.join();
  EXPECT_TRUE(log.WaitForBits(EV_TXEMPTY)) << "the sender's driver drained";
  EXPECT_GT(b.BytesSent.load(), 0u);
  a.Close();
  b.Close();
}

// The cable's modem lines: one end's DTR is the other's DSR and carrier, its
// RTS the other's CTS. Each change reaches the other port's status and its
// owner within a timer period.
TEST(PortOnCom, ModemLinesCrossTheCable) {
  TComm32 a, b;
  NotifyLog log;
  a.fSetPortNo(1);
  b.fSetPortNo(2);
  b.OnCommNotify = [&log](TObject*, int type) { log.Add(type); };
  a.Open();
  b.Open();
  constexpr std::uint32_t ALL = MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON;
  ASSERT_TRUE(Eventually([&] { return (b.ModemStatus & ALL) == ALL; }))
      << "the other end raised DTR and RTS when it opened";
  const struct {
    bool dtr, rts;
    std::uint32_t seen;
  } steps[] = {{false, true, MS_CTS_ON},
               {false, false, 0},
               {true, false, MS_DSR_ON | MS_RLSD_ON},
               {true, true, ALL}};
  std::uint32_t before = ALL;
  for (const auto& step : steps) {
    log.Clear();
    const auto start = std::chrono::steady_clock::now();
    a.fSetDTR(step.dtr);
    a.fSetRTS(step.rts);
    ASSERT_TRUE(Eventually([&] { return (b.ModemStatus & ALL) == step.seen; }))
        << "DTR " << step.dtr << " RTS " << step.rts;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    const int told = static_cast<int>(ModemChangeEvents(before ^ step.seen));
    EXPECT_TRUE(log.WaitFor([told](const std::vector<std::string>& entries) {
      int bits = 0;
      for (const auto& e : entries)
        bits |= std::isdigit(static_cast<unsigned char>(e[0])) ? std::stoi(e) : 0;
      return (bits & told) == told;
    })) << "the owner was not told of every changed line";
    before = step.seen;
  }
}
