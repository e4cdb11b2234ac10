#include <gtest/gtest.h>

#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "comm/Tcomm32.h"
#include "platform/memory.h"
#include "tests/support/lang_guard.h"

using LumaroComm32::EComm32Error;
using LumaroComm32::TCommQueue;

namespace {

std::vector<unsigned char> bytes(int n, int first = 1) {
  std::vector<unsigned char> v(static_cast<std::size_t>(n));
  std::iota(v.begin(), v.end(), static_cast<unsigned char>(first));
  return v;
}

} // namespace

TEST(CommQueue, SizeOneAndNoStorageHoldNothing) {
  unsigned char b = 7;
  TCommQueue one(1);
  ASSERT_NE(one.Buffer, nullptr);
  EXPECT_EQ(one.In(&b), 0);
  EXPECT_EQ(one.In(&b, 1), 0);
  for (int size : {0, -5}) {
    TCommQueue none(size);
    EXPECT_EQ(none.Buffer, nullptr) << size;
    EXPECT_EQ(none.BufSize, size);
    EXPECT_EQ(none.In(&b), 0);
    EXPECT_EQ(none.Out(&b), 0);
    EXPECT_EQ(none.Out(&b, 1), 0);
  }
}

TEST(CommQueue, StoresAtMostSizeMinusOne) {
  TCommQueue q(8);
  const auto data = bytes(10);
  EXPECT_EQ(q.In(data.data(), 10), 7);
  unsigned char b = 0;
  EXPECT_EQ(q.In(&b), 0);
  EXPECT_EQ(q.Used(), 7);
  std::vector<unsigned char> out(20);
  EXPECT_EQ(q.Out(out.data(), 20), 7) << "more asked than held";
  EXPECT_EQ(std::vector<unsigned char>(out.begin(), out.begin() + 7),
            std::vector<unsigned char>(data.begin(), data.begin() + 7));
  EXPECT_EQ(q.Out(out.data(), 20), 0) << "empty";
  EXPECT_EQ(q.In(nullptr, 3), 0);
  EXPECT_EQ(q.In(data.data(), 0), 0);
  EXPECT_EQ(q.In(data.data(), -1), 0);
  EXPECT_EQ(q.Out(nullptr, 3), 0);
}

TEST(CommQueue, BlockWrapsAroundTheEnd) {
  TCommQueue q(8);
  q.InPos = 6;
  q.OutPos = 6;
  const auto data = bytes(5, 0x10);
  EXPECT_EQ(q.In(data.data(), 5), 5);
  EXPECT_EQ(q.InPos, 3);
  EXPECT_EQ(q.Buffer[6], 0x10);
  EXPECT_EQ(q.Buffer[7], 0x11);
  EXPECT_EQ(q.Buffer[0], 0x12);
  EXPECT_EQ(q.Buffer[2], 0x14);
  std::vector<unsigned char> out(5);
  EXPECT_EQ(q.Out(out.data(), 5), 5);
  EXPECT_EQ(out, data);
  EXPECT_EQ(q.OutPos, 3);
}

TEST(CommQueue, SingleBytesWrapToo) {
  TCommQueue q(4);
  for (int round = 0; round < 10; ++round) {
    unsigned char in = static_cast<unsigned char>(round), out = 0xFF;
    ASSERT_EQ(q.In(&in), 1);
    ASSERT_EQ(q.Out(&out), 1);
    EXPECT_EQ(out, in);
  }
  EXPECT_EQ(q.Used(), 0);
}

TEST(CommQueue, ResizeEmptiesAndFreeKeepsSize) {
  TCommQueue q(8);
  const auto data = bytes(3);
  q.In(data.data(), 3);
  q.fSetBufSize(8);
  EXPECT_EQ(q.Used(), 0) << "same size still empties";
  q.fSetBufSize(0);
  EXPECT_EQ(q.Buffer, nullptr);
  EXPECT_EQ(q.BufSize, 8);
  q.fSetBufSize(16);
  ASSERT_NE(q.Buffer, nullptr);
  EXPECT_EQ(q.BufSize, 16);
  EXPECT_EQ(q.In(bytes(20).data(), 20), 15);
}

