// The controller's line addresses and lines files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ctl/lines/address.h"
#include "ctl/lines/line.h"
#include "ctl/lines/loop.h"
#include "ctl/lines/resolver.h"
#include "ctl/lines_file.h"
#include "tests/support/port_dir.h"
#include "tests/support/temp_dir.h"

using namespace vexilctl;

TEST(LineAddresses, EveryKindParsesAndBadOnesSayWhy) {
  PortDir ports({});
  Address a;
  std::string why;
  ASSERT_TRUE(ParseAddress("COM3", a, why)) << why;
  EXPECT_EQ(a.Type, Address::Tty);
  EXPECT_EQ(a.Path, std::string(std::getenv("VEXIL_PORT_DIR")) + "/COM3");
  ASSERT_TRUE(ParseAddress("/dev/serial/by-id/usb-FTDI-" + std::string(200, 'x'), a, why));
  EXPECT_EQ(a.Path.size(), 227u) << "a path is kept whole";
  ASSERT_TRUE(ParseAddress("rfc2217://console-7.rack1:7001", a, why)) << why;
  EXPECT_EQ(a.Type, Address::Rfc2217);
  EXPECT_EQ(a.Host, "console-7.rack1");
  EXPECT_EQ(a.Port, 7001);
  ASSERT_TRUE(ParseAddress("socket://10.0.0.5:2001", a, why)) << why;
  EXPECT_EQ(a.Type, Address::Tcp);
  EXPECT_EQ(a.Host, "10.0.0.5");
  ASSERT_TRUE(ParseAddress("rfc2217://[fd00::5]:7001", a, why)) << why;
  EXPECT_EQ(a.Host, "fd00::5");
  EXPECT_EQ(a.Port, 7001);

  const std::pair<const char*, const char*> bad[] = {
      {"LPT1", "is no line: a LINE is COM<n>"},
      {"COM0", "is no line"},
      {"rfc2217://host", "no port"},
      {"socket://fd00::5:7001", "an IPv6 address goes in brackets: [fd00::5]:7001"},
      {"socket://[fd00::5]7001", "in brackets with the port after them"},
      {"socket://host:0", "from 1 to 65535, not '0'"},
      {"socket://host:70000", "not '70000'"},
      {"socket://:7001", "no host"},
      {"telnet://host:23", "is no line"},
  };
  for (const auto& [text, reason] : bad) {
    EXPECT_FALSE(ParseAddress(text, a, why)) << text;
    EXPECT_NE(why.find(reason), std::string::npos) << text << ": " << why;
  }
}

// Retries double from 1 s to 30 s, and lines lost together spread out at
// every step, the longest pause included.
TEST(LineRetries, BackoffDoublesToItsCapAndStaysJittered) {
  for (int attempt = 0; attempt <= 8; ++attempt) {
    const double base = std::min(30.0, double(1 << std::min(attempt, 5)));
    std::vector<double> pauses;
    for (int i = 0; i < 200; ++i)
      pauses.push_back(Line::RetryPause(attempt));
    const auto [low, high] = std::minmax_element(pauses.begin(), pauses.end());
    EXPECT_GE(*low, base * 0.8) << "attempt " << attempt;
    EXPECT_LE(*high, base) << "attempt " << attempt << ": never past the cap";
    EXPECT_GT(*high - *low, base * 0.1) << "attempt " << attempt << ": spread at random";
  }
}

TEST(LinesFiles, GoodRowsKeptBadRowsNamedByNumber) {
  std::vector<std::string> errors;
  const auto rows = ParseLinesFile("# rack 1\n"
                                   "node1 rfc2217://console1:7001   # first\n"
                                   "\n"
                                   "   \t\n"
                                   "node2\n"
                                   "node3 socket://console1:7003 extra\n"
                                   "node4 ftp://x\n"
                                   "node1 /dev/ttyUSB0\n"
                                   "node5 /dev/ttyUSB1",
                                   errors);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].Name, "node1");
  EXPECT_EQ(rows[0].Line, "rfc2217://console1:7001");
  EXPECT_EQ(rows[0].Row, 2);
  EXPECT_EQ(rows[1].Name, "node5");
  EXPECT_EQ(rows[1].Row, 9) << "a last row without a newline counts";
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[0], "row 5: want NAME LINE, found 1 word");
  EXPECT_EQ(errors[1], "row 6: want NAME LINE, found 3 words");
  EXPECT_EQ(errors[2].rfind("row 7: 'ftp://x' is no line", 0), 0u) << errors[2];
  EXPECT_EQ(errors[3], "row 8: the name node1 is used by an earlier row");
}

