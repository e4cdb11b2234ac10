// The kernel-console guard on fixture trees, and what a failed power action
// says (always through VEXIL_POWER_COMMAND: nothing here powers anything off).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/power.h"
#include "platform/serial.h"
#include "tests/support/env_guard.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using namespace platform;

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
