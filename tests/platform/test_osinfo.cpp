#include "platform/osinfo.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace platform;

namespace {

class FixtureRoot {
public:
  FixtureRoot() {
    root_ = fs::temp_directory_path() /
            ("vexil-osinfo-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  ~FixtureRoot() { fs::remove_all(root_); }
  void write(const std::string& rel, const std::string& text) {
    fs::create_directories((root_ / rel).parent_path());
    std::ofstream(root_ / rel) << text;
  }
  std::string path() const { return root_.string(); }

private:
  fs::path root_;
};

} // namespace

TEST(OsInfo, KernelReleaseNumbers) {
  std::uint32_t a = 9, b = 9, c = 9;
  ParseKernelRelease("6.1.0-18-amd64", a, b, c);
  EXPECT_EQ((std::vector<std::uint32_t>{a, b, c}), (std::vector<std::uint32_t>{6, 1, 0}));
  ParseKernelRelease("5.15", a, b, c);
  EXPECT_EQ((std::vector<std::uint32_t>{a, b, c}), (std::vector<std::uint32_t>{5, 15, 0}));
  ParseKernelRelease("6.8-rc2", a, b, c);
  EXPECT_EQ((std::vector<std::uint32_t>{a, b, c}), (std::vector<std::uint32_t>{6, 8, 0}));
  ParseKernelRelease("4.19.325-cip", a, b, c);
  EXPECT_EQ((std::vector<std::uint32_t>{a, b, c}), (std::vector<std::uint32_t>{4, 19, 325}));
  ParseKernelRelease("", a, b, c);
  EXPECT_EQ((std::vector<std::uint32_t>{a, b, c}), (std::vector<std::uint32_t>{0, 0, 0}));
}

TEST(OsInfo, OsReleaseQuoting) {
  const std::string text = "NAME=\"Debian GNU/Linux\"\n"
                           "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
                           "ID=debian\n"
                           "VERSION='12 (it\\'s) \"x\"'\n"
                           "HOME_URL=\"https://x/\\\"q\\\"\"\n"
                           "# PRETTY_NAME=commented out\n";
  EXPECT_EQ(OsReleaseValue(text, "PRETTY_NAME"), "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(OsReleaseValue(text, "ID"), "debian");
  EXPECT_EQ(OsReleaseValue(text, "HOME_URL"), "https://x/\"q\"");
  EXPECT_EQ(OsReleaseValue(text, "NAME"), "Debian GNU/Linux") << "not PRETTY_NAME's tail";
  EXPECT_EQ(OsReleaseValue(text, "MISSING"), "");
}

TEST(OsInfo, RecordFromFixtureTree) {
  FixtureRoot root;
  root.write("proc/sys/kernel/osrelease", "6.1.0-18-amd64\n");
  root.write("usr/lib/os-release", "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n");
  OsVersionRecord record;
  ASSERT_TRUE(GetOsVersionRecord(record, root.path()));
  EXPECT_EQ(record.OsName, "Linux");
  EXPECT_EQ(record.MajorVersion, 6u);
  EXPECT_EQ(record.MinorVersion, 1u);
  EXPECT_EQ(record.BuildNumber, 0u);
  EXPECT_EQ(record.CSDVersion, "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(record.RegisteredOwner, "");

  // etc/os-release wins over usr/lib/os-release.
  root.write("etc/os-release", "PRETTY_NAME=Custom\n");
  ASSERT_TRUE(GetOsVersionRecord(record, root.path()));
  EXPECT_EQ(record.CSDVersion, "Custom");
}

TEST(OsInfo, MissingKernelReleaseFailsButKeepsTheDistribution) {
  FixtureRoot root;
  root.write("etc/os-release", "PRETTY_NAME=\"Somewhere 1\"\n");
  OsVersionRecord record;
  EXPECT_FALSE(GetOsVersionRecord(record, root.path()));
  EXPECT_EQ(record.CSDVersion, "Somewhere 1");
}

TEST(OsInfo, RunningSystemHasAKernelRelease) {
  OsVersionRecord record;
  ASSERT_TRUE(GetOsVersionRecord(record));
  EXPECT_GE(record.MajorVersion, 3u);
}
