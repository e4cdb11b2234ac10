// vexil-ctl: decoding of the agent's own reports, malformed packages, JSON,
// and the program's exit statuses and commands on a pty.
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>
#include <filesystem>
#include <fstream>

#include "app/Unit1.h"
#include "tests/support/child.h"
#include "tests/support/fake_figures.h"
#include "tests/support/net.h"
#include "tests/support/notify_log.h"
#include "tests/support/port_dir.h"
#include "tests/support/pty_pair.h"
#include "ctl/reports.h"

using namespace VexilCtl;
namespace fs = std::filesystem;

namespace {

std::string inventory() {
  FakeFigures f;
  f.cpus = 4;
  f.clockMHz = 3000;
  f.memory = {8ull << 30, 1ull << 30};
  f.hostName = "node7";
  f.cards = {"10.0.0.7", "", "10.0.1.7"};
  f.osOk = true;
  f.os.OsName = "Linux";
  f.os.KernelRelease = "6.1.0";
  GetSysInventory(InventoryPacket);
  return std::string(reinterpret_cast<char*>(InventoryPacket), INVENTORY_PACKET_SIZE);
}

std::string load() {
  FakeFigures f;
  f.memory = {1000, 250};
  f.tick = 1000;
  f.idleMs = {0, 0};
  ResetCpuSamples();
  GetCpuRate(LoadPacket);
  f.tick = 2000;
  f.idleMs = {900, 500};
  GetMemRate(LoadPacket);
  GetCpuRate(LoadPacket);
  return std::string(reinterpret_cast<char*>(LoadPacket), LOAD_PACKET_SIZE);
}

// Runs vexil-ctl; its exit status, standard output into out.
int run(const std::vector<std::string>& args, std::string* out = nullptr,
        std::string* err = nullptr) {
  TempDir dir("vexil-ctl-out");
  const std::string outFile = (dir / "out").string(), errFile = (dir / "err").string();
  const pid_t pid = SpawnChild(VEXIL_CTL_PATH, args, {}, outFile, errFile);
  const int status = pid > 0 ? WaitChild(pid, 30000) : -1;
  if (out)
    *out = ReadWholeFile(outFile);
  if (err)
    *err = ReadWholeFile(errFile);
  return status;
}

} // namespace

TEST(CtlReports, DecodesTheAgentsOwnReports) {
  const auto pieces = SplitPackage(inventory() + load());
  ASSERT_EQ(pieces.size(), 2u) << "a 220-byte package holds both";
  ASSERT_EQ(pieces[0].Type, Piece::Inventory);
  const auto& inv = pieces[0].Inv;
  EXPECT_EQ(inv.Processors, 4);
  EXPECT_EQ(inv.ClockMHz, 3000u);
  EXPECT_EQ(inv.MemoryUnits, (8ull << 30) / 1024000);
  EXPECT_EQ(inv.DiskSize, "   0.0G");
  EXPECT_EQ(inv.HostName, "node7");
  EXPECT_EQ(inv.NetworkCards, 3);
  EXPECT_EQ(inv.Addresses[0], "10.0.0.7");
  EXPECT_EQ(inv.Addresses[1], "10.0.1.7") << "cards with an address first";
  EXPECT_EQ(inv.Addresses[2], "");
  EXPECT_EQ(inv.Os, "Linux 6.1.0");
  ASSERT_EQ(pieces[1].Type, Piece::Load);
  EXPECT_EQ(pieces[1].Ld.MemoryLoad, 75);
  EXPECT_EQ(pieces[1].Ld.Cpu[0], 10);
  EXPECT_EQ(pieces[1].Ld.Cpu[1], 50);
  EXPECT_EQ(pieces[1].Ld.Cpu[2], -1);
  EXPECT_NE(FormatText("", pieces[1]).find("cpu 10 50 - -"), std::string::npos);
}