TEST(CommQueue, FailedEnlargementRaisesOutOfMemoryAndKeepsTheOldStorage) {
  LangGuard lang(TLumaroFuncs::TAppLang::ltEnglish);
  TCommQueue q(8);
  q.In(bytes(3).data(), 3);
  unsigned char* before = q.Buffer;
  platform::fault::FailAllocation(1);
  try {
    q.fSetBufSize(1 << 20);
    FAIL() << "no exception";
  } catch (const EComm32Error& e) {
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecOutOfMemory);
    EXPECT_EQ(e.Message, "Out of memory");
  }
  EXPECT_EQ(q.Buffer, before);
  EXPECT_EQ(q.BufSize, 8);
  EXPECT_EQ(q.Used(), 0);

  // In the constructor the failure is absorbed: a queue without storage.
  platform::fault::FailAllocation(1);
  TCommQueue failed(64);
  EXPECT_EQ(failed.Buffer, nullptr);
  EXPECT_EQ(failed.BufSize, 64);
}

TEST(CommQueue, SizesAboveTheMaximumAreRefusedAndTheLargestWraps) {
  TCommQueue q(8);
  q.In(bytes(3).data(), 3);
  unsigned char* before = q.Buffer;
  for (std::int32_t size : {TCommQueue::MaxBufSize + 1, INT32_MAX}) {
    try {
      q.fSetBufSize(size);
      FAIL() << "no exception for " << size;
    } catch (const EComm32Error& e) {
      EXPECT_EQ(e.ErrorCode, EComm32Error::ecOutOfMemory);
    }
    EXPECT_EQ(q.Buffer, before);
    EXPECT_EQ(q.BufSize, 8);
  }
  // The largest ring: a block that wraps at its end lands inside it.
  q.fSetBufSize(TCommQueue::MaxBufSize);
  const std::string step(TCommQueue::MaxBufSize - 100, 'x');
  ASSERT_EQ(q.In(step.data(), static_cast<std::int32_t>(step.size())),
            static_cast<int>(step.size()));
  std::string out(step.size(), '\0');
  ASSERT_EQ(q.Out(out.data(), static_cast<std::int32_t>(out.size())), static_cast<int>(out.size()));
  const auto wrap = bytes(300);
  EXPECT_EQ(q.In(wrap.data(), 300), 300);
  EXPECT_LT(q.InPos.load(), 300);
  EXPECT_GE(q.InPos.load(), 0);
  std::vector<unsigned char> back(300);
  EXPECT_EQ(q.Out(back.data(), 300), 300);
  EXPECT_EQ(back, wrap);
}

TEST(CommQueue, DiscardMovesOnlyTheConsumersIndex) {
  TCommQueue q(16);
  q.In(bytes(5).data(), 5);
  q.Out(bytes(2).data(), 2);
  q.In(bytes(4).data(), 4);
  const std::int32_t in = q.InPos;
  q.Discard();
  EXPECT_EQ(q.InPos.load(), in) << "the producer's index is never written";
  EXPECT_EQ(q.OutPos.load(), in);
  EXPECT_EQ(q.Used(), 0);
}

// One producer and one consumer thread pass a numbered stream through a small
// ring; every byte must come out once, in order.
TEST(CommQueue, TwoThreadStreamKeepsOrder) {
  TCommQueue q(97);
  constexpr int TOTAL = 2'000'000;
  std::thread producer([&] {
    unsigned char block[61];
    int sent = 0;
    while (sent < TOTAL) {
      const int n = std::min<int>(static_cast<int>(sizeof block), TOTAL - sent);
      for (int i = 0; i < n; ++i)
        block[i] = static_cast<unsigned char>((sent + i) % 251);
      int done = 0;
      while (done < n) {
        const int k = q.In(block + done, n - done);
        done += k;
        if (k == 0)
          std::this_thread::yield();
      }
      sent += n;
    }
  });
  int received = 0;
  bool ordered = true;
  unsigned char block[53];
  while (received < TOTAL) {
    const int k = q.Out(block, sizeof block);
    for (int i = 0; i < k; ++i)
      ordered = ordered && block[i] == static_cast<unsigned char>((received + i) % 251);
    received += k;
    if (k == 0)
      std::this_thread::yield();
  }
  producer.join();
  EXPECT_TRUE(ordered);
  EXPECT_EQ(q.Used(), 0);
}
