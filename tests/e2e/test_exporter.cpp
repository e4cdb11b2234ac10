// The fleet view end to end: eight vexil-agent processes on virtual serial
// cables (three of them behind ser2net), vexil-ctl exporter on the other ends,
// and a real Prometheus server scraping it every second; everything is asked
// through Prometheus' HTTP API.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cctype>
#include <filesystem>
#include <map>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/console_servers.h"
#include "tests/support/net.h"
#include "tests/support/prometheus.h"
#include "tests/support/notify_log.h"
#include "tests/support/temp_dir.h"
#include "ctl/virtual_line.h"

namespace fs = std::filesystem;

namespace {

constexpr int NODES = 8;

// The samples of an instant query: line label -> (value, whole metric).
std::map<std::string, std::pair<std::string, QJsonObject>> query(int port, const std::string& q) {
  std::map<std::string, std::pair<std::string, QJsonObject>> out;
  for (const auto& r : PrometheusQuery(port, q)) {
    const auto metric = r.toObject()["metric"].toObject();
    out[metric["line"].toString().toStdString()] = {
        r.toObject()["value"].toArray()[1].toString().toStdString(), metric};
  }
  return out;
}

std::string hostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return std::string(name).substr(0, 15);
}

} // namespace

TEST(FleetInPrometheus, EightNodesUpThenOneDownAndBadInputCounted) {
  TempDir dir("vexil-fleet");
  std::vector<std::unique_ptr<VirtualLine>> cables;
  std::vector<ChildProcess> agents(NODES);
  std::vector<std::string> exporterArgs = {"exporter"};
  const int exporterPort = FreePort(), prometheusPort = FreePort();
  exporterArgs.insert(exporterArgs.end(),
                      {"--listen", "127.0.0.1:" + std::to_string(exporterPort)});
  for (int i = 0; i < NODES; ++i) {
    auto cable = std::make_unique<VirtualLine>();
    std::string error;
    ASSERT_TRUE(cable->Create(error)) << error;
    const fs::path ports = dir / ("node" + std::to_string(i));
    fs::create_directories(ports);
    fs::create_symlink(cable->End(0), ports / "COM2");
    agents[static_cast<std::size_t>(i)].pid =
        SpawnChild(VEXIL_AGENT_PATH, {},
                   {"VEXIL_PORT_DIR=" + ports.string(), "VEXIL_POWER_COMMAND=/bin/true",
                    "QT_QPA_PLATFORM=offscreen", "PATH=/usr/bin:/bin", "LANG=C"},
                   (ports / "out").string(), (ports / "err").string());
    cables.push_back(std::move(cable));
  }
  // Nodes 0 and 1 behind ser2net's RFC 2217 accepter, node 2 behind its raw
  // TCP one (ser2net's port at 9600: nothing sets it, so a fast agent line
  // is what the fleet has there); the rest on local lines.
  std::vector<Ser2net::Port> served;
  for (int i = 0; i < 3; ++i) {
    served.push_back({i < 2, cables[static_cast<std::size_t>(i)]->End(1), FreePort()});
    exporterArgs.push_back((i < 2 ? "rfc2217://127.0.0.1:" : "socket://127.0.0.1:") +
                           std::to_string(served.back().TcpPort));
  }
  for (int i = 3; i < NODES; ++i)
    exporterArgs.push_back(cables[static_cast<std::size_t>(i)]->End(1));
  Ser2net ser2net(dir.path(), served);
  ASSERT_TRUE(ser2net.Start()) << ser2net.Log();
  ChildProcess exporter;
  const auto env = WithSanitizerOptions(
      {"VEXIL_CONTROL_SOCKET=" + (dir / "ctl.sock").string(), "PATH=/usr/bin:/bin"});
  exporter.pid = SpawnChild(VEXIL_CTL_PATH, exporterArgs, env, (dir / "exporter.out").string(),
                            (dir / "exporter.err").string());
  std::ofstream(dir / "prometheus.yml")
      << "global:\n  scrape_interval: 1s\n  evaluation_interval: 1s\n"
         "scrape_configs:\n  - job_name: vexil\n    static_configs:\n"
         "      - targets: ['127.0.0.1:"
      << exporterPort << "']\n";
  ChildProcess prometheus;
  prometheus.pid = StartPrometheus(dir.path(), prometheusPort);
  ASSERT_GT(prometheus.pid, 0);

  // All eight up, each with this machine's host name.
  const auto allUp = [&] {
    const auto up = query(prometheusPort, "vexil_node_up");
    if (up.size() != NODES)
      return false;
    for (const auto& [line, sample] : up)
      if (sample.first != "1")
        return false;
    return true;
  };
  ASSERT_TRUE(Eventually(allUp, 40000))
      << ReadWholeFile((dir / "exporter.err").string())
      << ReadWholeFile((dir / "prometheus.err").string()).substr(0, 2000);
  const auto info = query(prometheusPort, "vexil_node_info");
  ASSERT_EQ(info.size(), static_cast<std::size_t>(NODES));
  for (const auto& [line, sample] : info)
    EXPECT_EQ(sample.second["hostname"].toString().toStdString(), hostName()) << line;

  // One node goes quiet: it is down within 20 s, the others stay up.
  const std::string quiet = cables[3]->End(1);
  agents[3].Stop();
  const auto stopped = std::chrono::steady_clock::now();
  EXPECT_TRUE(Eventually([&] { return query(prometheusPort, "vexil_node_up")[quiet].first == "0"; },
                         25000));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(20));
  for (const auto& [line, sample] : query(prometheusPort, "vexil_node_up")) {
    if (line != quiet) {
      EXPECT_EQ(sample.first, "1") << line;
    }
  }
  // Its last figures are not kept as if they were current: Prometheus marks
  // them stale, while the other nodes keep theirs.
  for (const char* figure : {"vexil_memory_used_ratio", "vexil_node_info"}) {
    EXPECT_TRUE(Eventually(
        [&] {
          const auto samples = query(prometheusPort, figure);
          return samples.count(quiet) == 0 && samples.size() == std::size_t{NODES - 1};
        },
        10000))
        << figure << ": the quiet node's is gone, the others' are there";
  }

  // Noise and a cut report on that line: counted, and the scrapes go on.
  const int end = open(cables[3]->End(0).c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(end, 0);
  const std::string noise = std::string("\x07\x07") + "\xAA\xA2" + std::string(60, 'x');
  ASSERT_EQ(write(end, noise.data(), noise.size()), static_cast<ssize_t>(noise.size()));
  close(end);
  EXPECT_TRUE(Eventually(
      [&] {
        const auto bad = query(prometheusPort, "sum by (line) (vexil_bad_packages_total)");
        return bad.count(quiet) && bad.at(quiet).first != "0";
      },
      15000));
  EXPECT_EQ(query(prometheusPort, "up")[""].first, "1") << "the exporter is still scraped";
}