TEST(CtlReports, MalformedPackagesSayWhy) {
  const std::string inv = inventory();
  const struct {
    std::string bytes;
    const char* why;
  } cases[] = {
      {std::string("\xAA\xCC\xC2\xEE", 4), "unknown report type"},
      {"hello", "no report start mark"},
      {inv.substr(0, 150), "inventory report cut short (150 of 200 bytes)"},
      {inv.substr(0, 199) + "x", "inventory report without its end mark"},
      {load().substr(0, 19), "load report cut short (19 of 20 bytes)"},
  };
  for (const auto& c : cases) {
    const auto pieces = SplitPackage(c.bytes);
    ASSERT_EQ(pieces.size(), 1u);
    EXPECT_EQ(pieces[0].Type, Piece::Unknown);
    EXPECT_NE(pieces[0].Why.find(c.why), std::string::npos) << pieces[0].Why;
    EXPECT_NE(FormatText("COM3", pieces[0]).find("COM3: not a report"), std::string::npos);
  }
  const auto tail = SplitPackage(load() + "zz");
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail[1].Bytes, "zz");

  // Stray bytes, a cut report: each becomes a short record of its own and
  // the reports after them still decode.
  const auto noisy = SplitPackage("\x07" + inv + load() + inv.substr(0, 50) + load());
  ASSERT_EQ(noisy.size(), 5u);
  EXPECT_EQ(noisy[0].Bytes, "\x07");
  EXPECT_EQ(noisy[1].Type, Piece::Inventory);
  EXPECT_EQ(noisy[1].Inv.HostName, "node7");
  EXPECT_EQ(noisy[2].Type, Piece::Load);
  EXPECT_EQ(noisy[3].Why, "inventory report cut short (50 of 200 bytes)");
  EXPECT_EQ(noisy[4].Type, Piece::Load);
  EXPECT_EQ(HexDump("\x01\xAB"), "01 AB");
}

TEST(CtlReports, JsonParsesBack) {
  for (const auto& piece : SplitPackage(inventory() + load() + std::string("\xAA\x01\"\\", 4))) {
    const std::string json = FormatJson("/dev/ttyUSB0", piece);
    QJsonParseError error;
    const auto doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << json;
    const QJsonObject o = doc.object();
    EXPECT_EQ(o["line"].toString(), "/dev/ttyUSB0");
    if (piece.Type == Piece::Inventory) {
      EXPECT_EQ(o["type"].toString(), "inventory");
      EXPECT_EQ(o["processors"].toInt(), 4);
      EXPECT_EQ(o["addresses"].toArray()[1].toString(), "10.0.1.7");
      EXPECT_EQ(o["host"].toString(), "node7");
    } else if (piece.Type == Piece::Load) {
      EXPECT_EQ(o["memory_load"].toInt(), 75);
      EXPECT_TRUE(o["cpu"].toArray()[5].isNull());
    } else {
      EXPECT_EQ(o["type"].toString(), "unknown");
      EXPECT_EQ(o["length"].toInt(), 4);
    }
  }
}

// Text from a node is shown as the bytes it is: UTF-8 as given, bytes that
// are no UTF-8 (a GBK OS name) as \xHH, and control sequences that would
// retitle or clear the operator's terminal made harmless.
TEST(CtlReports, NodeTextIsShownAsItsBytesAndCannotSteerATerminal) {
  std::string report = inventory();
  const std::string host = "h\xC3\xB6st\x1B]0;x\x07\x1B[2J";
  report.replace(21, 16, host + std::string(16 - host.size(), '\0'));
  const std::string os = "Windows \xD6\xD0\xCE\xC4";
  report.replace(149, os.size(), os);
  const auto pieces = SplitPackage(report);
  ASSERT_EQ(pieces.size(), 1u);
  const std::string text = FormatText("\xE6\x9C\xBA\xE6\x9F\x9C"
                                      "1",
                                      pieces[0]);
  EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
  EXPECT_EQ(text.find('\x07'), std::string::npos) << text;
  EXPECT_NE(text.find("host h\xC3\xB6st\\x1b]0;x\\x07\\x1b[2J,"), std::string::npos) << text;
  EXPECT_NE(text.find("OS Windows \\xd6\\xd0\\xce\\xc4"), std::string::npos) << text;
  EXPECT_EQ(text.rfind("\xE6\x9C\xBA\xE6\x9F\x9C"
                       "1: ",
                       0),
            0u)
      << "the line's name as given";
  const std::string json = FormatJson("\xE6\x9C\xBA\xE6\x9F\x9C"
                                      "1",
                                      pieces[0]);
  const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
  EXPECT_EQ(o["line"].toString(), QString::fromUtf8("\xE6\x9C\xBA\xE6\x9F\x9C"
                                                    "1"));
  EXPECT_EQ(o["host"].toString(), QString::fromUtf8(host.c_str()));
  EXPECT_TRUE(o["os"].toString().startsWith("Windows \\xd6")) << json;
}

