// The serial port on the simulated line: open and close rules, failure codes,
// line control, flow control and the reader's event handling.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "comm/Tcomm32.h"
#include "platform/serial_sim.h"
#include "tests/support/lang_guard.h"
#include "tests/support/notify_log.h"
#include "tests/support/stream_check.h"
#include "tests/support/port_reader.h"

using namespace LumaroComm32;
using namespace platform;

namespace {

class PortOnSim : public ::testing::Test {
protected:
  void SetUp() override {
    sim = line.Create("COM2");
    port.OnCommNotify = [this](TObject* sender, int type) {
      EXPECT_EQ(sender, &port);
      log.Add(type);
    };
    port.AfterOpen = [this](TObject*) { log.Add("AfterOpen"); };
    port.BeforeClose = [this](TObject*) { log.Add("BeforeClose"); };
  }

  SimLine line;
  std::shared_ptr<SimPort> sim;
  NotifyLog log;
  TComm32 port;
};

int codeOf(TComm32& port) {
  try {
    port.Open();
  } catch (const EComm32Error& e) {
    return e.ErrorCode;
  }
  return 0;
}

} // namespace

TEST_F(PortOnSim, DefaultsAndDeviceName) {
  EXPECT_STREQ(port.DeviceName, "\\\\.\\COM2");
  EXPECT_EQ(port.Dcb.DCBlength, 28u);
  EXPECT_EQ(port.Dcb.BaudRate, 115200u);
  EXPECT_EQ(port.Dcb.ByteSize, 8);
  EXPECT_EQ(port.Dcb.fDtrControl, DTR_CONTROL_ENABLE);
  EXPECT_EQ(port.Dcb.fRtsControl, RTS_CONTROL_ENABLE);
  EXPECT_EQ(port.Dcb.XonLim, 2048);
  EXPECT_EQ(port.Dcb.XoffChar, 0x13);
  EXPECT_EQ(port.InQueue->BufSize, 8192);
  EXPECT_EQ(port.HwInSize, 1200u);
  EXPECT_EQ(port.Handle, -1);
  port.fSetPortNo(12);
  EXPECT_STREQ(port.DeviceName, "\\\\.\\COM12");
}

TEST_F(PortOnSim, OpenAndCloseNotifyOnceInOrder) {
  sim->SetModemStatus(MS_CTS_ON | MS_DSR_ON);
  port.Open();
  EXPECT_TRUE(port.Active);
  EXPECT_NE(port.Handle, -1);
  EXPECT_TRUE(sim->IsOpen());
  EXPECT_EQ(port.ModemStatus, MS_CTS_ON | MS_DSR_ON);
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"56", "AfterOpen"}));
  port.Open(); // already open: nothing
  EXPECT_EQ(log.Entries().size(), 2u);

  int statusInNotify = -1;
  port.OnCommNotify = [&](TObject*, int type) {
    log.Add(type);
    statusInNotify = static_cast<int>(port.ModemStatus);
  };
  log.Clear();
  port.Close();
  EXPECT_FALSE(port.Active);
  EXPECT_EQ(port.Handle, -1);
  EXPECT_FALSE(sim->IsOpen());
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"BeforeClose", "56"}));
  EXPECT_EQ(statusInNotify, 0);
  log.Clear();
  port.Close(); // closed: nothing
  EXPECT_TRUE(log.Entries().empty());
}

TEST_F(PortOnSim, EachOpenFailureHasItsCodeAndLeavesThePortClosed) {
  LangGuard lang(TLumaroFuncs::TAppLang::ltEnglish);
  struct Case {
    std::function<void()> arrange;
    int code;
  };
  const Case cases[] = {
      {[&] { port.InQueue->fSetBufSize(0); }, 2}, {[&] { port.OutQueue->fSetBufSize(0); }, 3},
      {[&] { port.fSetPortNo(7); }, 4},           {[&] { sim->Fail("Open"); }, 4},
      {[&] { sim->Fail("SetCommMask"); }, 5},     {[&] { sim->Fail("SetupComm"); }, 6},
      {[&] { sim->Fail("SetCommState"); }, 8},    {[&] { fault::FailEventCreation(1); }, 9},
      {[&] { fault::FailEventCreation(2); }, 9},  {[&] { fault::FailEventCreation(3); }, 10},
      {[&] { fault::FailEventCreation(4); }, 10}, {[&] { fault::FailThreadStart(1); }, 11},
      {[&] { fault::FailThreadStart(2); }, 11},   {[&] { fault::FailThreadStart(3); }, 12},
  };
  for (const auto& c : cases) {
    log.Clear();
    c.arrange();
    EXPECT_EQ(codeOf(port), c.code);
    EXPECT_FALSE(port.Active) << c.code;
    EXPECT_EQ(port.Handle, -1) << c.code;
    EXPECT_FALSE(sim->IsOpen()) << c.code;
    EXPECT_TRUE(log.Entries().empty()) << "no notification for code " << c.code;
    // Put everything back for the next case.
    fault::FailEventCreation(0);
    fault::FailThreadStart(0);
    for (const char* op : {"Open", "SetCommMask", "SetupComm", "SetCommState"})
      sim->Fail(op, false);
    port.InQueue->fSetBufSize(8192);
    port.OutQueue->fSetBufSize(8192);
    port.fSetPortNo(2);
  }
  port.Open();
  EXPECT_TRUE(port.Active) << "a good open after all the failures";
}