// The loop watches descriptors of any number: past select()'s 1,024 and
// past 4,096 they are watched, wake the loop, and are let go in any order
// (the highest while it is the highest too), as a controller with
// thousands of lines needs.
TEST(LoopDescriptors, PastTheSelectLimitInAnyOrder) {
  rlimit files{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &files), 0);
  if (files.rlim_max < 8192)
    GTEST_SKIP() << "the hard descriptor limit is " << files.rlim_max << ", under 8192";
  const rlimit saved = files;
  files.rlim_cur = 8192;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &files), 0);
  {
    Loop loop;
    std::vector<int> writers;
    std::vector<std::unique_ptr<Loop::Watch>> watches;
    int woken = 0;
    // Pipes until the read ends pass 4,200.
    for (int p[2]; watches.empty() || watches.back()->Fd() < 4200;) {
      ASSERT_EQ(pipe2(p, O_NONBLOCK | O_CLOEXEC), 0) << std::strerror(errno);
      writers.push_back(p[1]);
      const int fd = p[0];
      watches.push_back(std::make_unique<Loop::Watch>(loop, fd, [&, fd] {
        char c;
        while (read(fd, &c, 1) == 1)
          ++woken;
        if (woken == 3)
          loop.Stop(0);
      }));
      ASSERT_TRUE(watches.back()->Ok());
      watches.back()->Read(true);
    }
    for (std::size_t i : {watches.size() / 4, watches.size() / 2, watches.size() - 1})
      ASSERT_EQ(write(writers[i], "x", 1), 1) << "to descriptor " << watches[i]->Fd();
    Loop::Timer late(loop, [&] { loop.Stop(1); });
    late.Start(10);
    EXPECT_EQ(loop.Run(), 0) << woken << " of 3 descriptors woke the loop";
    EXPECT_EQ(woken, 3);
    // Let go from the top, the highest always the highest, then the rest
    // from the bottom.
    for (int k = 0; k < 100; ++k)
      watches.pop_back();
    watches.erase(watches.begin(), watches.begin() + static_cast<long>(watches.size() / 2));
    watches.clear();
    for (int w : writers)
      close(w);
  }
  setrlimit(RLIMIT_NOFILE, &saved);
}

// Work posted from another thread (an HTTP server's, asking for a Reset)
// wakes a loop that waits with nothing else to do.
TEST(LoopPosts, WorkFromAnotherThreadWakesTheLoop) {
  Loop loop;
  Loop::Timer late(loop, [&] { loop.Stop(1); });
  late.Start(10);
  const double start = loop.Now();
  std::thread other([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.Post([&] { loop.Stop(7); });
  });
  EXPECT_EQ(loop.Run(), 7) << "the posted work ran only when the 10 s timer woke the loop";
  other.join();
  EXPECT_LT(loop.Now() - start, 5.0);
}

// Names in the hosts file are answered from it, as the system's resolver
// would: any alias of a row, in any case; comments and junk passed over.
TEST(HostsFile, NamesAnsweredFromIt) {
  TempDir dir("vexil-hosts");
  std::ofstream(dir / "hosts") << "# the rack\n127.0.0.1\tlocalhost\n"
                               << "10.0.0.5 cons1.rack.test cons1 # first\n"
                               << "not-an-address cons2\n"
                               << "fd00::5 cons3\n#10.0.0.9 cons4\n";
  const std::string hosts = (dir / "hosts").string();
  EXPECT_EQ(Resolver::FromHostsFile("cons1", hosts), "10.0.0.5");
  EXPECT_EQ(Resolver::FromHostsFile("CONS1.rack.test", hosts), "10.0.0.5");
  EXPECT_EQ(Resolver::FromHostsFile("cons3", hosts), "fd00::5");
  EXPECT_EQ(Resolver::FromHostsFile("cons2", hosts), "");
  EXPECT_EQ(Resolver::FromHostsFile("cons4", hosts), "");
  EXPECT_EQ(Resolver::FromHostsFile("first", hosts), "");
  EXPECT_EQ(Resolver::FromHostsFile("cons1", (dir / "none").string()), "");
}
