// The kernel-console guard on fixture trees, and what a failed power action
// says (always through VEXIL_POWER_COMMAND: nothing here powers anything off).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/files.h"

#include "platform/power.h"
#include "platform/serial.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace platform;

extern char** environ;

// The login-session scan reads every process's /proc files; processes that
// end while it reads them (the read then fails with ESRCH) are passed over,
// never thrown out of the agent or the exporter. Raced here against
// processes that start and end in a tight loop.
TEST(LoginSessionScan, ProcessesEndingDuringTheScanArePassedOver) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const std::string slave = ptsname(master);
  std::atomic<bool> stop{false};
  std::atomic<int> started{0};
  std::thread churn([&] {
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    while (!stop) {
      pid_t pid = -1;
      if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) == 0) {
        waitpid(pid, nullptr, 0);
        ++started;
      }
    }
  });
  int scans = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < end && !HasFailure()) {
    std::string holder = "?";
    EXPECT_NO_THROW(holder = TtySessionOf(slave)) << "scan " << scans;
    EXPECT_EQ(holder, "") << "nobody holds the pty";
    ++scans;
  }
  stop = true;
  churn.join();
  close(master);
  EXPECT_GT(started.load(), 0);
  std::string text;
  EXPECT_FALSE(ReadTextFile("/proc/999999999/stat", text));
  EXPECT_TRUE(ReadTextFile("/proc/self/stat", text));
  EXPECT_NE(text.find(')'), std::string::npos);
  std::fprintf(stderr, "%d scans while %d processes came and went\n", scans, started.load());
}

TEST(KernelConsole, FoundThroughLinksAndOnlyWhenActive) {
  TempDir root("vexil-console");
  fs::create_directories(root / "sys/class/tty/console");
  fs::create_directories(root / "dev");
  std::ofstream(root / "dev/ttyS0") << "";
  std::ofstream(root / "dev/ttyS1") << "";
  std::ofstream(root / "dev/tty0") << "";
  fs::create_directories(root / "dev/vexil");
  fs::create_symlink(root / "dev/ttyS0", root / "dev/vexil/COM1");
  const std::string r = root.path().string();

  EXPECT_EQ(KernelConsoleOf(r + "/dev/vexil/COM1", r), "") << "no console list: none";
  std::ofstream(root / "sys/class/tty/console/active") << "tty0 ttyS0\n";
  EXPECT_EQ(KernelConsoleOf(r + "/dev/vexil/COM1", r), "ttyS0") << "a link to the console";
  EXPECT_EQ(KernelConsoleOf(r + "/dev/ttyS0", r), "ttyS0");
  EXPECT_EQ(KernelConsoleOf(r + "/dev/ttyS1", r), "");
  EXPECT_EQ(KernelConsoleOf(r + "/dev/missing", r), "") << "a missing device is no console";
}

TEST(PowerAction, FailuresSayWhy) {
  EnvGuard env;
  TempDir dir("vexil-power");
  env.set("VEXIL_POWER_COMMAND", (dir / "missing").string());
  const std::string missing = DoPowerAction(PowerAction::Reboot);
  EXPECT_NE(missing.find("cannot run VEXIL_POWER_COMMAND"), std::string::npos) << missing;
  EXPECT_NE(missing.find("No such file or directory"), std::string::npos) << missing;

  const fs::path failing = dir / "failing";
  std::ofstream(failing) << "#!/bin/sh\nexit 3\n";
  fs::permissions(failing, fs::perms::owner_all);
  env.set("VEXIL_POWER_COMMAND", failing.string());
  EXPECT_EQ(DoPowerAction(PowerAction::PowerOff), failing.string() + " exited with status 3");

  env.set("VEXIL_POWER_COMMAND", "/bin/true");
  EXPECT_EQ(DoPowerAction(PowerAction::PowerOff), "");
}