TEST(CtlProgram, ExitStatusesAndHelp) {
  PortDir ports({}); // COM<n> resolves here only: no real port is touched
  std::string out;
  EXPECT_EQ(run({}), 2);
  EXPECT_EQ(run({"frobnicate"}), 2);
  EXPECT_EQ(run({"--help"}, &out), 0);
  EXPECT_NE(out.find("usage: vexil-ctl watch"), std::string::npos);
  // The overview names every option the verbs' own help does, and names.
  const std::string overview = out;
  EXPECT_NE(overview.find("NAME from the lines file"), std::string::npos) << overview;
  for (const char* verb : {"watch", "send", "exporter"}) {
    EXPECT_EQ(run({verb, "--help"}, &out), 0);
    const QString usage = QString::fromStdString(out.substr(0, out.find('\n')));
    for (const QRegularExpressionMatch& m : QRegularExpression("--[a-z.]+").globalMatch(usage)) {
      const std::string option = m.captured().toStdString();
      EXPECT_NE(overview.find(option), std::string::npos) << verb << " " << option;
    }
  }
  EXPECT_EQ(run({"send", "--help"}, &out), 0);
  EXPECT_NE(out.find("poweroff|reboot|usb"), std::string::npos);
  EXPECT_EQ(run({"send", "COM2", "selfdestruct"}), 2);
  EXPECT_EQ(run({"send", "COM2"}), 2);
  EXPECT_EQ(run({"watch"}), 2);
  EXPECT_EQ(run({"watch", "LPT1"}), 2);
  EXPECT_EQ(run({"send", "COM9", "reboot"}), 1) << "no such device";
}

TEST(CtlProgram, SendPutsTheCommandOnTheLine) {
  PtyPair pty(3);
  std::string out;
  EXPECT_EQ(run({"send", "COM3", "reboot"}, &out), 0);
  EXPECT_EQ(pty.ReadMaster(4, 2000), std::string("\xAA\xCC\xC2\xEE", 4));
  EXPECT_NE(out.find("sent reboot"), std::string::npos);
  EXPECT_EQ(run({"send", pty.slavePath(), "usb"}), 0) << "a device path works too";
  EXPECT_EQ(pty.ReadMaster(4, 2000), std::string("\xAA\xCC\xB1\xEE", 4));
}

