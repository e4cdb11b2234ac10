#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/event.h"

using namespace platform;

// Wakers publish work and wake a sleeper that sleeps whenever it has none,
// as fast as they can: every item is seen, and the sleeper never sleeps
// through work (which would stall the run until its 2 s limit).
TEST(Wakeup, NoWakeUpIsLostUnderStress) {
  constexpr int WAKERS = 3, ITEMS = 50000;
  TWakeup wakeup;
  ASSERT_TRUE(wakeup.Valid());
  std::atomic<long> published{0};
  long taken = 0;
  int sleeps = 0, stalls = 0;
  std::thread sleeper([&] {
    while (taken < WAKERS * ITEMS) {
      if (published.load(std::memory_order_relaxed) > taken) {
        taken = published.load(std::memory_order_relaxed);
        continue;
      }
      ++sleeps;
      if (wakeup.Sleep(2000) == WAIT_TIMEOUT)
        ++stalls;
    }
  });
  std::vector<std::thread> wakers;
  for (int w = 0; w < WAKERS; ++w)
    wakers.emplace_back([&] {
      for (int i = 0; i < ITEMS; ++i) {
        published.fetch_add(1, std::memory_order_relaxed);
        wakeup.Wake();
        if (i % 64 == 0)
          std::this_thread::yield(); // let the sleeper reach its sleep
      }
    });
  for (auto& t : wakers)
    t.join();
  sleeper.join();
  EXPECT_EQ(taken, WAKERS * ITEMS);
  EXPECT_EQ(stalls, 0) << "a wake-up was lost " << stalls << " times";
  EXPECT_GT(sleeps, 0);

  // A wake-up given while the sleeper was busy ends its next sleep at once;
  // one given while it sleeps ends that sleep; with neither, the time-out
  // does.
  wakeup.Wake();
  EXPECT_EQ(wakeup.Sleep(0), 1);
  EXPECT_EQ(wakeup.Sleep(20), WAIT_TIMEOUT);
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    wakeup.Wake();
  });
  EXPECT_EQ(wakeup.Sleep(10000), 1);
  late.join();
}
