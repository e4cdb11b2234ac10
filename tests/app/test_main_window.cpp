// The main window on the simulated line: start-up, the command packets and
// the buttons, driven on Qt's offscreen platform.
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "app/Unit1.h"
#include "app/Unit1_window.h"
#include "platform/serial_sim.h"
#include "tests/support/env_guard.h"
#include "tests/support/notify_log.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace platform;

namespace {

class MainWindow : public ::testing::Test {
protected:
  void SetUp() override {
    sim = line.Create("COM2");
    dir = tmp.path();
#ifdef _WIN32
    // The build's recorder, as Wine shows the file system: drive Z.
    std::string recorder = std::string("Z:") + POWER_RECORDER;
    std::replace(recorder.begin(), recorder.end(), '/', '\\');
    env.set("VEXIL_POWER_COMMAND", recorder);
    env.set("VEXIL_POWER_LOG", (dir / "log").string());
#else
    const fs::path recorder = dir / "record";
    std::ofstream(recorder) << "#!/bin/sh\necho \"$1\" >> '" << (dir / "log").string() << "'\n";
    fs::permissions(recorder, fs::perms::owner_all);
    env.set("VEXIL_POWER_COMMAND", recorder.string());
#endif
    AnsiString error;
    ASSERT_TRUE(form.FormCreate(error)) << error;
  }
  void TearDown() override {
    form.FormClose();
    WaitForPowerAction();
  }
  std::string power() {
    std::ifstream in(dir / "log");
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  QStringList lines(QPlainTextEdit* pane) {
    return pane->toPlainText().split('\n', Qt::SkipEmptyParts);
  }
  // Sends a package to the agent and gives the line the silence that closes
  // it and the window the time to handle it.
  void receive(const std::string& bytes) {
    sim->Inject(bytes);
    QTest::qWait(300);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.com->ReadPackage(nullptr, 0) == 0; }, 3000));
    QTest::qWait(20);
  }
  // The power actions run in a child process: give it time to write.
  bool waitPower(const std::string& expected) {
    return QTest::qWaitFor([&] { return power() == expected; }, 3000);
  }

  SimLine line;
  std::shared_ptr<SimPort> sim;
  fs::path dir;
  TempDir tmp{"vexil-form"};
  EnvGuard env;
  TForm1 form;
  // The debug window's panes and buttons (the window library's part).
  std::unique_ptr<TForm1Window> window = std::make_unique<TForm1Window>(form);
};

} // namespace

TEST_F(MainWindow, StartsOnComTwoWithPackagesCutBySilence) {
  EXPECT_TRUE(form.com->fGetActive());
  EXPECT_EQ(form.com->fGetPort(), 2);
  EXPECT_EQ(form.com->fGetBaud(), THxCustomCommDevice::br19200);
  EXPECT_EQ(form.com->fGetPkgType(), LumaroComm32::cptFrameTimeout);
  EXPECT_TRUE(form.com->UsePackage());
  EXPECT_TRUE(form.Timer2->Enabled());
  EXPECT_EQ(form.Timer2->Interval(), 3000);
  EXPECT_FALSE(form.Timer1->Enabled());
}

// A power program that takes its time does not hold the window thread: the
// timers (and so the reports) go on while it runs.
TEST_F(MainWindow, PowerActionsRunOffTheWindowThread) {
#ifdef _WIN32
  env.set("VEXIL_POWER_DELAY_MS", "2000");
#else
  const fs::path slow = dir / "slow-record";
  std::ofstream(slow) << "#!/bin/sh\nsleep 2\necho \"$1\" >> '" << (dir / "log").string() << "'\n";
  fs::permissions(slow, fs::perms::owner_all);
  env.set("VEXIL_POWER_COMMAND", slow.string());
#endif
  const auto start = std::chrono::steady_clock::now();
  sim->Inject("\xAA\xCC\xC2\xEE");
  int ticks = 0;
  QTimer tick;
  QObject::connect(&tick, &QTimer::timeout, [&] { ++ticks; });
  tick.start(100);
  QTest::qWait(1500);
  EXPECT_GE(ticks, 10) << "the window thread stood still while the power program ran";
  EXPECT_EQ(power(), "") << "the program has not finished yet";
  EXPECT_TRUE(waitPower("reboot\n"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(MainWindow, CommandsInNormalOperation) {
  receive("\xAA\xCC\xC1\xEF"); // wrong end mark
  receive("\xAB\xCC\xC1\xEE"); // wrong start mark
  receive("\xAA\xCC\xB1\xEE"); // USB change: nothing at all
  receive("\xAA\xCC\xC1");     // three bytes: the fourth is absent
  EXPECT_EQ(power(), "");
  receive("\xAA\xCC\xC1\xEE");
  EXPECT_TRUE(waitPower("poweroff\n"));
  std::string forty = "\xAA\xFF\xC2\xEE" + std::string(36, 'x');
  receive(forty);
  EXPECT_TRUE(waitPower("poweroff\nreboot\n"));
  EXPECT_TRUE(lines(window->memo1).isEmpty()) << "nothing is logged without -d";
}

TEST_F(MainWindow, CommandsInDebugModeAreOnlyLogged) {
  form.debugMode = 1;
  receive("\xAA\xCC\xC1\xEE");
  const QStringList expected = {"receive:\xC2\xAA\xC3\x8C\xC3\x81\xC3\xAE",
                                "receive byte:4",
                                "receive:-86",
                                "receive:-52",
                                "receive:-63",
                                "receive:-18",
                                "should receive:170",
                                "should receive:204",
                                "should receive:193",
                                "should receive:238",
                                "sizeof char:1",
                                "******system halt*********"};
  const QStringList got = lines(window->memo1);
  ASSERT_EQ(got.size(), expected.size()) << got.join("|").toStdString();
  for (int i = 1; i < got.size(); ++i)
    EXPECT_EQ(got[i], expected[i]) << i;
  receive("\xAA\xCC\xC2\xEE");
  EXPECT_EQ(lines(window->memo1).last(), "******system reboot*********");
  EXPECT_EQ(power(), "") << "the node stays up";
}

TEST_F(MainWindow, OtherNotifyTypesLeaveThePackageQueued) {
  form.debugMode = 1;
  form.com->OnPackage = nullptr; // hold the package back from the window
  sim->Inject("\xAA\xCC\xC2\xEE");
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.com->ReadPackage(nullptr, 0) == 4; }, 3000));
  form.comPackage(nullptr, 4);
  form.comPackage(nullptr, 0x38);
  EXPECT_EQ(form.com->ReadPackage(nullptr, 0), 4);
  EXPECT_TRUE(lines(window->memo1).isEmpty());
  form.comPackage(nullptr, 1);
  EXPECT_EQ(form.com->ReadPackage(nullptr, 0), 0);
  EXPECT_EQ(lines(window->memo1).size(), 12);
}

