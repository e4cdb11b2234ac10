// The exporter's Redfish service driven by the clients bare-metal tools use:
// sushy (Ironic's library) and redfishtool, over TLS with a test CA, against
// agents on virtual cables whose power actions are recorded.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/net.h"
#include "tests/support/node.h"
#include "tests/support/notify_log.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tls.h"

namespace fs = std::filesystem;

namespace {

const char PASSWORD[] = "n0de-power";
const char RACK[] = "rack-1/节点"; // a name that must be escaped in a URL

// What a client program printed, and its exit status.
struct ClientRun {
  int Status;
  std::string Out, Err;
};
ClientRun run(const fs::path& dir, const std::string& program,
              const std::vector<std::string>& args) {
  static int n = 0;
  const std::string out = (dir / ("client" + std::to_string(++n) + ".out")).string();
  const std::string err = out.substr(0, out.size() - 4) + ".err";
  const pid_t pid =
      SpawnChild(program, args, {"PATH=/usr/bin:/bin", "HOME=" + dir.string()}, out, err);
  const int status = WaitChild(pid, 60000);
  return {status, ReadWholeFile(out), ReadWholeFile(err)};
}

QJsonObject json(const std::string& text) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
}

// The agent's memory in GiB as the service gives it (to a hundredth) and
// sushy reads it (whole GiB): the node's MemTotal in units of 1,024,000
// bytes, as the report carries it.
int memoryGiB() {
  std::ifstream meminfo("/proc/meminfo");
  std::string key;
  unsigned long long kb = 0;
  meminfo >> key >> kb;
  const double units = static_cast<double>(kb * 1024 / 1024000);
  return static_cast<int>(static_cast<long long>(units * 1024000 / (1 << 30) * 100 + 0.5) / 100);
}

} // namespace