TEST_F(PortOnSim, DisableWriteStopsWriteButNotCommand) {
  port.Open();
  port.DisableWrite = true;
  EXPECT_EQ(port.Write("abc", 3), 0);
  EXPECT_EQ(port.Command("AT\r"), 3);
  ASSERT_TRUE(sim->WaitWritten(3, 3000));
  EXPECT_EQ(sim->Written(), "AT\r");
  port.Close();
  port.Open();
  EXPECT_FALSE(port.DisableWrite) << "Open clears it";
}

TEST_F(PortOnSim, WritesGoOutInChunksOf256) {
  port.Open();
  std::string data(1000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i * 7);
  EXPECT_EQ(port.Write(data.data(), 1000), 1000);
  ASSERT_TRUE(sim->WaitWritten(1000, 3000));
  EXPECT_EQ(sim->Written(), data);
  std::vector<std::string> writes;
  for (const auto& call : sim->Calls())
    if (call.rfind("WriteFile", 0) == 0)
      writes.push_back(call);
  EXPECT_EQ(writes, (std::vector<std::string>{"WriteFile 256", "WriteFile 256", "WriteFile 256",
                                              "WriteFile 232"}));
}

TEST_F(PortOnSim, BytesQueuedWhileClosedGoOutAfterTheNextWake) {
  port.Command("early");
  port.Open();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sim->Written(), "") << "the writer waits for its first wake-up";
  port.Write("!", 1);
  ASSERT_TRUE(sim->WaitWritten(6, 3000));
  EXPECT_EQ(sim->Written(), "early!");
}

