#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "comm/Tcomm32.h"
#include "tests/support/port_dir.h"

using LumaroComm32::TCommSerialPortInfo;
namespace fs = std::filesystem;

TEST(PortList, PortNoReadsTheNumberAfterCom) {
  EXPECT_EQ(TCommSerialPortInfo::PortNo("com3"), 3);
  EXPECT_EQ(TCommSerialPortInfo::PortNo("Com3"), 3);
  EXPECT_EQ(TCommSerialPortInfo::PortNo("COM10"), 10);
  EXPECT_EQ(TCommSerialPortInfo::PortNo("COM 5"), 5);
  EXPECT_EQ(TCommSerialPortInfo::PortNo("COM+7"), 7);
  EXPECT_EQ(TCommSerialPortInfo::PortNo("COM3:"), 3);
  EXPECT_EQ(TCommSerialPortInfo::PortNo("COM12"), 12);
  for (const char* no :
       {"COM", "COM0", "COM-1", "LPT1", "XCOM1", "", "CO", "COMx", "COM99999999999999999999"})
    EXPECT_EQ(TCommSerialPortInfo::PortNo(no), 0) << no;
  EXPECT_EQ(TCommSerialPortInfo::PortName(0), "COM0");
  EXPECT_EQ(TCommSerialPortInfo::PortName(12), "COM12");
}

TEST(PortList, SortedByNumberFromThePortDirectory) {
  PortDir dir({"COM3", "COM1", "COM10", "COM2.bak", "README", "COM0"});
  TCommSerialPortInfo info;
  EXPECT_TRUE(info.FromSystem);
  EXPECT_EQ(info.PortList, (std::vector<std::string>{"COM1", "COM3", "COM10"}));
  const std::vector<std::string> list{"COM10", "COM9"};
  EXPECT_GT(TCommSerialPortInfo::PortListSortCompare(list, 0, 1), 0);
}

TEST(PortList, NothingFoundGivesComOneToFour) {
  PortDir dir({"ttyUSB0", "COM0"});
  TCommSerialPortInfo info;
  EXPECT_FALSE(info.FromSystem);
  EXPECT_EQ(info.PortList, (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4"}));
}

TEST(PortList, SystemSourceWithoutPortDirectory) {
  const fs::path root = fs::temp_directory_path() / ("vexil-sys-" + std::to_string(::getpid()));
  fs::remove_all(root);
  for (const char* tty : {"ttyS0", "ttyS1", "ttyS4"})
    fs::create_directories(root / "sys/class/tty" / tty);
  std::ofstream(root / "sys/class/tty/ttyS0/type") << "4\n";
  std::ofstream(root / "sys/class/tty/ttyS1/type") << "0\n"; // no UART behind it
  std::ofstream(root / "sys/class/tty/ttyS4/type") << "4\n";
  fs::create_directories(root / "dev/vexil");
  std::ofstream(root / "dev/vexil/COM7") << "";
  const char* old = std::getenv("VEXIL_PORT_DIR");
  const std::string saved = old ? old : "";
  unsetenv("VEXIL_PORT_DIR");
  auto names = platform::ListSerialPortNames(root.string());
  if (!saved.empty())
    setenv("VEXIL_PORT_DIR", saved.c_str(), 1);
  fs::remove_all(root);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"COM1", "COM5", "COM7"}));
}

TEST(PortList, DeviceNamesResolveThroughThePortDirectory) {
  PortDir dir({});
  const std::string base = std::getenv("VEXIL_PORT_DIR");
  EXPECT_EQ(platform::ResolveDeviceName("\\\\.\\COM2"), base + "/COM2");
  EXPECT_EQ(platform::ResolveDeviceName("COM12"), base + "/COM12");
  EXPECT_EQ(platform::ResolveDeviceName("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(platform::ComNumberOfDeviceName("\\\\.\\COM0"), 0);
}