// A command counts as sent only once it is out: a line whose other end does
// not read, or whose output is held, fails after the time limit and says so.
TEST(CtlProgram, SendFailsLoudlyWhenTheCommandCannotLeave) {
  PtyPair pty(3);
  const int slave = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(slave, 0);
  std::string err;

  // Held: output stopped on the line (as XOFF from the far end does).
  ASSERT_EQ(tcflow(slave, TCOOFF), 0);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(run({"send", "--timeout", "1", "COM3", "poweroff"}, nullptr, &err), 1);
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(1000));
  EXPECT_LT(took, std::chrono::milliseconds(1500)) << "the time limit holds to within 0.5 s";
  EXPECT_NE(err.find("COM3 (" + (pty.dir() / "COM3").string() +
                     "): the command did not go out "
                     "within 1.00 s: 0 of 4 bytes went out; the other end does not read, or "
                     "flow control holds the line"),
            std::string::npos)
      << err;
  ASSERT_EQ(tcflow(slave, TCOON), 0);
  pty.ReadMaster(64, 200);

  // Full: the other end reads nothing and its buffer is full.
  // The kernel moves what it holds on to the reader's side in the
  // background: fill again after a pause until nothing more fits.
  const std::string junk(4096, 'j');
  for (bool more = true; more;) {
    more = false;
    for (std::size_t size : {4096, 256, 16, 1})
      while (write(slave, junk.data(), size) > 0)
        more = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(run({"send", "COM3", "reboot"}, nullptr, &err), 1);
  took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(3000)) << "3 s unless told otherwise";
  EXPECT_LT(took, std::chrono::milliseconds(3500));
  EXPECT_NE(err.find("0 of 4 bytes went out"), std::string::npos) << err;
  // A console server that does not take the connection (its backlog full):
  // the time limit covers the opening too, and nothing is sent after it.
  int port = 0;
  const int slow = ListenLoopback(0, port);
  ASSERT_GE(slow, 0);
  std::vector<int> queued; // fill its backlog; they wait without blocking the test
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  for (int i = 0; i < 4; ++i) {
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to);
    queued.push_back(c);
  }
  start = std::chrono::steady_clock::now();
  const std::string far = "socket://127.0.0.1:" + std::to_string(port);
  EXPECT_EQ(run({"send", "--timeout", "1", far, "reboot"}, nullptr, &err), 1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  EXPECT_NE(err.find("the line did not open within 1.00 s; the command was not sent"),
            std::string::npos)
      << err;
  for (int c : queued)
    close(c);
  close(slow);
  EXPECT_EQ(run({"send", "--timeout", "0", "COM3", "reboot"}), 2);
  EXPECT_EQ(run({"send", "--timeout", "soon", "COM3", "reboot"}), 2);
  close(slave);
}

// The stable /dev/serial/by-id/ names run long: a 200-byte path is opened
// whole by send and by watch, never cut short.
TEST(CtlProgram, LongDevicePathsOpenWhole) {
  PtyPair pty(3);
  TempDir dir("vexil-by-id");
  fs::path link = dir / "serial" / "by-id";
  fs::create_directories(link);
  link /= "usb-FTDI_FT232R_USB_UART_" + std::string(200, 'A') + "-if00-port0";
  link = link.string().substr(0, 200);
  fs::create_symlink(pty.slavePath(), link);
  ASSERT_EQ(link.string().size(), 200u);
  std::string err;
  EXPECT_EQ(run({"send", link.string(), "usb"}, nullptr, &err), 0) << err;
  EXPECT_EQ(pty.ReadMaster(4, 2000), std::string("\xAA\xCC\xB1\xEE", 4));

  const pid_t pid = SpawnChild(VEXIL_CTL_PATH, {"watch", "--json", link.string()}, {},
                               (dir / "out").string(), (dir / "err").string());
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(Eventually([&] { return pty.Taken(); }, 5000)) << "watch opened the line";
  const std::string report = load();
  ASSERT_EQ(write(pty.master(), report.data(), report.size()), static_cast<ssize_t>(report.size()));
  EXPECT_TRUE(Eventually([&] {
    return ReadWholeFile((dir / "out").string()).find("\"type\":\"load\"") != std::string::npos;
  })) << ReadWholeFile((dir / "err").string());
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitChild(pid, 5000), 0);
}

TEST(CtlProgram, HundredSendsOnAHealthyLineAllSucceed) {
  PtyPair pty(3);
  int ok = 0;
  // (A time limit that a busy machine cannot run into: this is about every
  // send going out, not how fast.)
  for (int i = 0; i < 100; ++i) {
    std::string err;
    if (run({"send", "--timeout", "30", "COM3", "usb"}, nullptr, &err) == 0)
      ++ok;
    else
      ADD_FAILURE() << "send " << i << ": " << err;
    if (pty.ReadMaster(4, 5000) != std::string("\xAA\xCC\xB1\xEE", 4))
      ADD_FAILURE() << "send " << i << " did not arrive whole";
  }
  EXPECT_EQ(ok, 100);
}

