// The inventory report from fake figures, and the Linux figures from a
// fixture tree.
#include <gtest/gtest.h>

#include <linux/netlink.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "app/Unit1.h"
#include "tests/support/fake_figures.h"

namespace fs = std::filesystem;

namespace {

std::string field(const unsigned char* p, int offset, int width) {
  const char* s = reinterpret_cast<const char*>(p + offset);
  return std::string(s, strnlen(s, static_cast<std::size_t>(width)));
}

std::uint32_t u32(const unsigned char* p, int offset) {
  return p[offset] | p[offset + 1] << 8 | p[offset + 2] << 16 |
         static_cast<std::uint32_t>(p[offset + 3]) << 24;
}

platform::DiskGeometry disk(std::uint64_t bytes) {
  return platform::LinuxSystemFigures::GeometryOf(bytes, 512);
}

} // namespace

TEST(InventoryReport, ConstantBytes) {
  EXPECT_EQ(InventoryPacket[0], 0xAA);
  EXPECT_EQ(InventoryPacket[1], 0xA2);
  EXPECT_EQ(InventoryPacket[197], 0xFF);
  EXPECT_EQ(InventoryPacket[198], 0xFF);
  EXPECT_EQ(InventoryPacket[199], 0xEE);
}

TEST(InventoryReport, FieldsFromTheFigures) {
  FakeFigures f;
  f.cpus = 2;
  f.clockMHz = 2400;
  f.memory = {2147483648ull, 1};
  f.disks = {disk(160040000000ull)};
  f.hostName = "node-17.example.a-very-long-name";
  f.cards = {"10.0.0.5", "", "192.168.100.200", "10.9.9.9", "10.1.1.1"};
  f.cpuOk = true;
  f.cpu = {"GenuineIntel", 0x000906EA, 0x00100800};
  f.osOk = true;
  f.os.OsName = "Linux";
  f.os.KernelRelease = "6.1.0-18-amd64";
  unsigned char p[INVENTORY_PACKET_SIZE] = {};
  GetSysInventory(p);
  EXPECT_EQ(p[2], 2);
  EXPECT_EQ(p[3], 5) << "every card counts";
  EXPECT_EQ(p[4], 1);
  EXPECT_EQ(u32(p, 5), 2400u);
  EXPECT_EQ(u32(p, 9), 2097u) << "2 GiB in units of 1024000 bytes";
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p + 13), 8), std::string(" 160.0G\0", 8));
  EXPECT_EQ(field(p, 21, 16), "node-17.example");
  // Four slots: cards with an address first, in their order; the fifth
  // card's address takes the slot of the second, which has none.
  EXPECT_EQ(field(p, 37, 16), "10.0.0.5");
  EXPECT_EQ(field(p, 53, 16), "192.168.100.200");
  EXPECT_EQ(field(p, 69, 16), "10.9.9.9");
  EXPECT_EQ(field(p, 85, 16), "10.1.1.1");
  EXPECT_EQ(field(p, 101, 48), "Intel Xeon ") << "brand index 0";
  EXPECT_EQ(field(p, 149, 48), "Linux 6.1.0-18-amd64");

  // Six cards, the bond's two last: its address is reported, the count kept.
  f.cards = {"", "", "", "", "10.50.0.5", "10.50.0.5"};
  GetSysInventory(p);
  EXPECT_EQ(p[3], 6);
  EXPECT_EQ(field(p, 37, 16), "10.50.0.5");
  EXPECT_EQ(field(p, 53, 16), "10.50.0.5");
  EXPECT_EQ(field(p, 69, 16), "");
}

TEST(InventoryReport, NothingToCount) {
  FakeFigures f;
  f.cardsOk = false;
  unsigned char p[INVENTORY_PACKET_SIZE] = {};
  p[3] = 9;
  std::memset(p + 101, 'x', 96);
  GetSysInventory(p);
  EXPECT_EQ(p[2], 0);
  EXPECT_EQ(p[3], 9) << "kept when the cards cannot be listed";
  EXPECT_EQ(p[4], 0);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(p + 13), 8), std::string("   0.0G\0", 8));
  EXPECT_EQ(field(p, 101, 48), "") << "no identification instruction";
  EXPECT_EQ(field(p, 149, 48), "");
}