TEST_F(MainWindow, ReportsAndTheirLogLines) {
  form.debugMode = 1;
  form.Timer2Timer(nullptr);
  EXPECT_EQ(lines(window->memo1).size(), 15);
  EXPECT_TRUE(lines(window->memo1)[0].startsWith("cpunum:"));
  EXPECT_EQ(lines(window->memo1)[13], "====>send com2  200");
  EXPECT_EQ(lines(window->memo1)[14], QString(44, '*'));
  EXPECT_EQ(form.Timer2->Interval(), 5000) << "after the first inventory tick";
  EXPECT_FALSE(form.Timer1->Enabled());
  form.Timer2Timer(nullptr);
  EXPECT_TRUE(form.Timer1->Enabled()) << "from the second inventory tick on";
  form.Timer1Timer(nullptr);
  const QStringList load = lines(window->memo);
  ASSERT_EQ(load.size(), 19);
  EXPECT_TRUE(load[0].startsWith("memrate:"));
  EXPECT_TRUE(load[1].startsWith("cpurate0"));
  EXPECT_TRUE(load[16].startsWith("cpurate15"));
  EXPECT_EQ(load[17], "====>send com2  20");
  ASSERT_TRUE(sim->WaitWritten(420, 3000));
  EXPECT_EQ(sim->Written().substr(400, 2), "\xAA\xA1");
}

TEST_F(MainWindow, ButtonsRunPauseClearHide) {
  form.debugMode = 1;
  form.Button5Click(nullptr); // Pause
  EXPECT_FALSE(form.Timer1->Enabled());
  EXPECT_FALSE(form.Timer2->Enabled());
  form.Button6Click(nullptr); // Run
  EXPECT_TRUE(form.Timer1->Enabled()) << "Run starts the load timer at once";
  EXPECT_EQ(form.Timer2->Interval(), 3000) << "Pause and Run keep the interval";
  form.Timer2Timer(nullptr);
  form.Timer1Timer(nullptr);
  form.Button4Click(nullptr); // Hide
  EXPECT_EQ(form.debugMode, 0);
  EXPECT_TRUE(lines(window->memo).isEmpty());
  EXPECT_EQ(lines(window->memo1).size(), 15) << "Hide leaves the right pane";
  form.Timer2Timer(nullptr);
  EXPECT_EQ(lines(window->memo1).size(), 15) << "and stops all further logging";
  form.Button2Click(nullptr); // Clear
  EXPECT_TRUE(lines(window->memo1).isEmpty());
}

TEST(DebugSwitch, AnywhereInTheArgumentText) {
  const auto has = [](std::vector<std::string> args) {
    std::vector<char*> argv{const_cast<char*>("vexil-agent")};
    for (auto& a : args)
      argv.push_back(a.data());
    return HasDebugSwitch(static_cast<int>(argv.size()), argv.data());
  };
  EXPECT_TRUE(has({"-d"}));
  EXPECT_TRUE(has({"a", "-dx", "b"}));
  EXPECT_TRUE(has({"--d"}));
  EXPECT_TRUE(has({"x-dy"}));
  EXPECT_FALSE(has({"-D"}));
  EXPECT_FALSE(has({"/d"}));
  EXPECT_FALSE(has({}));
  EXPECT_FALSE(has({"-", "d"})) << "the arguments are joined by spaces";
}
