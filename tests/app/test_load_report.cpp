// The load report: memory load and processor usage from fake figures.
#include <gtest/gtest.h>

#include <vector>

#include "app/Unit1.h"
#include "platform/sysfigures.h"
#include "tests/support/fake_figures.h"

namespace {

std::vector<int> cpuBytes(const unsigned char* p) {
  return {p + 3, p + 19};
}

} // namespace

TEST(LoadReport, ConstantBytes) {
  EXPECT_EQ(LoadPacket[0], 0xAA);
  EXPECT_EQ(LoadPacket[1], 0xA1);
  EXPECT_EQ(LoadPacket[19], 0xEE);
}

TEST(LoadReport, MemoryLoadRoundsHalfUp) {
  FakeFigures f;
  ResetCpuSamples();
  unsigned char p[LOAD_PACKET_SIZE] = {};
  const std::uint64_t total = 1000ull << 20;
  const auto rate = [&](std::uint64_t avail) {
    f.memory = {total, avail};
    GetMemRate(p);
    return static_cast<int>(p[2]);
  };
  EXPECT_EQ(rate(total), 0);
  EXPECT_EQ(rate(0), 100);
  EXPECT_EQ(rate(total * 504 / 1000), 50) << "49.6 % used";
  EXPECT_EQ(rate(total * 506 / 1000), 49) << "49.4 % used";
  f.memoryOk = false;
  p[2] = 77;
  GetMemRate(p);
  EXPECT_EQ(p[2], 77) << "a failed query leaves the byte";
}

TEST(LoadReport, ProcessorUsageOverTheInterval) {
  FakeFigures f;
  ResetCpuSamples();
  unsigned char p[LOAD_PACKET_SIZE] = {};
  f.tick = 10000;
  f.idleMs = {9000, 2000};
  GetCpuRate(p); // first sample, against zero
  f.tick = 15000;
  f.idleMs = {9000 + 5000, 2000 + 4650}; // idle all the time; 93 % idle
  GetCpuRate(p);
  std::vector<int> expected(16, 0xFF);
  expected[0] = 0;
  expected[1] = 7;
  EXPECT_EQ(cpuBytes(p), expected);

  f.tick = 20000;
  f.idleMs = {14000, 6650}; // idle did not grow
  GetCpuRate(p);
  EXPECT_EQ(p[3], 100);
  EXPECT_EQ(p[4], 100);
}

TEST(LoadReport, SameMillisecondDividesByOne) {
  FakeFigures f;
  ResetCpuSamples();
  unsigned char p[LOAD_PACKET_SIZE] = {};
  f.tick = 500;
  f.idleMs = {100};
  GetCpuRate(p);
  f.idleMs = {100};
  GetCpuRate(p); // elapsed 0
  EXPECT_EQ(p[3], 100);
  f.tick = 501;
  f.idleMs = {101};
  GetCpuRate(p); // elapsed 1, idle 1: q = 100
  EXPECT_EQ(p[3], 0);
}

TEST(LoadReport, WrappedTickAndIdleAboveElapsed) {
  FakeFigures f;
  ResetCpuSamples();
  unsigned char p[LOAD_PACKET_SIZE] = {};
  f.tick = 0xFFFFF000u;
  f.idleMs = {0xFFFFFF00ull};
  GetCpuRate(p);
  f.tick = 0x00000388u;              // 5000 ms later, past 2^32
  f.idleMs = {0xFFFFFF00ull + 2500}; // idle wraps too
  GetCpuRate(p);
  EXPECT_EQ(p[3], 50);
  f.tick += 1000;
  f.idleMs = {0xFFFFFF00ull + 2500 + 1010}; // q = 101
  GetCpuRate(p);
  EXPECT_EQ(p[3], 255);
}

TEST(LoadReport, SixteenProcessorsAtMostAndFailureKeepsTheSamples) {
  FakeFigures f;
  ResetCpuSamples();
  unsigned char p[LOAD_PACKET_SIZE] = {};
  f.tick = 1000;
  f.idleMs.assign(20, 500);
  GetCpuRate(p);
  f.tick = 2000;
  f.idleMs.assign(20, 1000);
  GetCpuRate(p);
  EXPECT_EQ(cpuBytes(p), std::vector<int>(16, 50));
  f.idleOk = false;
  f.tick = 3000;
  GetCpuRate(p);
  EXPECT_EQ(cpuBytes(p), std::vector<int>(16, 0xFF));
  f.idleOk = true;
  f.tick = 4000;
  f.idleMs.assign(20, 1000); // no idle over 2 s since the last good sample
  GetCpuRate(p);
  EXPECT_EQ(p[3], 100);
}

#ifndef _WIN32
TEST(SystemFigures, ProcFilesParse) {
  platform::MemoryStatus m;
  ASSERT_TRUE(platform::LinuxSystemFigures::ParseMemInfo(
      "MemTotal:        2048000 kB\nMemFree:  10 kB\nMemAvailable:    1024000 kB\n", m));
  EXPECT_EQ(m.TotalPhys, 2048000ull * 1024);
  EXPECT_EQ(m.AvailPhys, 1024000ull * 1024);
  EXPECT_FALSE(platform::LinuxSystemFigures::ParseMemInfo("MemTotal: 5 kB\n", m));

  std::vector<std::uint64_t> idle;
  ASSERT_TRUE(platform::LinuxSystemFigures::ParseStat("cpu  10 0 10 900 100 0 0 0 0 0\n"
                                                      "cpu0 5 0 5 400 50 0 0 0 0 0\n"
                                                      "cpu1 5 0 5 500 50 0 0 0 0 0\n"
                                                      "intr 1 2 3\n",
                                                      100, idle));
  EXPECT_EQ(idle, (std::vector<std::uint64_t>{4500, 5500})) << "idle + iowait, in ms";

  platform::LinuxSystemFigures real;
  ASSERT_TRUE(real.GetMemoryStatus(m));
  EXPECT_GT(m.TotalPhys, m.AvailPhys);
  ASSERT_TRUE(real.GetProcessorIdleTimes(idle));
  EXPECT_GE(idle.size(), 1u);
}
#endif