// A line lost and the port opened on another: nothing of the old line, half
// a command received or half a report not yet sent, reaches the new one.
TEST_F(PortOnSim, ALostLinesBytesNeverReachTheNextLine) {
  auto com1 = line.Create("COM1");
  port.Open();
  sim->Inject("\xAA\xCC");
  ASSERT_TRUE(Eventually([&] { return port.InQueue->Used() == 2; }));
  sim->HoldTransmit(true); // the driver fills up and takes no more
  const std::string report(3000, 'r');
  ASSERT_EQ(port.Write(report.data(), 3000), 3000);
  ASSERT_TRUE(sim->WaitWritten(port.HwOutSize, 3000));
  port.Close();
  ASSERT_GT(port.OutQueue->Used(), 0) << "the old line left bytes unsent";

  port.fSetPortNo(1);
  port.Write("queued while closed", 19);
  port.Open();
  char buf[16];
  EXPECT_EQ(port.Read(buf, sizeof buf), 0) << "the old line's bytes are gone";
  port.Write("!", 1);
  ASSERT_TRUE(com1->WaitWritten(20, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(com1->Written(), "queued while closed!") << "only bytes meant for this line";
  com1->Inject("C1");
  ASSERT_TRUE(Eventually([&] { return port.InQueue->Used() == 2; }));
  EXPECT_EQ(port.Read(buf, sizeof buf), 2);
  EXPECT_EQ(std::string(buf, 2), "C1");
}

TEST_F(PortOnSim, DtrAndRtsRecordedWhileClosedAndAppliedAtOpen) {
  EXPECT_FALSE(port.fGetDTR()) << "closed";
  port.fSetDTR(false);
  port.Open();
  EXPECT_EQ(sim->LastDcb().fDtrControl, DTR_CONTROL_DISABLE);
  EXPECT_FALSE(port.fGetDTR());
  EXPECT_TRUE(port.fGetRTS());
  port.fSetRTS(false);
  EXPECT_FALSE(port.fGetRTS());
  EXPECT_EQ(sim->Calls().back(), "EscapeCommFunction 4");
  port.fSetDTR(true);
  EXPECT_TRUE(port.fGetDTR());
  EXPECT_TRUE(port.EscapeCommFunction(SETBREAK));
  EXPECT_TRUE(port.fGetDTR()) << "other functions are not recorded";
  sim->Fail("EscapeCommFunction");
  EXPECT_FALSE(port.EscapeCommFunction(CLRDTR));
  EXPECT_TRUE(port.fGetDTR());
  port.Close();
  // What was changed while open is forgotten: the DCB decides again.
  EXPECT_FALSE(port.EscapeCommFunction(SETDTR)) << "closed";
  sim->Fail("EscapeCommFunction", false);
  port.Open();
  EXPECT_FALSE(port.fGetDTR()) << "the DCB still says disable";
  EXPECT_TRUE(port.fGetRTS()) << "RTS was cleared by an escape function: forgotten";
}

TEST_F(PortOnSim, FlowControlTable) {
  struct Row {
    TComm32::TFlowControl set, readBack;
    unsigned cts, rts, x;
  };
  const Row rows[] = {
      {TComm32::fcNone, TComm32::fcNone, 0, RTS_CONTROL_ENABLE, 0},
      {TComm32::fcRtsCts, TComm32::fcRtsCts, 1, RTS_CONTROL_HANDSHAKE, 0},
      {TComm32::fcXonXoff, TComm32::fcXonXoff, 0, RTS_CONTROL_ENABLE, 1},
      {TComm32::fcTranXonXoff, TComm32::fcXonXoff, 0, RTS_CONTROL_ENABLE, 1},
      {TComm32::fcRtsCtsXonXoff, TComm32::fcRtsCtsXonXoff, 1, RTS_CONTROL_HANDSHAKE, 1},
      {static_cast<TComm32::TFlowControl>(2), TComm32::fcNone, 0, RTS_CONTROL_ENABLE, 0},
      {static_cast<TComm32::TFlowControl>(9), TComm32::fcNone, 0, RTS_CONTROL_ENABLE, 0},
  };
  for (const auto& r : rows) {
    port.Dcb.fDtrControl = DTR_CONTROL_DISABLE;
    port.Dcb.fOutxDsrFlow = 1;
    port.fSetFCtrl(r.set);
    EXPECT_EQ(port.fGetFCtrl(), r.readBack) << r.set;
    EXPECT_EQ(port.Dcb.fOutxCtsFlow, r.cts) << r.set;
    EXPECT_EQ(port.Dcb.fRtsControl, r.rts) << r.set;
    EXPECT_EQ(port.Dcb.fOutX, r.x) << r.set;
    EXPECT_EQ(port.Dcb.fInX, r.x) << r.set;
    EXPECT_EQ(port.Dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(port.Dcb.fOutxDsrFlow, 0u);
  }
}

TEST_F(PortOnSim, SettingFlowControlClosesAnActivePort) {
  port.Open();
  log.Clear();
  port.fSetFCtrl(TComm32::fcRtsCts);
  EXPECT_FALSE(port.Active);
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"BeforeClose", "56"}));
}

TEST_F(PortOnSim, ModemCommands) {
  port.fSetFCtrl(TComm32::fcRtsCts);
  port.AutoAnswer = 2;
  port.InitModem();
  port.fSetFCtrl(TComm32::fcTranXonXoff);
  port.AutoAnswer = 255;
  port.InitModem();
  port.ResetModem();
  char text[64] = {};
  const int n = port.OutQueue->Out(text, sizeof text - 1);
  EXPECT_EQ(std::string(text, static_cast<std::size_t>(n)), "ATE0&K3S0=2\rATE0&K4S0=255\rATZ\r");
}

TEST_F(PortOnSim, PurgesOnlyWhileOpen) {
  port.InQueue->In("abc", 3);
  port.PurgeRead(true);
  EXPECT_EQ(port.InQueue->Used(), 3) << "closed: nothing purged";
  port.Open();
  port.PurgeRead(true);
  EXPECT_EQ(port.InQueue->Used(), 0);
  port.PurgeWrite(false);
  const auto calls = sim->Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "PurgeComm 10"), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), "PurgeComm 4"), calls.end());
}

