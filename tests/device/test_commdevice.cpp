// The comm device component: properties, routing, and notifications carried
// to the creating thread.
#include <QCoreApplication>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/Hxcommdevice.h"
#include "platform/memory.h"
#include "platform/serial_sim.h"
#include "tests/support/lang_guard.h"
#include "tests/support/notify_log.h"

using namespace LumaroComm32;
using namespace platform;
using Dev = THxCustomCommDevice;

namespace {

class Device : public ::testing::Test {
protected:
  void SetUp() override {
    sim = line.Create("COM2");
    dev.OnCommNotify = [this](TObject* sender, int type) {
      EXPECT_EQ(sender, &dev);
      log.Add("comm " + std::to_string(type));
    };
    dev.OnPackage = [this](TObject* sender, int type) {
      EXPECT_EQ(sender, &dev);
      log.Add("package " + std::to_string(type));
    };
  }
  void TearDown() override { QCoreApplication::processEvents(); }

  // Runs the event loop until the log holds the entry or time is up.
  bool waitFor(const std::string& entry, int ms = 3000) {
    return QTest::qWaitFor(
        [&] {
          const auto e = log.Entries();
          return std::find(e.begin(), e.end(), entry) != e.end();
        },
        ms);
  }

  SimLine line;
  std::shared_ptr<SimPort> sim;
  NotifyLog log;
  THxCommDevice dev{nullptr};
};

} // namespace

TEST_F(Device, NewComponentDefaults) {
  EXPECT_FALSE(dev.fGetActive());
  EXPECT_EQ(dev.fGetPort(), 2);
  EXPECT_EQ(dev.fGetBaud(), Dev::br115200);
  EXPECT_EQ(dev.fGetParity(), Dev::ptNoParity);
  EXPECT_EQ(dev.fGetByteSize(), 8);
  EXPECT_EQ(dev.fGetStopBits(), Dev::sbOneStopBit);
  EXPECT_EQ(dev.fGetFlCtrl(), Dev::fcNone);
  EXPECT_EQ(dev.fGetAutAns(), 0);
  EXPECT_EQ(dev.fGetInBufSize(), 8192);
  EXPECT_EQ(dev.fGetOutBufSize(), 8192);
  EXPECT_EQ(dev.fGetHwInSize(), 1200);
  EXPECT_EQ(dev.fGetHwOutSize(), 1200);
  EXPECT_EQ(dev.fGetQSize(), 16);
  EXPECT_EQ(dev.fGetPkgSz(), 4096);
  EXPECT_EQ(dev.fGetPkgType(), cptCompatiblePkg);
  EXPECT_EQ(dev.fGetPkgInterval(), 50);
  EXPECT_FALSE(dev.UsePackage());
  EXPECT_TRUE(dev.SyncEvents());
  EXPECT_EQ(dev.FrameSettings()->fGetFrameHead(), 235);
  EXPECT_EQ(dev.FrameSettings()->fGetFrameTail(), 238);
  EXPECT_EQ(dev.FrameSettings()->fGetFrameCtrl(), 236);
  EXPECT_TRUE(dev.FrameSettings()->fGetDblFrMark());
  EXPECT_EQ(dev.fGetHandle(), -1);
  EXPECT_EQ(dev.ComponentState, 0u);
}

