// The exporter's metrics: values, label escaping, what is absent, and that
// Prometheus' own checker accepts the exposition.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/child.h"
#include "tests/support/temp_dir.h"
#include "ctl/metrics.h"

using namespace VexilCtl;

namespace {

Piece inventoryPiece(const std::string& host, const std::string& os) {
  Piece p;
  p.Type = Piece::Inventory;
  p.Inv.Processors = 4;
  p.Inv.ClockMHz = 2600;
  p.Inv.MemoryUnits = 2000;
  p.Inv.DiskSize = " 160.5G";
  p.Inv.HostName = host;
  p.Inv.Addresses[0] = "10.0.1.7";
  p.Inv.ProcessorModel = "Intel(R) Xeon  ";
  p.Inv.Os = os;
  return p;
}

Piece loadPiece() {
  Piece p;
  p.Type = Piece::Load;
  p.Ld.MemoryLoad = 40;
  for (int& c : p.Ld.Cpu)
    c = -1;
  p.Ld.Cpu[0] = 7;
  p.Ld.Cpu[1] = 100;
  return p;
}

bool has(const std::string& text, const std::string& line) {
  return text.find(line + "\n") != std::string::npos;
}

} // namespace

TEST(Metrics, ValuesInBaseUnitsAndOnlyWhatWasReported) {
  std::vector<LineState> lines(2);
  lines[0].Line = "COM1";
  lines[0].Open = true;
  lines[0].Take(inventoryPiece("node7", "Linux 6.1"), 1000.0);
  lines[0].Take(loadPiece(), 1002.5);
  Piece bad;
  bad.Reason = "inventory_cut_short";
  lines[0].Take(bad, 1003.0);
  lines[1].Line = "/dev/ttyUSB0";
  const std::string m = FormatMetrics(lines, 1010.0);
  EXPECT_TRUE(has(m, "vexil_line_open{line=\"COM1\"} 1"));
  EXPECT_TRUE(has(m, "vexil_line_open{line=\"/dev/ttyUSB0\"} 0"));
  EXPECT_TRUE(has(m, "vexil_node_up{line=\"COM1\"} 1"));
  EXPECT_TRUE(has(m, "vexil_node_up{line=\"/dev/ttyUSB0\"} 0")) << "never reported: down";
  EXPECT_TRUE(has(m, "vexil_last_report_timestamp_seconds{line=\"COM1\",report=\"load\"} 1002.5"));
  EXPECT_TRUE(has(m, "vexil_reports_total{line=\"COM1\",report=\"inventory\"} 1"));
  EXPECT_TRUE(has(m, "vexil_reports_total{line=\"/dev/ttyUSB0\",report=\"load\"} 0"));
  EXPECT_TRUE(has(m, "vexil_bad_packages_total{line=\"COM1\",reason=\"inventory_cut_short\"} 1"));
  EXPECT_TRUE(has(m, "vexil_bad_packages_total{line=\"COM1\",reason=\"no_start_mark\"} 0"));
  EXPECT_TRUE(has(m, "vexil_memory_used_ratio{line=\"COM1\"} 0.4"));
  EXPECT_TRUE(has(m, "vexil_cpu_busy_ratio{line=\"COM1\",cpu=\"0\"} 0.07"));
  EXPECT_TRUE(has(m, "vexil_cpu_busy_ratio{line=\"COM1\",cpu=\"1\"} 1"));
  EXPECT_EQ(m.find("cpu=\"2\""), std::string::npos) << "FF: no such processor";
  EXPECT_TRUE(has(m, "vexil_memory_total_bytes{line=\"COM1\"} 2048000000"));
  EXPECT_TRUE(has(m, "vexil_disk_total_bytes{line=\"COM1\"} 160500000000"));
  EXPECT_TRUE(has(m, "vexil_processors{line=\"COM1\"} 4"));
  EXPECT_TRUE(has(m, "vexil_cpu_frequency_hertz{line=\"COM1\"} 2600000000"));
  EXPECT_TRUE(has(m, "vexil_node_info{line=\"COM1\",hostname=\"node7\",os=\"Linux 6.1\","
                     "cpu_model=\"Intel(R) Xeon\",ip1=\"10.0.1.7\",ip2=\"\",ip3=\"\",ip4=\"\"} 1"));
  EXPECT_EQ(m.find("vexil_processors{line=\"/dev/ttyUSB0\""), std::string::npos)
      << "no inventory yet: no inventory figures";

  // 15 s after the last report the node counts as down, and its figures go
  // (Prometheus marks them stale); when it was heard of last stays.
  EXPECT_TRUE(has(FormatMetrics(lines, 1002.5 + 15.0), "vexil_node_up{line=\"COM1\"} 1"));
  const std::string down = FormatMetrics(lines, 1002.5 + 15.1);
  EXPECT_TRUE(has(down, "vexil_node_up{line=\"COM1\"} 0"));
  EXPECT_TRUE(
      has(down, "vexil_last_report_timestamp_seconds{line=\"COM1\",report=\"load\"} 1002.5"));
  EXPECT_TRUE(has(down, "vexil_reports_total{line=\"COM1\",report=\"load\"} 1"));
  for (const char* gone : {"vexil_cpu_busy_ratio{", "vexil_memory_used_ratio{",
                           "vexil_memory_total_bytes{", "vexil_disk_total_bytes{",
                           "vexil_processors{", "vexil_cpu_frequency_hertz{", "vexil_node_info{"})
    EXPECT_EQ(down.find(gone), std::string::npos) << gone << " of a node that is down";

  // Freshness is on the monotonic clock: the wall clock set back an hour
  // keeps no silent node up, nor does one set forward put a live one down;
  // the timestamps stay the wall clock's.
  std::vector<LineState> stepped(1);
  stepped[0].Line = "COM1";
  stepped[0].Take(loadPiece(), 5000.0, 100.0);
  EXPECT_TRUE(
      has(FormatMetrics(stepped, 5000.0 - 3600, 100.0 + 20), "vexil_node_up{line=\"COM1\"} 0"));
  EXPECT_TRUE(
      has(FormatMetrics(stepped, 5000.0 + 3600, 100.0 + 5), "vexil_node_up{line=\"COM1\"} 1"));
  EXPECT_TRUE(has(FormatMetrics(stepped, 5000.0 - 3600, 100.0 + 20),
                  "vexil_last_report_timestamp_seconds{line=\"COM1\",report=\"load\"} 5000"));
}