TEST_F(PortOnSim, ReceivedBytesReachTheQueueBeforeTheNotification) {
  std::string seenInHandler;
  port.OnCommNotify = [&](TObject*, int type) {
    if (type & EV_RXCHAR) {
      char buf[64];
      const int n = port.Read(buf, sizeof buf);
      seenInHandler.append(buf, static_cast<std::size_t>(n));
    }
    log.Add(type);
  };
  port.Open();
  sim->Inject(std::string("hi\0", 3));
  ASSERT_TRUE(log.WaitForBits(EV_RXCHAR | EV_RXFLAG)) << "a zero byte is the event character";
  EXPECT_EQ(seenInHandler, std::string("hi\0", 3));
  port.Close(); // before the handler's locals go
}

TEST_F(PortOnSim, ThreeThousandWaitingBytesWithRoomForTwoThousandFortySeven) {
  port.InQueue->fSetBufSize(2048);
  port.Open();
  sim->ClearCalls();
  std::string data(3000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<char>(i % 253);
  sim->Inject(data);
  ASSERT_TRUE(log.WaitForBits(EV_RXCHAR));
  std::vector<std::string> reads;
  for (const auto& call : sim->Calls())
    if (call.rfind("ReadFile", 0) == 0)
      reads.push_back(call);
  EXPECT_EQ(reads, (std::vector<std::string>{"ReadFile 2048", "ReadFile 952"}));
  EXPECT_EQ(ReadPort(port, 2047, 100), data.substr(0, 2047));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int rxNotifications = 0;
  for (const auto& e : log.Entries())
    rxNotifications += e != "56" && e != "AfterOpen" && (std::stoi(e) & EV_RXCHAR);
  EXPECT_EQ(rxNotifications, 1);
}

TEST_F(PortOnSim, TransmitEmptyWakesTheWriterButIsHiddenWhileInputWaits) {
  port.Open();
  port.InQueue->In("x", 1); // unread input
  sim->HoldTransmit(true);
  port.Write("abc", 3);
  ASSERT_TRUE(sim->WaitWritten(3, 3000));
  log.Clear();
  sim->HoldTransmit(false);
  ASSERT_TRUE(log.WaitFor([](const auto& e) { return !e.empty(); }));
  EXPECT_EQ(log.Entries().front(), "0") << "EV_TXEMPTY removed";
  char c;
  port.Read(&c, 1);
  port.Write("d", 1);
  ASSERT_TRUE(log.WaitForBits(EV_TXEMPTY))
      << "shown again once the input is read; got " << ::testing::PrintToString(log.Entries())
      << " written " << sim->Written();
}

TEST_F(PortOnSim, HardwareFlowControlHoldsTheWriterWhileCtsIsOff) {
  port.fSetFCtrl(TComm32::fcRtsCts);
  sim->SetModemStatus(0); // CTS off
  port.Open();
  std::string data(3000, 'q');
  port.Write(data.data(), 3000);
  ASSERT_TRUE(sim->WaitWritten(port.HwOutSize, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(sim->Written().size(), port.HwOutSize) << "the driver is full while CTS is off";
  log.Clear();
  sim->SetModemStatus(MS_CTS_ON);
  ASSERT_TRUE(log.WaitForBits(EV_CTS | EV_TXEMPTY));
  ASSERT_TRUE(sim->WaitWritten(3000, 3000));
  EXPECT_EQ(sim->Written(), data);
  EXPECT_EQ(port.ModemStatus & MS_CTS_ON, MS_CTS_ON);
}

TEST_F(PortOnSim, RingEverySixteenTicksWithoutCarrierNeverWithIt) {
  sim->SetModemStatus(MS_RING_ON);
  port.Open();
  // 16 ticks of 200 ms: the first ring after about 3.2 s, the next 3.2 s later.
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(log.WaitForBits(EV_RING, 6000));
  const auto first = std::chrono::steady_clock::now() - start;
  // (2.9 s: a wait may end a clock tick early, as Windows' do.)
  EXPECT_GE(first, std::chrono::milliseconds(2900));
  log.Clear();
  ASSERT_TRUE(log.WaitForBits(EV_RING, 6000));
  const auto second = std::chrono::steady_clock::now() - start;
  EXPECT_GE(second - first, std::chrono::milliseconds(2900));

  sim->SetModemStatus(MS_RING_ON | MS_RLSD_ON);
  ASSERT_TRUE(log.WaitForBits(EV_RLSD));
  log.Clear();
  std::this_thread::sleep_for(std::chrono::milliseconds(3600));
  for (const auto& e : log.Entries())
    EXPECT_EQ(std::stoi(e) & EV_RING, 0) << "a ring with carrier on";
}

// The timer finds a carrier drop that the reader missed within one tick of
// 200 ms, whether the driver tells of the change or must be asked; where it
// tells, the timer sleeps once the ring count is full and nothing changes.
TEST_F(PortOnSim, CarrierDropSeenByTheTimerWhichSleepsWhereTheDriverTells) {
  for (const ModemWatch watch : {ModemWatch::Driver, ModemWatch::Polling}) {
    SCOPED_TRACE(watch == ModemWatch::Driver ? "driver tells" : "polled");
    sim->SetModemWatch(watch);
    sim->SetModemStatus(MS_RLSD_ON);
    port.Open();
    EXPECT_EQ(port.ModemStatus & MS_RLSD_ON, MS_RLSD_ON);
    std::this_thread::sleep_for(std::chrono::milliseconds(3300)); // the ring count fills
#ifndef _WIN32 // the timer's wake-ups are counted in /proc
    const long before = ThreadSwitches("vx-tm COM2");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long ticks = ThreadSwitches("vx-tm COM2") - before;
    if (watch == ModemWatch::Driver)
      EXPECT_LE(ticks, 1) << "the timer ticks while nothing can change";
    else
      EXPECT_GE(ticks, 4) << "the timer must poll a driver that does not tell";
#endif

    sim->Fail("GetCommModemStatus"); // the reader, and a timer woken now, cannot see it ...
    sim->SetModemStatus(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    sim->Fail("GetCommModemStatus", false); // ... the next tick does
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([&] { return (port.ModemStatus & MS_RLSD_ON) == 0; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(600));
    port.Close();
  }
}

TEST_F(PortOnSim, HandlerThatThrowsDoesNotStopTheReader) {
  int calls = 0;
  port.OnCommNotify = [&](TObject*, int type) {
    ++calls;
    log.Add(type);
    throw std::runtime_error("handler failure");
  };
  port.AfterOpen = [](TObject*) { throw 1; };
  port.Open();
  sim->Inject("a");
  ASSERT_TRUE(log.WaitForBits(EV_RXCHAR));
  sim->InjectLineError();
  ASSERT_TRUE(log.WaitForBits(EV_ERR));
  EXPECT_TRUE(port.Active);
  port.Close(); // before the handler's locals go
}

TEST_F(PortOnSim, UnpluggedDeviceReportsOnceAndClosesInTime) {
  port.Open();
  sim->Inject("abc");
  ASSERT_TRUE(log.WaitForBits(EV_RXCHAR));
  sim->Unplug();
  ASSERT_TRUE(log.WaitForBits(EV_ERR));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  int errors = 0;
  for (const auto& e : log.Entries())
    errors += e != "AfterOpen" && e != "56" && (std::stoi(e) & EV_ERR) ? 1 : 0;
  EXPECT_EQ(errors, 1);
  EXPECT_LE(sim->WaitCount(), 4) << "no spinning on a dead line";
  EXPECT_TRUE(port.Active) << "the owner decides when to close";
  const auto start = std::chrono::steady_clock::now();
  port.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
}

TEST_F(PortOnSim, FailingWaitsDoNotSpin) {
  port.Open();
  sim->Fail("WaitCommEvent");
  sim->Inject("x"); // ends the wait in progress; the next ones fail
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_LT(sim->WaitCount(), 60) << "about one failed wait per 10 ms";
  EXPECT_TRUE(log.WaitFor([](const auto& e) { return std::count(e.begin(), e.end(), "0") > 0; }))
      << "each failed wait is notified with 0";
}

TEST_F(PortOnSim, CloseFromTheReadersOwnHandlerRaisesCode13) {
  LangGuard lang(TLumaroFuncs::TAppLang::ltEnglish);
  int code = 0;
  port.OnCommNotify = [&](TObject*, int type) {
    if (!(type & EV_RXCHAR))
      return;
    try {
      port.Close();
    } catch (const EComm32Error& e) {
      code = e.ErrorCode;
    }
    log.Add("closed");
  };
  port.Open();
  sim->Inject("x");
  ASSERT_TRUE(log.WaitFor(
      [](const auto& e) { return std::find(e.begin(), e.end(), "closed") != e.end(); }));
  EXPECT_EQ(code, EComm32Error::ecCloseReadThread);
  EXPECT_FALSE(port.Active);
  EXPECT_TRUE(Eventually([&] { return !sim->IsOpen(); }))
      << "the device closes once the reader has let go";
}