TEST_F(Device, EnumerationsMapAndFallBack) {
  dev.fSetBaud(Dev::br19200);
  EXPECT_EQ(dev.fGetBaud(), Dev::br19200);
  dev.fSetBaud(static_cast<Dev::TBaudRate>(15));
  EXPECT_EQ(dev.fGetBaud(), Dev::br115200);
  dev.fSetBaud(Dev::br110);
  EXPECT_EQ(dev.fGetBaud(), Dev::br110);
  dev.fSetParity(static_cast<Dev::TParity>(9));
  EXPECT_EQ(dev.fGetParity(), Dev::ptNoParity);
  dev.fSetParity(Dev::ptSpaceParity);
  EXPECT_EQ(dev.fGetParity(), Dev::ptSpaceParity);
  dev.fSetStopBits(Dev::sbOne_5_StopBits);
  EXPECT_EQ(dev.fGetStopBits(), Dev::sbOne_5_StopBits);
  dev.fSetStopBits(static_cast<Dev::TStopBits>(7));
  EXPECT_EQ(dev.fGetStopBits(), Dev::sbOneStopBit);
  dev.fSetByteSize(300);
  EXPECT_EQ(dev.fGetByteSize(), 255);
  dev.fSetByteSize(-4);
  EXPECT_EQ(dev.fGetByteSize(), 0);
  dev.fSetAutAns(1000);
  EXPECT_EQ(dev.fGetAutAns(), 255);
  dev.fSetFlCtrl(Dev::fcTranXonXoff);
  EXPECT_EQ(dev.fGetFlCtrl(), Dev::fcXonXoff);
  dev.fSetFlCtrl(Dev::fcRtsCtsXonXoff);
  EXPECT_EQ(dev.fGetFlCtrl(), Dev::fcRtsCtsXonXoff);
  dev.fSetFlCtrl(static_cast<Dev::TFlowControl>(8));
  EXPECT_EQ(dev.fGetFlCtrl(), Dev::fcNone);
  dev.fSetPort(12);
  EXPECT_EQ(dev.fGetPort(), 12);
}

TEST_F(Device, PortRateOutsideTheTableReadsAs115200) {
  struct WithPort : THxCommDevice {
    WithPort() : THxCommDevice(nullptr) {}
    using THxCommDevice::Port;
  } d;
  d.Port().Dcb.BaudRate = 200;
  EXPECT_EQ(d.fGetBaud(), Dev::br115200);
  d.fSetBaud(Dev::br56000);
  EXPECT_EQ(d.Port().Dcb.BaudRate, 56000u);
  d.fSetBaud(static_cast<Dev::TBaudRate>(15));
  EXPECT_EQ(d.Port().Dcb.BaudRate, 115200u);
}

TEST_F(Device, LineSettingWrittenWhileOpenLeavesItClosed) {
  using Setter = std::function<void()>;
  const Setter setters[] = {
      [&] { dev.fSetPort(2); },
      [&] { dev.fSetBaud(Dev::br9600); },
      [&] { dev.fSetParity(Dev::ptOddParity); },
      [&] { dev.fSetByteSize(7); },
      [&] { dev.fSetStopBits(Dev::sbTwoStopBit); },
      [&] { dev.fSetFlCtrl(Dev::fcRtsCts); },
      [&] { dev.fSetHwInSize(2000); },
      [&] { dev.fSetHwOutSize(2000); },
  };
  for (const auto& set : setters) {
    dev.fSetActive(true);
    ASSERT_TRUE(dev.fGetActive());
    set();
    EXPECT_FALSE(dev.fGetActive());
  }
  dev.fSetActive(true);
  dev.fSetAutAns(3);
  EXPECT_TRUE(dev.fGetActive()) << "auto-answer is no line setting";
}

TEST_F(Device, AgentStartUpOrderLeavesItActive) {
  dev.fSetActive(true);
  dev.fSetPkgType(cptFrameTimeout);
  dev.fSetUsePackage(true);
  EXPECT_TRUE(dev.fGetActive());
  EXPECT_TRUE(sim->IsOpen());
  // Reports go out bare.
  EXPECT_EQ(dev.Write("\xAA\x01\xC1\xEE", 4), 4);
  ASSERT_TRUE(sim->WaitWritten(4, 3000));
  EXPECT_EQ(sim->Written(), "\xAA\x01\xC1\xEE");
}