TEST(Redfish, SushyAndRedfishtoolReadTheFleetAndResetOnlyWhatTheyMay) {
  TempDir dir("vexil-redfish");
  ASSERT_TRUE(MakeTestCertificates(dir.path().string()))
      << ReadWholeFile((dir / "sh.err").string());
  std::ofstream(dir / "web.yml") << "tls_server_config:\n  cert_file: server.crt\n"
                                    "  key_file: server.key\n"
                                    "basic_auth_users:\n  ops: '"
                                 << Bcrypt(PASSWORD) << "'\n  watcher: '" << Bcrypt(PASSWORD)
                                 << "'\nredfish_operators: [ops]\n";
  Node alpha(dir.path(), "alpha"), rack(dir.path(), "rack");
  std::ofstream(dir / "lines") << "alpha " << alpha.Far() << "\n"
                               << RACK << " " << rack.Far() << "\n"
                               << "dead " << (dir / "no-such-tty").string() << "\n";
  const int port = FreePort();
  const std::string url = "https://127.0.0.1:" + std::to_string(port);
  ChildProcess exporter;
  exporter.pid =
      SpawnChild(VEXIL_CTL_PATH,
                 {"exporter", "--listen", "127.0.0.1:" + std::to_string(port), "--web.config.file",
                  (dir / "web.yml").string(), "--redfish", "--lines", (dir / "lines").string()},
                 WithSanitizerOptions(
                     {"VEXIL_CONTROL_SOCKET=" + (dir / "ctl.sock").string(), "PATH=/usr/bin:/bin"}),
                 (dir / "exporter.out").string(), (dir / "exporter.err").string());
  ASSERT_TRUE(WaitForPort(port)) << ReadWholeFile((dir / "exporter.err").string());
  const std::string sushy = std::string(VEXIL_SOURCE_DIR) + "/tests/e2e/redfish_sushy.py";
  const std::string ca = (dir / "ca.crt").string();

  // Both nodes on, as sushy reads them.
  QJsonObject read;
  ClientRun last;
  ASSERT_TRUE(Eventually(
      [&] {
        last = run(dir.path(), "/usr/bin/python3", {sushy, url, ca, PASSWORD, "watcher"});
        read = json(last.Out);
        const auto systems = read["systems"].toObject();
        return systems["alpha"].toObject()["power"] == "On" &&
               systems[RACK].toObject()["power"] == "On";
      },
      40000))
      << last.Out << last.Err << ReadWholeFile((dir / "exporter.err").string());
  const auto systems = read["systems"].toObject();
  EXPECT_EQ(systems.keys(), (QStringList{"alpha", "dead", RACK}));
  EXPECT_EQ(systems[RACK].toObject()["path"], "/redfish/v1/Systems/rack-1%2F%E8%8A%82%E7%82%B9");
  EXPECT_FALSE(read["uuid"].toString().isEmpty());
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const auto a = systems["alpha"].toObject();
  EXPECT_EQ(a["host"].toString().toStdString(), std::string(host).substr(0, 15));
  EXPECT_EQ(a["processors"].toInt(), sysconf(_SC_NPROCESSORS_ONLN));
  EXPECT_EQ(a["memory_gib"].toInt(), memoryGiB());
  // (A machine whose only cards are virtual reports no address.)
  for (const auto& address : a["addresses"].toArray())
    EXPECT_EQ(address.toString().count('.'), 3) << address.toString().toStdString();
  EXPECT_EQ(a["resets"].toArray(),
            (QJsonArray{"ForceOff", "ForceRestart", "GracefulRestart", "GracefulShutdown"}));
  const auto dead = systems["dead"].toObject();
  EXPECT_TRUE(dead["power"].isNull()) << "a line that never opened: its node is unknown";
  EXPECT_EQ(dead["state"], "UnavailableOffline");

  // ForceRestart: a reader is refused, a dead line fails, an operator's
  // (through a session) reaches the node. (The reader uses basic auth:
  // sushy 4.3 answers a refusal in a session by logging in again and
  // returning the second refusal unchecked, as if it were a success.)
  read = json(run(dir.path(), "/usr/bin/python3",
                  {sushy, url, ca, PASSWORD, "watcher", "basic/watcher:alpha", "ops:dead",
                   std::string("ops:") + RACK})
                  .Out);
  const auto resets = read["resets"].toArray();
  ASSERT_EQ(resets.size(), 3) << QJsonDocument(read).toJson().toStdString();
  EXPECT_EQ(resets[0].toObject()["said"].toString().toStdString(), "refused 403");
  EXPECT_TRUE(resets[1].toObject()["said"].toString().startsWith("error 503: ") &&
              resets[1].toObject()["said"].toString().contains("the line is not open"))
      << resets[1].toObject()["said"].toString().toStdString();
  EXPECT_EQ(resets[2].toObject()["said"], "ok");
  EXPECT_TRUE(Eventually([&] { return rack.PowerLog() == "reboot\n"; }, 5000)) << rack.PowerLog();

  // redfishtool, from the command line: the listing (through a session), a
  // GracefulShutdown by the operator (its node then powering off), the
  // reader refused.
  const auto tool = [&](const std::string& user, std::vector<std::string> args) {
    args.insert(args.begin(), {"-r", "127.0.0.1:" + std::to_string(port), "-S", "Always", "-u",
                               user, "-p", PASSWORD});
    return run(dir.path(), "/usr/bin/redfishtool", args);
  };
  const ClientRun listing = tool("watcher", {"-A", "Session", "Systems"});
  EXPECT_EQ(listing.Status, 0) << listing.Err;
  EXPECT_EQ(json(listing.Out)["Members@odata.count"].toInt(), 3) << listing.Out;
  const ClientRun refused = tool("watcher", {"Systems", "-I", "alpha", "reset", "ForceOff"});
  EXPECT_NE(refused.Status, 0) << refused.Out;
  const ClientRun shutdown = tool("ops", {"Systems", "-I", "alpha", "reset", "GracefulShutdown"});
  EXPECT_EQ(shutdown.Status, 0) << shutdown.Out << shutdown.Err;
  EXPECT_TRUE(Eventually([&] { return alpha.PowerLog() == "poweroff\n"; }, 5000))
      << alpha.PowerLog();
  const ClientRun state = tool("watcher", {"Systems", "-I", "alpha", "get", "-P", "PowerState"});
  EXPECT_EQ(json(state.Out)["PowerState"], "PoweringOff") << state.Out << state.Err;
  // The journal names who asked, from where; a sanitizer found nothing.
  exporter.Stop();
  const std::string log = ReadWholeFile((dir / "exporter.err").string());
  EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << log;
  EXPECT_NE(log.find("alpha: poweroff from Redfish user ops at 127.0.0.1: sent"), std::string::npos)
      << log;
  EXPECT_NE(log.find("dead: reboot from Redfish user ops at 127.0.0.1: not sent: the line is "
                     "not open"),
            std::string::npos)
      << log;
}
