// The system figures as Windows (here Wine) gives them.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/sysfigures.h"
#include "platform/win32.h"

using namespace platform;

// Each figure agrees with what the system says through its other calls, and
// the processors' idle times run on.
TEST(WindowsFigures, AgreeWithTheSystem) {
  SystemFigures& f = Figures();
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  unsigned count = 0;
  std::uint32_t mhz = 0;
  ASSERT_TRUE(f.GetProcessors(count, mhz));
  EXPECT_EQ(count, info.dwNumberOfProcessors);
  EXPECT_GT(mhz, 0u);

  MemoryStatus memory;
  ASSERT_TRUE(f.GetMemoryStatus(memory));
  EXPECT_GT(memory.TotalPhys, 64ull << 20);
  EXPECT_LE(memory.AvailPhys, memory.TotalPhys);

  char name[MAX_COMPUTERNAME_LENGTH + 1];
  DWORD size = sizeof name;
  ASSERT_TRUE(GetComputerNameA(name, &size));
  EXPECT_EQ(f.GetComputerName(), name);

  CpuIdentity id;
  ASSERT_TRUE(f.GetCpuIdentity(id));
  EXPECT_EQ(id.Vendor.size(), 12u);
  EXPECT_NE(id.Signature, 0u);

  OsVersionRecord os;
  ASSERT_TRUE(f.GetOsVersion(os));
  EXPECT_EQ(os.PlatformId, 2u) << "Windows NT";
  EXPECT_GE(os.MajorVersion, 5u);

  const auto disks = f.GetDisks();
  ASSERT_FALSE(disks.empty());
  EXPECT_GT(disks[0].Cylinders * disks[0].TracksPerCylinder * disks[0].SectorsPerTrack *
                disks[0].BytesPerSector,
            0u);

  std::vector<std::string> addresses;
  EXPECT_TRUE(f.GetNetworkCards(addresses));

  std::vector<std::uint64_t> before, after;
  ASSERT_TRUE(f.GetProcessorIdleTimes(before));
  EXPECT_EQ(before.size(), count);
  const std::uint32_t tick = f.GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_GE(f.GetTickCount() - tick, 250u);
  // Idle time only grows, and some processor is idle now and then even on
  // a machine that other work keeps busy: within 10 s.
  std::uint64_t idle = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  do {
    ASSERT_TRUE(f.GetProcessorIdleTimes(after));
    ASSERT_EQ(after.size(), before.size());
    idle = 0;
    for (std::size_t i = 0; i < after.size(); ++i) {
      ASSERT_GE(after[i], before[i]) << "processor " << i;
      idle += after[i] - before[i];
    }
    if (idle == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (idle == 0 && std::chrono::steady_clock::now() < end);
  EXPECT_GT(idle, 0u) << "no processor was idle in 10 s";
}