// watch follows its line: lost when it hangs up, back when it returns, and
// the reports on the new device decode.
TEST(CtlProgram, WatchFollowsALostLine) {
  PtyPair pty(3);
  TempDir dir("vexil-watch");
  const pid_t pid = SpawnChild(VEXIL_CTL_PATH, {"watch", "--json", "COM3"}, {},
                               (dir / "out").string(), (dir / "err").string());
  ASSERT_GT(pid, 0);
  const auto err = [&] { return ReadWholeFile((dir / "err").string()); };
  const auto out = [&] { return ReadWholeFile((dir / "out").string()); };
  // Lost once it was open (a line that closes at once failed to open).
  ASSERT_TRUE(Eventually([&] { return err().find("vexil-ctl: COM3: line open (COM3)") == 0; }))
      << err();
  pty.CloseMaster();
  EXPECT_TRUE(Eventually([&] {
    return err().find("vexil-ctl: COM3: line lost (") != std::string::npos;
  })) << err();
  EXPECT_TRUE(Eventually([&] {
    return out().find("{\"line\":\"COM3\",\"event\":\"lost\",\"reason\":") == 0;
  })) << out();
  pty.Replug();
  EXPECT_TRUE(Eventually([&] { return err().find("COM3: line back") != std::string::npos; }, 5000))
      << err();
  const std::string report = load();
  ASSERT_EQ(write(pty.master(), report.data(), report.size()), static_cast<ssize_t>(report.size()));
  EXPECT_TRUE(Eventually([&] { return out().find("\"type\":\"load\"") != std::string::npos; }))
      << out();
  EXPECT_NE(out().find("{\"line\":\"COM3\",\"event\":\"back\"}"), std::string::npos);
  kill(pid, SIGHUP);
  EXPECT_EQ(WaitChild(pid, 5000), 0) << "SIGHUP ends watch cleanly";
}