TEST(Metrics, LabelValuesFromTheLineAreEscapedAndCheckerClean) {
  EXPECT_EQ(LabelValue("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
  EXPECT_EQ(LabelValue("\xE6\x9C\xBA\xE6\x9F\x9C"
                       "1"),
            "\xE6\x9C\xBA\xE6\x9F\x9C"
            "1")
      << "UTF-8 as given";
  EXPECT_EQ(LabelValue("caf\xE9 \xED\xA0\x80"), "caf\\\\xe9 \\\\xed\\\\xa0\\\\x80")
      << "bytes that are no UTF-8 (Latin-1, a surrogate) shown as \\xHH, not reinterpreted";
  EXPECT_EQ(DiskSizeBytes("   0.0G"), 0);
  EXPECT_EQ(DiskSizeBytes("junk"), -1);

  std::vector<LineState> lines(1);
  lines[0].Line = "COM\"9";
  lines[0].Take(inventoryPiece("ev\"il\\host\n", "OS \xB0\x01"), 5.0);
  lines[0].Take(loadPiece(), 5.0);
  TempDir dir("vexil-metrics");
  std::ofstream(dir / "metrics.txt") << FormatMetrics(lines, 6.0);
  const pid_t pid =
      SpawnChild("/bin/sh", {"-c", "promtool check metrics < " + (dir / "metrics.txt").string()},
                 {}, (dir / "out").string(), (dir / "err").string());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitChild(pid, 30000), 0)
      << ReadWholeFile((dir / "err").string()) << ReadWholeFile((dir / "out").string());
}

TEST(Metrics, ShippedAlertRulesAreValidAndFireWhenTheyShould) {
  TempDir dir("vexil-rules");
  const pid_t pid = SpawnChild("/usr/bin/promtool",
                               {"check", "rules", VEXIL_SOURCE_DIR "/packaging/vexil-alerts.yml"},
                               {}, (dir / "out").string(), (dir / "err").string());
  ASSERT_GT(pid, 0);
  EXPECT_EQ(WaitChild(pid, 30000), 0)
      << ReadWholeFile((dir / "out").string()) << ReadWholeFile((dir / "err").string());
  EXPECT_NE(ReadWholeFile((dir / "out").string()).find("SUCCESS: 4 rules found"),
            std::string::npos);
  // And they fire when they should, and only then (series in the test file).
  const pid_t run = SpawnChild(
      "/usr/bin/promtool", {"test", "rules", VEXIL_SOURCE_DIR "/tests/tools/vexil-alerts-test.yml"},
      {}, (dir / "out").string(), (dir / "err").string());
  ASSERT_GT(run, 0);
  EXPECT_EQ(WaitChild(run, 30000), 0)
      << ReadWholeFile((dir / "out").string()) << ReadWholeFile((dir / "err").string());
}