TEST(InventoryReport, ProcessorModelRows) {
  const auto intel = [](std::uint32_t sig, std::uint32_t brand) {
    return CpuModelText("GenuineIntel", sig, brand);
  };
  EXPECT_EQ(intel(0x6B4, 1), "Intel Celeron ");
  EXPECT_EQ(intel(0x686, 2), "Intel Pentium III ");
  EXPECT_EQ(intel(0x6B1, 3), "Intel PIII Xeon ");
  EXPECT_EQ(intel(0xF12, 8), "Intel Pentium 4 ");
  EXPECT_EQ(intel(0xF13, 8), "Intel Genuine ");
  EXPECT_EQ(intel(0xF24, 9), "Intel Pentium 4 ");
  EXPECT_EQ(intel(0xF29, 14), "Intel Xeon ");
  EXPECT_EQ(intel(0x906EA, 0), "Intel Xeon ");
  const auto amd = [](std::uint32_t sig) { return CpuModelText("AuthenticAMD", sig, 0); };
  EXPECT_EQ(amd(0x642), "AMD Athlon ");
  EXPECT_EQ(amd(0x670), "AMD Duron ");
  EXPECT_EQ(amd(0x662), "AMD AthlonXP ");
  EXPECT_EQ(amd(0x6A0), "AMD Athlon MP ");
  EXPECT_EQ(amd(0x650), "AMD Processor ");
  EXPECT_EQ(amd(0xF48), "AMD Athlon64 ");
  EXPECT_EQ(amd(0xF51), "AMD Opteron ");
  EXPECT_EQ(amd(0x100F22), "AMD Processor ") << "family 16: extended family not read";
  EXPECT_EQ(amd(0x500), "AMD Processor ");
  EXPECT_EQ(CpuModelText("CentaurHauls", 0x6F0, 0), "");
}

TEST(InventoryReport, OsRows) {
  EXPECT_EQ(OsText(0, 3, 1, ""), "Windows3.1");
  EXPECT_EQ(OsText(1, 4, 0, " A"), "Windows95");
  EXPECT_EQ(OsText(1, 4, 10, ""), "Windows98");
  EXPECT_EQ(OsText(2, 3, 51, ""), "WindowsNT3.51");
  EXPECT_EQ(OsText(2, 4, 0, "Service Pack 6a"), "WindowsNT4.0sp6a");
  EXPECT_EQ(OsText(2, 5, 0, ""), "Windows2000");
  EXPECT_EQ(OsText(2, 5, 0, "Service Pack 4"), "Windows2000 SP4");
  EXPECT_EQ(OsText(2, 5, 1, "Service Pack 2"), "WindowsXP SP2");
  EXPECT_EQ(OsText(2, 5, 2, ""), "Windows2003");
  EXPECT_EQ(OsText(2, 5, 3, ""), "");
  EXPECT_EQ(OsText(2, 5, 3, "Service Pack 1"), "1");
  EXPECT_EQ(OsText(2, 6, 0, "Service Pack 1"), "");
  EXPECT_EQ(OsText(3, 5, 0, ""), "");
}

TEST(SystemFigures, LinuxFixtureTree) {
  const fs::path root = fs::temp_directory_path() / ("vexil-fig-" + std::to_string(::getpid()));
  fs::remove_all(root);
  const auto write = [&](const std::string& rel, const std::string& text) {
    fs::create_directories((root / rel).parent_path());
    std::ofstream(root / rel) << text;
  };
  write("sys/devices/system/cpu/online", "0-2,5\n");
  write("sys/devices/system/cpu/cpu5/cpufreq/cpuinfo_max_freq", "3400000\n");
  write("sys/block/sda/size", "312581808\n");
  write("sys/block/sda/queue/logical_block_size", "512\n");
  write("sys/block/nvme0n1/size", "1000\n");
  write("sys/block/nvme0n1/queue/logical_block_size", "4096\n");
  write("sys/block/loop0/size", "100\n");
  write("sys/block/sr0/size", "100\n");
  write("sys/class/net/lo/ifindex", "1\n");
  write("sys/class/net/eth1/ifindex", "3\n");
  write("sys/class/net/eth1/device/vendor", "x");
  write("sys/class/net/eth0/ifindex", "2\n");
  write("sys/class/net/eth0/device/vendor", "x");
  write("proc/sys/kernel/hostname", "fixture-host\n");
  platform::LinuxSystemFigures f(root.string());
  unsigned count = 0;
  std::uint32_t mhz = 0;
  ASSERT_TRUE(f.GetProcessors(count, mhz));
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(mhz, 3400u) << "the last online processor's clock";
  const auto disks = f.GetDisks();
  ASSERT_EQ(disks.size(), 2u) << "loop and optical devices are no disks";
  EXPECT_EQ(disks[0].BytesPerSector, 4096u) << "nvme0n1 sorts first";
  EXPECT_EQ(disks[1].Cylinders, 312581808ull * 512 / (255 * 63 * 512));
  std::vector<std::string> cards;
  ASSERT_TRUE(f.GetNetworkCards(cards));
  EXPECT_EQ(cards.size(), 2u) << "lo has no device";
  EXPECT_EQ(f.GetComputerName(), "fixture-host");

  // A server's cards: eth0 in bond0 in bridge br0 (the address on br0),
  // eth1 with its own, eth2 in bond1 with a VLAN bond1.100 above it, eth3
  // with a VLAN of its own, eth4 with none anywhere. Interfaces without a
  // device are no cards.
  const auto link = [&](const std::string& from, const std::string& to) {
    fs::create_directories((root / "sys/class/net" / from).parent_path());
    fs::create_directory_symlink("../" + to, root / "sys/class/net" / from);
  };
  for (int i = 2; i <= 4; ++i) {
    write("sys/class/net/eth" + std::to_string(i) + "/ifindex", std::to_string(i + 2) + "\n");
    write("sys/class/net/eth" + std::to_string(i) + "/device/vendor", "x");
  }
  for (const char* virt : {"bond0", "br0", "bond1", "bond1.100", "eth3.20"})
    write(std::string("sys/class/net/") + virt + "/ifindex", "9\n");
  link("eth0/master", "bond0");
  link("eth0/upper_bond0", "bond0");
  link("bond0/master", "br0");
  link("bond0/upper_br0", "br0");
  link("eth2/master", "bond1");
  link("eth2/upper_bond1", "bond1");
  link("bond1/upper_bond1.100", "bond1.100");
  link("eth3/upper_eth3.20", "eth3.20");
  struct Addressed : platform::LinuxSystemFigures {
    using LinuxSystemFigures::LinuxSystemFigures;
    std::map<std::string, std::string> FirstIpv4Addresses() override {
      return {{"br0", "10.0.0.5"},
              {"eth1", "192.168.1.7"},
              {"bond1.100", "10.100.0.9"},
              {"eth3.20", "10.20.0.1"},
              {"lo", "127.0.0.1"}};
    }
  } server(root.string());
  ASSERT_TRUE(server.GetNetworkCards(cards));
  EXPECT_EQ(cards,
            (std::vector<std::string>{"10.0.0.5", "192.168.1.7", "10.100.0.9", "10.20.0.1", ""}));
  fs::remove_all(root);

  write("proc/cpuinfo", "processor : 0\ncpu MHz : 1995.312\nprocessor : 1\ncpu MHz : 2199.6\n");
  write("sys/devices/system/cpu/online", "0-1\n");
  platform::LinuxSystemFigures g(root.string());
  ASSERT_TRUE(g.GetProcessors(count, mhz));
  EXPECT_EQ(mhz, 2200u) << "no cpufreq: the last cpu MHz line, rounded";
  fs::remove_all(root);
}