// The tests are sealed from the machine: a test program refuses to run
// without a control socket of the tests' own, and the sends above, run in a
// mount namespace where a stand-in listens at the packaged exporter's path,
// never reach it (a send without the variable does: the listener works).
TEST(CtlSealing, TestsNeverReachThePackagedExporter) {
  char self[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
  TempDir dir("vexil-sealed");
  const auto runSelf = [&](std::vector<std::string> env, const std::string& filter) {
    for (const char* keep : {"PATH", "VEXIL_POWER_COMMAND", "VEXIL_PORT_DIR", "QT_QPA_PLATFORM",
                             "TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"})
      if (const char* v = std::getenv(keep))
        env.push_back(std::string(keep) + "=" + v);
    const pid_t pid = SpawnChild(self, {"--gtest_filter=" + filter}, env,
                                 (dir / "self.out").string(), (dir / "self.err").string());
    return WaitChild(pid, 60000);
  };
  EXPECT_EQ(runSelf({}, "CtlReports.JsonParsesBack"), 2);
  EXPECT_NE(ReadWholeFile((dir / "self.err").string()).find("VEXIL_CONTROL_SOCKET is not set"),
            std::string::npos);
  EXPECT_EQ(runSelf({"VEXIL_CONTROL_SOCKET=/run/vexil/control.sock"}, "CtlReports.JsonParsesBack"),
            2);
  EXPECT_EQ(ReadWholeFile((dir / "self.out").string()).find("[ RUN"), std::string::npos)
      << "no test ran";

  if (geteuid() != 0)
    GTEST_SKIP() << "the stand-in at /run/vexil/control.sock needs a mount namespace, which "
                    "needs root (this run is uid "
                 << geteuid() << ")";
  // In the namespace: a /run of its own, a listener that logs each
  // connection and what it was sent, one send without the variable, then
  // every send the tools tests make (but the hundred alike).
  const std::string listener =
      "import socket,sys\n"
      "s=socket.socket(socket.AF_UNIX);s.bind('/run/vexil/control.sock');s.listen(64)\n"
      "open(sys.argv[1],'w').close();log=open(sys.argv[1],'a',buffering=1)\n"
      "while True:\n"
      "  c,_=s.accept();c.settimeout(2)\n"
      "  try: log.write(repr(c.recv(4096))+'\\n')\n"
      "  except OSError: log.write('connection\\n')\n"
      "  c.close()\n";
  std::ofstream(dir / "listener.py") << listener;
  const std::string log = (dir / "received").string();
  const std::string script =
      "mount --make-rprivate /\n"
      "mount -t tmpfs -o mode=755 vexil-test /run\n"
      "mkdir /run/vexil\n"
      "python3 listener.py '" +
      log +
      "' & listener=$!\n"
      "trap 'kill $listener' EXIT\n"
      "for i in $(seq 100); do [ -S /run/vexil/control.sock ] && [ -f '" +
      log +
      "' ] && break; "
      "sleep 0.05; done\n"
      "env -u VEXIL_CONTROL_SOCKET '" VEXIL_CTL_PATH "' send --timeout 1 COM9 reboot || true\n"
      "for i in $(seq 100); do [ -s '" +
      log +
      "' ] && break; sleep 0.05; done\n"
      "cp '" +
      log +
      "' control.log\n"
      "'" +
      std::string(self) +
      "' '--gtest_filter=CtlProgram.*:-CtlProgram.HundredSends*' > tools.out 2>&1 || true\n"
      "sleep 0.5\n";
  std::ofstream(dir / "sealed.sh") << script;
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    env.push_back(*e);
  const pid_t pid =
      SpawnChild("/usr/bin/unshare",
                 {"-m", "/bin/sh", "-ec", "cd '" + dir.path().string() + "'\n. ./sealed.sh"}, env,
                 (dir / "sh.out").string(), (dir / "sh.err").string());
  ASSERT_EQ(WaitChild(pid, 240000), 0) << ReadWholeFile((dir / "sh.err").string());
  const std::string control = ReadWholeFile((dir / "control.log").string());
  EXPECT_NE(control.find("reboot"), std::string::npos)
      << "the stand-in did not hear a send without the variable: " << control;
  const std::string tools = ReadWholeFile((dir / "tools.out").string());
  EXPECT_NE(tools.find("[  PASSED  ]"), std::string::npos) << tools;
  EXPECT_EQ(ReadWholeFile(log), control) << "the tools tests' sends reached the stand-in";
}

// A process's name is outside text: a session whose name is a terminal's
// escape sequence and a forged line reaches the operator's terminal as the
// bytes it is, never as the sequence.
TEST(CtlProgram, OutsideTextInMessagesCannotSteerATerminal) {
  PtyPair pty(3);
  TempDir dir("vexil-evil");
  ChildProcess session;
  session.pid = SpawnChild(
      "/usr/bin/python3",
      {"-c", "import ctypes, os, time\nos.setsid()\n"
             "ctypes.CDLL(None).prctl(15, b'\\x1bc\\x1b]0;PWNED\\x07\\nvexil', 0, 0, 0)\n"
             "os.open('" +
                 pty.slavePath() + "', os.O_RDWR)\nopen('" + (dir / "ready").string() +
                 "', 'w').close()\ntime.sleep(60)\n"},
      {}, (dir / "out").string(), (dir / "err").string(), Group::Ours);
  ASSERT_TRUE(Eventually([&] { return fs::exists(dir / "ready"); }, 10000))
      << ReadWholeFile((dir / "err").string());
  std::string err;
  EXPECT_EQ(run({"send", "--timeout", "1", "COM3", "usb"}, nullptr, &err), 1);
  // (The kernel keeps 15 bytes of a name.)
  EXPECT_NE(err.find("in use by a login session (\\x1bc\\x1b]0;PWNED\\x07\\x0ave, PID "),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find('\x1b'), std::string::npos) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err;
}
