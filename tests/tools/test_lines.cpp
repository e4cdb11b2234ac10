// The controller's line addresses and lines files.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "ctl/lines/address.h"
#include "ctl/lines/line.h"
#include "ctl/lines_file.h"
#include "tests/support/port_dir.h"

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
