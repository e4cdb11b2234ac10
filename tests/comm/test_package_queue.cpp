#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <thread>

#include "comm/Tcommpkg.h"

using LumaroComm32::TCommPackageQueue;

namespace {

std::array<unsigned char, 64> package(unsigned char tag) {
  std::array<unsigned char, 64> p{};
  p.fill(tag);
  return p;
}

} // namespace

TEST(PackageQueue, SixteenSlotsHoldFifteen) {
  TCommPackageQueue q(16, 64);
  for (int i = 0; i < 15; ++i)
    ASSERT_EQ(q.In(package(static_cast<unsigned char>(i)).data()), 1) << i;
  EXPECT_EQ(q.In(package(99).data()), 0);
  EXPECT_EQ(q.Count(), 15u);
  auto out = package(0xEE);
  for (int i = 0; i < 15; ++i) {
    ASSERT_EQ(q.Out(out.data()), 1);
    EXPECT_EQ(out[0], i);
  }
  EXPECT_EQ(q.Out(out.data()), 0);
  EXPECT_EQ(out[0], 14) << "an empty queue leaves the destination alone";
  EXPECT_EQ(q.ReadPos(), 15u);
  EXPECT_EQ(q.WritePos(), 15u);
  q.In(package(1).data());
  EXPECT_EQ(q.WritePos(), 0u) << "slot 15 taken, the next goes to slot 0";
  q.In(package(2).data());
  EXPECT_EQ(q.WritePos(), 1u);
}

TEST(PackageQueue, GeometryIsRaisedToTheMinimum) {
  for (long slots : {0L, 1L, 2L, -1L, static_cast<long>(0x80000000UL)}) {
    TCommPackageQueue q(2, 64);
    q.SetQueue(slots, 0xFFFFFFFFL);
    EXPECT_EQ(q.SlotCount(), 2) << slots;
    EXPECT_EQ(q.SlotSize(), 32) << "a size with the top bit set is negative";
    EXPECT_EQ(q.In(package(1).data()), 1);
    EXPECT_EQ(q.In(package(2).data()), 0) << "two slots hold one package";
  }
}

TEST(PackageQueue, SmallSlotsMoveThirtyTwoBytes) {
  TCommPackageQueue q(4, 10);
  EXPECT_EQ(q.SlotSize(), 32);
  unsigned char in[40], out[40];
  for (int i = 0; i < 40; ++i)
    in[i] = static_cast<unsigned char>(i + 1);
  std::memset(out, 0xAA, sizeof out);
  ASSERT_EQ(q.In(in), 1);
  ASSERT_EQ(q.Out(out), 1);
  EXPECT_EQ(std::memcmp(in, out, 32), 0);
  EXPECT_EQ(out[32], 0xAA) << "nothing past the slot is written";
}

TEST(PackageQueue, ReadPeeksWithoutTaking) {
  TCommPackageQueue q(8, 32);
  auto out = package(0);
  EXPECT_EQ(q.Read(out.data(), 0), 0) << "empty";
  q.In(package(1).data());
  q.In(package(2).data());
  ASSERT_EQ(q.Read(out.data(), 1), 1);
  EXPECT_EQ(out[0], 2);
  ASSERT_EQ(q.Read(out.data(), 0), 1);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(q.Read(out.data(), 2), 0) << "index equal to the count";
  EXPECT_EQ(q.Read(out.data(), 0xFFFFFFFFUL), 0);
  auto taken = package(0);
  q.Out(taken.data());
  EXPECT_EQ(taken[0], 1) << "the package Read(0) showed";
}

TEST(PackageQueue, ResetAndRemove) {
  TCommPackageQueue q(8, 32);
  q.In(package(1).data());
  q.SetQueue(4, 48);
  EXPECT_EQ(q.Count(), 0u);
  EXPECT_EQ(q.SlotCount(), 4);
  EXPECT_EQ(q.SlotSize(), 48);
  q.fRemoveQueue();
  auto p = package(1);
  EXPECT_EQ(q.In(p.data()), 0) << "no storage";
  EXPECT_EQ(q.Out(p.data()), 0);
  EXPECT_EQ(q.Read(p.data(), 0), 0);
}

TEST(PackageQueue, TwoThreadsPassPackagesInOrder) {
  TCommPackageQueue q(5, 32);
  constexpr int TOTAL = 200000;
  std::thread producer([&] {
    unsigned char p[32] = {};
    for (int i = 0; i < TOTAL; ++i) {
      std::memcpy(p, &i, sizeof i);
      p[31] = static_cast<unsigned char>(i);
      while (!q.In(p))
        std::this_thread::yield();
    }
  });
  bool ordered = true;
  unsigned char p[32];
  for (int i = 0; i < TOTAL; ++i) {
    while (!q.Out(p))
      std::this_thread::yield();
    int got;
    std::memcpy(&got, p, sizeof got);
    ordered = ordered && got == i && p[31] == static_cast<unsigned char>(i);
  }
  producer.join();
  EXPECT_TRUE(ordered);
}
