#include <gtest/gtest.h>

#include <string>

#include "base/Hx_base.h"

using namespace TLumaroFuncs;

namespace {

constexpr std::uint32_t NT = TSysInfo::VER_PLATFORM_WIN32_NT;
constexpr std::uint32_t W9X = TSysInfo::VER_PLATFORM_WIN32_WINDOWS;

std::string name(std::uint32_t platform, std::uint32_t major, std::uint32_t minor,
                 std::uint32_t build) {
  return AnsiString(TSysInfo::WindowsOsName(platform, major, minor, build));
}

platform::OsVersionRecord windows(std::uint32_t platform, std::uint32_t major, std::uint32_t minor,
                                  std::uint32_t build, const char* csd) {
  platform::OsVersionRecord r;
  r.PlatformId = platform;
  r.MajorVersion = major;
  r.MinorVersion = minor;
  r.BuildNumber = build;
  r.CSDVersion = csd;
  r.RegisteredOwner = "Owner";
  return r;
}

} // namespace

TEST(SysInfo, WindowsNamingRows) {
  EXPECT_EQ(name(NT, 5, 0, 2195), "Windows 2000");
  EXPECT_EQ(name(NT, 5, 1, 2600), "Windows XP");
  EXPECT_EQ(name(NT, 5, 2, 3790), "Windows 2003");
  EXPECT_EQ(name(NT, 4, 0, 1381), "Windows NT");
  EXPECT_EQ(name(NT, 6, 0, 6000), "Windows NT");
  EXPECT_EQ(name(NT, 10, 0, 19045), "Windows NT");
  EXPECT_EQ(name(W9X, 4, 0, 950), "Windows 95");
  EXPECT_EQ(name(W9X, 4, 0, 1110), "Windows 95");
  EXPECT_EQ(name(W9X, 4, 0, 1111), "Windows 95 OSR2");
  EXPECT_EQ(name(W9X, 4, 10, 1998), "Windows 98");
  EXPECT_EQ(name(W9X, 4, 10, 2222), "Windows 98 SE");
  EXPECT_EQ(name(W9X, 4, 90, 3000), "Windows ME");
  EXPECT_EQ(name(W9X, 3, 51, 0), "Windows");
  EXPECT_EQ(name(0, 4, 0, 950), "Windows 95") << "any non-NT platform";
}

TEST(SysInfo, LoadsOnceOnFirstRead) {
  int reads = 0;
  TSysInfo info([&](platform::OsVersionRecord& r) {
    ++reads;
    r = windows(NT, 5, 1, 2600, "Service Pack 2");
    return true;
  });
  EXPECT_EQ(reads, 0) << "nothing is read at construction";
  EXPECT_STREQ(info.OsName(), "Windows XP");
  EXPECT_EQ(info.MajorVersion(), 5);
  EXPECT_EQ(info.MinorVersion(), 1);
  EXPECT_EQ(info.BuildNumber(), 2600);
  EXPECT_STREQ(info.CSDVersion(), "Service Pack 2");
  EXPECT_STREQ(info.RegisteredOwner(), "Owner");
  EXPECT_STREQ(info.RegisteredOrganization(), "");
  EXPECT_EQ(reads, 1);
  info.fGetOsInfo();
  EXPECT_EQ(reads, 2) << "an explicit call reads again";
}

TEST(SysInfo, NonNtBuildIsCutToSixteenBitsAndHasNoServicePack) {
  TSysInfo info([](platform::OsVersionRecord& r) {
    r = windows(W9X, 4, 10, 0x040A08AE, " A"); // 2222 in the low half
    return true;
  });
  EXPECT_EQ(info.BuildNumber(), 2222);
  EXPECT_STREQ(info.OsName(), "Windows 98 SE");
  EXPECT_STREQ(info.CSDVersion(), "");
}

TEST(SysInfo, FailedVersionQueryStillReadsTheOwner) {
  TSysInfo info([](platform::OsVersionRecord& r) {
    r.RegisteredOwner = "Owner";
    r.MajorVersion = 7;
    return false;
  });
  EXPECT_STREQ(info.OsName(), "");
  EXPECT_EQ(info.MajorVersion(), 0);
  EXPECT_STREQ(info.RegisteredOwner(), "Owner");
}

TEST(SysInfo, LongTextsAreCutTo255Characters) {
  TSysInfo info([](platform::OsVersionRecord& r) {
    r.OsName = std::string(400, 'L');
    r.CSDVersion = std::string(300, 'c');
    r.RegisteredOrganization = std::string(1000, 'o');
    return true;
  });
  EXPECT_EQ(std::string(info.OsName()), std::string(255, 'L'));
  EXPECT_EQ(std::string(info.CSDVersion()), std::string(255, 'c'));
  EXPECT_EQ(std::string(info.RegisteredOrganization()), std::string(255, 'o'));
}

TEST(SysInfo, LinuxNamesItself) {
  TSysInfo info;
  EXPECT_STREQ(info.OsName(), "Linux");
  EXPECT_GE(info.MajorVersion(), 3);
  EXPECT_STREQ(info.RegisteredOwner(), "");
}