TEST_F(Device, UsePackageOffWhileOpenReadsThePortDirectly) {
  dev.fSetUsePackage(true);
  dev.fSetPkgType(cptFrameHeadTail);
  dev.fSetActive(true);
  sim->Inject("\xEB"
              "ab"
              "\xEE");
  ASSERT_TRUE(waitFor("package 1"));
  dev.fSetUsePackage(false);
  EXPECT_TRUE(dev.fGetActive()) << "the port stays open";
  char buf[8];
  EXPECT_EQ(dev.ReadPackage(buf, sizeof buf), 0) << "the packager's queue was discarded";
  log.Clear();
  sim->Inject("xyz");
  ASSERT_TRUE(waitFor("comm 1"));
  EXPECT_EQ(dev.Read(buf, sizeof buf), 3);
  EXPECT_EQ(std::string(buf, 3), "xyz");
}

TEST_F(Device, PackageShortcutsInTimeoutMode) {
  dev.fSetActive(true);
  dev.fSetPkgType(cptFrameTimeout);
  dev.fSetUsePackage(true);
  sim->Inject("\x01\x02");
  ASSERT_TRUE(waitFor("package 1"));
  char buf[8];
  EXPECT_TRUE(dev.ReadPackage(buf)) << "a non-empty package waits";
  EXPECT_TRUE(dev.ReadPackage(buf)) << "and is left queued";
  EXPECT_EQ(dev.Read(buf, sizeof buf), 2);
  EXPECT_FALSE(dev.WritePackage(buf)) << "no whole elements in this mode";
}

TEST_F(Device, OpeningAndClosingNotificationsInOrder) {
  dev.fSetUsePackage(true);
  dev.fSetActive(true);
  ASSERT_TRUE(waitFor("comm 56"));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"comm 56"}))
      << "the packager is switched on after the port opened";
  log.Clear();
  dev.fSetActive(false);
  ASSERT_TRUE(waitFor("comm 56"));
  EXPECT_EQ(log.Entries(), (std::vector<std::string>{"package 56", "comm 56"}));
}

TEST_F(Device, HandlerThatRunsAnEventLoopStillGetsTheNextNotifications) {
  // Posted events carry every pending notification; one that comes while a
  // handler waits in a loop of its own must be delivered in that loop.
  int packages = 0;
  bool nestedSawSecond = false;
  dev.OnPackage = [&](TObject*, int type) {
    if (!(type & EV_RXCHAR) || ++packages != 1)
      return;
    sim->Inject("\xEB"
                "y"
                "\xEE");
    nestedSawSecond = QTest::qWaitFor([&] { return packages == 2; }, 3000);
  };
  dev.fSetUsePackage(true);
  dev.fSetActive(true);
  sim->Inject("\xEB"
              "x"
              "\xEE");
  ASSERT_TRUE(QTest::qWaitFor([&] { return packages >= 1; }, 3000));
  EXPECT_TRUE(nestedSawSecond);
  dev.fSetActive(false);
  dev.OnPackage = nullptr;
}

TEST_F(Device, SilencePackageReachesTheCreatingThread) {
  Qt::HANDLE handlerThread = nullptr;
  TObject* sender = nullptr;
  dev.OnPackage = [&](TObject* s, int type) {
    handlerThread = QThread::currentThreadId();
    sender = s;
    log.Add("package " + std::to_string(type));
  };
  dev.fSetActive(true);
  dev.fSetPkgType(cptFrameTimeout);
  dev.fSetUsePackage(true);
  sim->Inject("\x01\x02\x03");
  ASSERT_TRUE(waitFor("package 1"));
  EXPECT_EQ(handlerThread, QThread::currentThreadId());
  EXPECT_EQ(sender, &dev);
  dev.fSetActive(false);
  QCoreApplication::processEvents();
  dev.OnPackage = nullptr; // before the handler's locals go
}