// What the figures keep between reports is read again when the kernel tells
// of a change, and only then: an address added to a card, a disk announced
// by a uevent and a new host name all show in the next report. Runs in a
// network namespace of its own (a forked child), so that the address and
// the uevent stay there.
TEST(SystemFigures, ChangesShowInTheNextReport) {
  const fs::path root = fs::temp_directory_path() / ("vexil-changes-" + std::to_string(getpid()));
  fs::remove_all(root);
  const auto write = [&](const std::string& rel, const std::string& text) {
    fs::create_directories((root / rel).parent_path());
    std::ofstream(root / rel) << text;
  };
  write("sys/devices/system/cpu/online", "0\n");
  write("sys/class/net/lo/ifindex", "1\n");
  write("sys/class/net/lo/device/vendor", "x"); // lo stands in for a card
  write("sys/block/sda/size", "2000000\n");
  write("proc/sys/kernel/hostname", "before\n");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // No test macros here: the exit status and standard error say it all.
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
      _exit(77);
    // Root inside, so that ip keeps its capabilities across exec.
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    int failures = 0;
    const auto expect = [&](bool ok, const char* what) {
      if (!ok) {
        std::fprintf(stderr, "child: %s\n", what);
        ++failures;
      }
    };
    platform::LinuxSystemFigures figures(root.string());
    platform::SystemFigures* previous = platform::SetSystemFigures(&figures);
    unsigned char packet[INVENTORY_PACKET_SIZE] = {};
    GetSysInventory(packet);
    expect(packet[3] == 1 && field(packet, 37, 16).empty(), "one card, without an address");
    expect(packet[4] == 1 && field(packet, 21, 16) == "before", "one disk, the first name");

    // Unannounced, a disk is not looked for; announced, it is.
    write("sys/block/sdb/size", "4000000\n");
    GetSysInventory(packet);
    expect(packet[4] == 1, "the disks were read again unannounced");
    const int uevents = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_groups = 1;
    static const char ADD[] = "add@/devices/virtual/block/sdb\0ACTION=add\0"
                              "DEVPATH=/devices/virtual/block/sdb\0SUBSYSTEM=block\0SEQNUM=1";
    expect(sendto(uevents, ADD, sizeof ADD, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0,
           "the uevent could not be sent");
    expect(std::system("ip -4 addr add 10.9.8.7/32 dev lo") == 0, "ip addr add failed");
    write("proc/sys/kernel/hostname", "after\n");
    GetSysInventory(packet);
    expect(packet[4] == 2, "the announced disk is missing");
    expect(field(packet, 37, 16) == "10.9.8.7", "the new address is missing");
    expect(field(packet, 21, 16) == "after", "the new host name is missing");
    platform::SetSystemFigures(previous);
    _exit(failures == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  fs::remove_all(root);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
    GTEST_SKIP() << "no user and network namespaces here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}
