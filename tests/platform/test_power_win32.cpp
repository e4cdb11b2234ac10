// The power path on Windows with its stand-in command: never ExitWindowsEx
// here, VEXIL_POWER_COMMAND is set by every test.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/power.h"

using namespace platform;

// The command runs with "poweroff" or "reboot" and its failures are told:
// a status other than 0, a program that cannot be run.
TEST(WindowsPower, TheStandInCommandRunsAndItsFailuresAreTold) {
  ASSERT_NE(std::getenv("VEXIL_POWER_COMMAND"), nullptr) << "tests never power anything off";
  const std::string saved = std::getenv("VEXIL_POWER_COMMAND");
  const std::string log = "power-test.log";
  std::remove(log.c_str());
  _putenv_s("VEXIL_POWER_LOG", log.c_str());
  // The build's path, as Wine shows the whole file system: drive Z.
  std::string recorder = std::string("Z:") + POWER_RECORDER;
  for (char& c : recorder)
    c = c == '/' ? '\\' : c;
  _putenv_s("VEXIL_POWER_COMMAND", recorder.c_str());
  EXPECT_EQ(DoPowerAction(PowerAction::Reboot), "");
  EXPECT_EQ(DoPowerAction(PowerAction::PowerOff), "");
  std::stringstream text;
  text << std::ifstream(log).rdbuf();
  EXPECT_EQ(text.str(), "reboot\npoweroff\n");

  _putenv_s("VEXIL_POWER_EXIT", "3");
  EXPECT_NE(DoPowerAction(PowerAction::Reboot).find("exited with status 3"), std::string::npos);
  _putenv_s("VEXIL_POWER_EXIT", "");
  _putenv_s("VEXIL_POWER_COMMAND", "C:\\no\\such\\program.exe");
  EXPECT_NE(DoPowerAction(PowerAction::Reboot).find("cannot run VEXIL_POWER_COMMAND"),
            std::string::npos);
  _putenv_s("VEXIL_POWER_COMMAND", saved.c_str());
  std::remove(log.c_str());
}