TEST_F(Device, WithoutSyncEventsHandlersRunOnEngineThreads) {
  std::atomic<bool> onOtherThread{false};
  const auto main = QThread::currentThreadId();
  dev.fSetSyncEvents(false);
  dev.OnCommNotify = [&](TObject*, int type) {
    if (type & EV_RXCHAR) {
      onOtherThread = QThread::currentThreadId() != main;
      log.Add("rx");
    }
  };
  dev.fSetActive(true);
  sim->Inject("q");
  ASSERT_TRUE(log.WaitFor([](const auto& e) { return !e.empty(); }));
  EXPECT_TRUE(onOtherThread);
  dev.fSetActive(false);
  dev.OnCommNotify = nullptr;
}

TEST_F(Device, FrameSettingsCopyThreeBytesButNotTheDoubleMark) {
  THxCommDevice other(nullptr);
  other.FrameSettings()->fSetFrameHead(1);
  other.FrameSettings()->fSetFrameTail(2);
  other.FrameSettings()->fSetFrameCtrl(3);
  other.FrameSettings()->fSetDblFrMark(false);
  dev.fSetFrameSettings(other.FrameSettings());
  EXPECT_EQ(dev.FrameSettings()->fGetFrameHead(), 1);
  EXPECT_EQ(dev.FrameSettings()->fGetFrameTail(), 2);
  EXPECT_EQ(dev.FrameSettings()->fGetFrameCtrl(), 3);
  EXPECT_TRUE(dev.FrameSettings()->fGetDblFrMark());
}

TEST_F(Device, DestroyingTheComponentRaisesNoEvent) {
  NotifyLog late;
  {
    THxCommDevice doomed(nullptr);
    doomed.OnCommNotify = [&](TObject*, int type) { late.Add(type); };
    doomed.OnPackage = [&](TObject*, int type) { late.Add(type); };
    doomed.BeforeClose = [&](TObject*) { late.Add("BeforeClose"); };
    doomed.fSetUsePackage(true);
    doomed.fSetActive(true);
    sim->Inject("\xEB"
                "z"
                "\xEE"); // notifications posted, not yet run
    QThread::msleep(50);
  }
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_TRUE(late.Entries().empty()) << ::testing::PrintToString(late.Entries());
}

TEST_F(Device, BufferSizeWrittenWhileOpenKeepsThePortOpen) {
  LangGuard lang(TLumaroFuncs::TAppLang::ltEnglish);
  dev.fSetActive(true);
  dev.fSetInBufSize(1024);
  EXPECT_EQ(dev.fGetInBufSize(), 1024);
  EXPECT_TRUE(dev.fGetActive());
  platform::fault::FailAllocation(1);
  try {
    dev.fSetOutBufSize(1 << 20);
    FAIL() << "no error";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecOutOfMemory);
  }
  EXPECT_EQ(dev.fGetOutBufSize(), 8192);
  EXPECT_TRUE(dev.fGetActive()) << "open again after the failed resize";
  dev.Write("ok", 2);
  EXPECT_TRUE(sim->WaitWritten(2, 3000));
}

TEST_F(Device, ModemLinesAndRunTimeProperties) {
  sim->SetModemStatus(MS_CTS_ON | MS_RLSD_ON);
  dev.fSetActive(true);
  EXPECT_EQ(dev.fGetModemStatus(), 0x09);
  EXPECT_TRUE(dev.fGetCTS());
  EXPECT_FALSE(dev.fGetDSR());
  EXPECT_FALSE(dev.fGetRING());
  EXPECT_TRUE(dev.fGetRLSD());
  EXPECT_TRUE(dev.fGetDTR());
  dev.fSetDTR(false);
  EXPECT_FALSE(dev.fGetDTR());
  dev.fSetDisableWrite(true);
  EXPECT_EQ(dev.Write("x", 1), 0);
  EXPECT_EQ(dev.Command("AT\r"), 3);
  EXPECT_NE(dev.fGetHandle(), -1);
  EXPECT_EQ(dev.fGetInQueue()->BufSize, 8192);
}
