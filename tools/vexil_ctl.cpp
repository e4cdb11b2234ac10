// vexil-ctl: the controller's end of the line.
//
//   vexil-ctl watch [--json] LINE...        print every package as it arrives, decoded
//   vexil-ctl send [--timeout S] LINE poweroff|reboot|usb
//                                           send one command packet
//   vexil-ctl exporter [--listen A:P] LINE...  serve the lines as Prometheus metrics
//   vexil-ctl demo                          the agent and the controller on a virtual line
//
// LINE is COM<n> (resolved as the agent resolves it: VEXIL_PORT_DIR, then
// /dev/vexil, then /dev/ttyS<n-1>) or a device path such as /dev/ttyUSB0.
// Exit status: 0 success, 1 failure, 2 bad usage.
#include <QCoreApplication>
#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/Hxcommdevice.h"
#include "device/forms.h"
#include "platform/serial.h"
#include "tools/metrics.h"
#include "tools/reports.h"
#include "tools/virtual_line.h"

extern char** environ;

namespace fs = std::filesystem;
using LumaroComm32::TCommSerialPortInfo;

namespace {

const char USAGE[] =
    "usage: vexil-ctl watch [--json] LINE...\n"
    "       vexil-ctl send [--timeout SECONDS] LINE poweroff|reboot|usb\n"
    "       vexil-ctl exporter [--listen ADDR:PORT] LINE...\n"
    "       vexil-ctl demo\n"
    "LINE is COM<n> or a device path (/dev/ttyUSB0). 'vexil-ctl COMMAND --help' tells more.\n";
const char WATCH_HELP[] =
    "usage: vexil-ctl watch [--json] LINE...\n"
    "Opens each line (19200 baud, 8N1) and prints every package from the agent as it\n"
    "arrives: inventory and load reports decoded, anything else as a hex dump with the\n"
    "reason; stray bytes are shown apart and the reports after them still decode.\n"
    "With several lines each output names its line. --json prints one JSON object a\n"
    "line. A line that is lost (cable or adapter pulled, other end gone) is said on\n"
    "standard error ({\"event\":\"lost\"} with --json) and opened again every 2 s until\n"
    "it is back. Runs until interrupted (Ctrl-C, SIGTERM, SIGHUP).\n";
const char SEND_HELP[] =
    "usage: vexil-ctl send [--timeout SECONDS] LINE poweroff|reboot|usb\n"
    "Sends one command packet (AA CC C1 EE, AA CC C2 EE or AA CC B1 EE) and exits 0\n"
    "once every byte has gone out on the line. When they have not within the time\n"
    "limit (3 s unless --timeout says otherwise), exits 1 saying how many went out:\n"
    "the other end does not read, or flow control holds the line.\n";
const char EXPORTER_HELP[] =
    "usage: vexil-ctl exporter [--listen ADDR:PORT] LINE...\n"
    "Watches the lines as watch does and serves what they carry as Prometheus metrics\n"
    "on GET /metrics (default --listen 0.0.0.0:9868). Read only: it sends nothing on\n"
    "the lines. A line that cannot be opened, or is lost, is tried again every 2 s.\n"
    "Runs until interrupted (Ctrl-C, SIGTERM, SIGHUP).\n";
const char DEMO_HELP[] =
    "usage: vexil-ctl demo\n"
    "Starts vexil-agent on a virtual serial line (a pty pair), watches the other end,\n"
    "sends a USB change and a reboot command after the first load report (the agent's\n"
    "power actions go to a recorder that only prints), and ends after about 20 s or\n"
    "on Ctrl-C, leaving nothing behind.\n";

bool wantsHelp(int argc, char** argv) {
  for (int i = 2; i < argc; ++i)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h"))
      return true;
  return false;
}

std::string pathOf(const std::string& line) {
  return line.rfind('/', 0) == 0 ? line : platform::ResolveDeviceName(line);
}

std::string advice(int error) {
  switch (error) {
  case ENOENT: return "check the line's name and that the cable or adapter is plugged in";
  case EBUSY: return "another program (vexil-agent, another vexil-ctl) has it open: stop it first";
  case EACCES:
  case EPERM:
    return "add your user to the dialout group (sudo usermod -aG dialout $USER) "
           "and log in again";
  case ENOTTY: return "name a serial device";
  default: return "check the device";
  }
}

// A line opened the way the agent opens its own: 19200 baud, 8N1, packages
// cut by silence.
class Line {
public:
  static constexpr int RETRY_MS = 2000;

  explicit Line(std::string name) : name_(std::move(name)), dev_(nullptr) {
    retry_.setInterval(RETRY_MS);
    QObject::connect(&retry_, &QTimer::timeout, [this] { retry(); });
  }

  // 0 when open, 2 for a name that is no line, 1 for a line that cannot open.
  int Open(std::string& error) {
    if (name_.rfind('/', 0) == 0) {
      dev_.fSetDeviceName(name_);
    } else {
      const int n = TCommSerialPortInfo::PortNo(name_);
      if (n <= 0 || TCommSerialPortInfo::PortName(n) != name_) {
        error = "'" + name_ + "' is neither COM<n> nor a device path";
        return 2;
      }
      dev_.fSetPort(n);
    }
    dev_.fSetBaud(THxCustomCommDevice::br19200);
    try {
      dev_.fSetActive(true);
      dev_.fSetPkgType(LumaroComm32::cptFrameTimeout);
      dev_.fSetUsePackage(true);
    } catch (const Exception&) {
      const int e = dev_.fGetLastOpenError();
      error = "cannot open " + name_ + " (" + pathOf(name_) +
              "): " + (e ? platform::DescribeOpenError(e) : std::string("line settings refused")) +
              "; " + advice(e);
      return 1;
    }
    return 0;
  }
  // Follows the line once it is open: a lost line is closed, said on
  // standard error, and opened again every 2 s until it is back. onChange
  // gets "lost" with the reason, and "back".
  void Follow(std::function<void(const std::string&, const std::string&)> onChange) {
    onChange_ = std::move(onChange);
    dev_.OnCommNotify = [this](TObject*, int type) {
      if ((type & platform::EV_ERR) && dev_.fGetLineLost() != 0 && !retry_.isActive())
        lost();
    };
  }
  THxCommDevice& Device() { return dev_; }
  const std::string& Name() const { return name_; }
  // Tries to open the line every 2 s until it does (then "back").
  void KeepTrying() { retry_.start(); }

private:
  void lost() {
    const std::string reason = platform::DescribeLineLoss(dev_.fGetLineLost());
    try {
      dev_.fSetActive(false);
    } catch (const Exception&) {
    }
    retry_.start();
    std::fprintf(stderr, "vexil-ctl: %s: line lost (%s); waiting for it\n", name_.c_str(),
                 reason.c_str());
    if (onChange_)
      onChange_("lost", reason);
  }
  void retry() {
    std::string error;
    if (Open(error) != 0)
      return;
    retry_.stop();
    std::fprintf(stderr, "vexil-ctl: %s: line back\n", name_.c_str());
    if (onChange_)
      onChange_("back", "");
  }

  std::string name_;
  THxCommDevice dev_;
  QTimer retry_;
  std::function<void(const std::string&, const std::string&)> onChange_;
};

// Hands every report (or piece that is none) of each package of dev to take,
// as packages arrive.
void onPieces(THxCommDevice& dev, std::function<void(const VexilCtl::Piece&)> take) {
  dev.OnPackage = [&dev, take = std::move(take)](TObject*, int type) {
    if (type != 1)
      return;
    std::string buf(8192, '\0');
    for (long n; (n = dev.Read(buf.data(), static_cast<long>(buf.size()))) > 0;)
      for (const auto& piece : VexilCtl::SplitPackage(buf.substr(0, static_cast<std::size_t>(n))))
        take(piece);
  };
}

// Prints each package of a line as it arrives, and what happens to the line.
void watchLine(Line& line, bool json, bool named) {
  onPieces(line.Device(), [&line, json, named](const VexilCtl::Piece& piece) {
    const std::string who = named || json ? line.Name() : std::string();
    const std::string out =
        json ? VexilCtl::FormatJson(line.Name(), piece) : VexilCtl::FormatText(who, piece);
    std::printf("%s\n", out.c_str());
    std::fflush(stdout);
  });
  line.Follow([&line, json](const std::string& event, const std::string& reason) {
    if (json) {
      std::printf("%s\n", VexilCtl::FormatJsonEvent(line.Name(), event, reason).c_str());
      std::fflush(stdout);
    }
  });
}

int cmdWatch(int argc, char** argv) {
  bool json = false;
  std::vector<std::string> names;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--json"))
      json = true;
    else
      names.push_back(argv[i]);
  }
  if (names.empty()) {
    std::fputs(WATCH_HELP, stderr);
    return 2;
  }
  QCoreApplication app(argc, argv);
  std::vector<std::unique_ptr<Line>> lines;
  for (const auto& name : names) {
    auto line = std::make_unique<Line>(name);
    std::string error;
    if (const int rc = line->Open(error)) {
      std::fprintf(stderr, "vexil-ctl: %s\n", error.c_str());
      return rc;
    }
    watchLine(*line, json, names.size() > 1);
    lines.push_back(std::move(line));
  }
  OnTerminationSignals(&app, [] { QCoreApplication::exit(0); });
  return app.exec();
}

std::string commandBytes(const std::string& command) {
  if (command == "poweroff")
    return std::string("\xAA\xCC\xC1\xEE", 4);
  if (command == "reboot")
    return std::string("\xAA\xCC\xC2\xEE", 4);
  if (command == "usb")
    return std::string("\xAA\xCC\xB1\xEE", 4);
  return {};
}

// Puts one command on the line and waits until it is out: every byte taken
// by the device and, where the device tells, its output queue empty.
bool sendCommand(THxCommDevice& dev, const std::string& bytes, int timeoutMs, std::string& error) {
  const auto total = static_cast<long>(bytes.size());
  const std::uint64_t before = dev.fGetBytesSent();
  if (dev.Write(bytes.data(), total) != total) {
    error = "the line did not take the command";
    return false;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (const int lost = dev.fGetLineLost()) {
      error = "line lost (" + platform::DescribeLineLoss(lost) + ")";
      return false;
    }
    if (dev.fGetBytesSent() - before >= bytes.size() &&
        platform::WaitOutputDrained(dev.fGetHandle(), 0))
      return true;
    if (std::chrono::steady_clock::now() >= end)
      break;
    QThread::msleep(5);
  }
  error =
      "the command did not go out within " + std::to_string(timeoutMs / 1000.0).substr(0, 4) +
      " s: " + std::to_string(std::min<std::uint64_t>(dev.fGetBytesSent() - before, bytes.size())) +
      " of " + std::to_string(bytes.size()) +
      " bytes went out; the other end does not read, or flow control holds the line";
  return false;
}

int cmdSend(int argc, char** argv) {
  std::vector<std::string> args;
  double timeout = 3.0;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--timeout") && i + 1 < argc) {
      char* end = nullptr;
      timeout = std::strtod(argv[++i], &end);
      if (*end || !(timeout > 0 && timeout <= 3600)) {
        std::fprintf(stderr,
                     "vexil-ctl: --timeout takes seconds, more than 0 and at most 3600, "
                     "not '%s'\n",
                     argv[i]);
        return 2;
      }
    } else {
      args.push_back(argv[i]);
    }
  }
  if (args.size() != 2) {
    std::fputs(SEND_HELP, stderr);
    return 2;
  }
  const std::string bytes = commandBytes(args[1]);
  if (bytes.empty()) {
    std::fprintf(stderr, "vexil-ctl: unknown command '%s': use poweroff, reboot or usb\n",
                 args[1].c_str());
    return 2;
  }
  QCoreApplication app(argc, argv);
  Line line(args[0]);
  std::string error;
  if (const int rc = line.Open(error)) {
    std::fprintf(stderr, "vexil-ctl: %s\n", error.c_str());
    return rc;
  }
  if (!sendCommand(line.Device(), bytes, static_cast<int>(timeout * 1000), error)) {
    std::fprintf(stderr, "vexil-ctl: %s (%s): %s\n", line.Name().c_str(),
                 pathOf(line.Name()).c_str(), error.c_str());
    return 1;
  }
  std::printf("sent %s (%s) on %s\n", args[1].c_str(), VexilCtl::HexDump(bytes).c_str(),
              line.Name().c_str());
  return 0;
}

// ---------------------------------------------------------------------------
// exporter

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

int cmdExporter(int argc, char** argv) {
  std::string listen = "0.0.0.0:9868";
  std::vector<std::string> names;
  for (int i = 2; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--listen") && i + 1 < argc)
      listen = argv[++i];
    else
      names.push_back(argv[i]);
  }
  const auto colon = listen.rfind(':');
  const QHostAddress address(QString::fromStdString(listen.substr(0, colon)));
  char* end = nullptr;
  const long port =
      colon == std::string::npos ? -1 : std::strtol(listen.c_str() + colon + 1, &end, 10);
  if (names.empty() || address.isNull() || port < 0 || port > 65535 || !end || *end) {
    if (!names.empty())
      std::fprintf(stderr,
                   "vexil-ctl: --listen takes an address and a port, such as "
                   "127.0.0.1:9868, not '%s'\n",
                   listen.c_str());
    std::fputs(EXPORTER_HELP, stderr);
    return 2;
  }
  QCoreApplication app(argc, argv);
  std::vector<std::unique_ptr<Line>> lines;
  std::vector<VexilCtl::LineState> states(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    auto line = std::make_unique<Line>(names[i]);
    auto& state = states[i];
    state.Line = names[i];
    std::string error;
    const int rc = line->Open(error);
    if (rc == 2) {
      std::fprintf(stderr, "vexil-ctl: %s\n", error.c_str());
      return rc;
    }
    state.Open = rc == 0;
    Line& l = *line;
    onPieces(l.Device(),
             [&state](const VexilCtl::Piece& piece) { state.Take(piece, wallSeconds()); });
    l.Follow(
        [&state](const std::string& event, const std::string&) { state.Open = event == "back"; });
    if (rc != 0) {
      std::fprintf(stderr, "vexil-ctl: %s; trying again every 2 s\n", error.c_str());
      l.KeepTrying();
    }
    lines.push_back(std::move(line));
  }
  // Only reading: no route changes anything on the lines.
  QHttpServer server;
  server.route("/metrics", QHttpServerRequest::Method::Get, [&states] {
    return QHttpServerResponse(
        "text/plain; version=0.0.4; charset=utf-8",
        QByteArray::fromStdString(VexilCtl::FormatMetrics(states, wallSeconds())));
  });
  const quint16 bound = server.listen(address, static_cast<quint16>(port));
  if (bound == 0) {
    std::fprintf(stderr,
                 "vexil-ctl: cannot listen on %s: the port is in use or the address is "
                 "not this machine's; choose another with --listen\n",
                 listen.c_str());
    return 1;
  }
  std::fprintf(stderr, "vexil-ctl: serving metrics of %zu line(s) on http://%s:%u/metrics\n",
               names.size(), address.toString().toStdString().c_str(), bound);
  OnTerminationSignals(&app, [] { QCoreApplication::exit(0); });
  return app.exec();
}

// ---------------------------------------------------------------------------
// demo

std::string agentPath() {
  if (const char* p = std::getenv("VEXIL_AGENT"); p && *p)
    return p;
  const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
  for (const fs::path& p : {self / "vexil-agent", self / ".." / "app" / "vexil-agent"})
    if (fs::exists(p))
      return fs::canonical(p).string();
  return "vexil-agent";
}

int cmdDemo(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  // A directory nobody can have made beforehand: the recorder in it is run.
  std::string pattern = (fs::temp_directory_path() / "vexil-demo-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "vexil-ctl: cannot make a directory in %s: %s\n",
                 fs::temp_directory_path().c_str(), std::strerror(errno));
    return 1;
  }
  const fs::path dir = pattern;
  fs::create_directories(dir / "ports");
  struct Cleanup {
    fs::path dir;
    ~Cleanup() { fs::remove_all(dir); }
  } cleanup{dir};

  VirtualLine cable;
  std::string error;
  if (!cable.Create(error)) {
    std::fprintf(stderr, "vexil-ctl demo: %s\n", error.c_str());
    return 1;
  }
  fs::create_symlink(cable.End(0), dir / "ports" / "COM2");
  const fs::path recorder = dir / "power-recorder";
  const fs::path asked = dir / "power-asked";
  std::ofstream(recorder) << "#!/bin/sh\n"
                          << "echo \"recorder: the agent asked to $1 (nothing was done)\"\n"
                          << "echo \"$1\" >> '" << asked.string() << "'\n";
  fs::permissions(recorder, fs::perms::owner_all);

  std::printf("demo: virtual line %s <-> %s\n", cable.End(0).c_str(), cable.End(1).c_str());
  std::printf("demo: starting vexil-agent on COM2 -> %s, power actions go to a recorder\n",
              cable.End(0).c_str());
  std::fflush(stdout);
  const std::string agent = agentPath();
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "VEXIL_", 6) != 0)
      env.push_back(*e);
  env.push_back("VEXIL_PORT_DIR=" + (dir / "ports").string());
  env.push_back("VEXIL_POWER_COMMAND=" + recorder.string());
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  char* agentArgv[] = {const_cast<char*>(agent.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, agent.c_str(), nullptr, nullptr, agentArgv, envp.data()) != 0) {
    std::fprintf(stderr, "vexil-ctl demo: cannot start %s: %s\n", agent.c_str(),
                 std::strerror(errno));
    return 1;
  }

  Line line(cable.End(1));
  if (const int rc = line.Open(error)) {
    std::fprintf(stderr, "vexil-ctl demo: %s\n", error.c_str());
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return rc;
  }
  std::printf("demo: watching the other end as the controller (the first report comes after "
              "about 3 s, the first load report after about 13 s)\n");
  std::fflush(stdout);

  bool commandsSent = false;
  THxCommDevice& dev = line.Device();
  onPieces(dev, [&](const VexilCtl::Piece& piece) {
    std::printf("controller: %s\n", VexilCtl::FormatText("", piece).c_str());
    if (piece.Type == VexilCtl::Piece::Load && !commandsSent) {
      commandsSent = true;
      std::string err;
      std::printf("controller: sending a USB change (AA CC B1 EE)\n");
      if (!sendCommand(dev, commandBytes("usb"), 3000, err))
        std::printf("controller: %s\n", err.c_str());
      QTimer::singleShot(500, [&] {
        std::string e;
        std::printf("controller: sending reboot (AA CC C2 EE)\n");
        std::fflush(stdout);
        if (!sendCommand(dev, commandBytes("reboot"), 3000, e))
          std::printf("controller: %s\n", e.c_str());
      });
    }
    std::fflush(stdout);
  });
  QTimer::singleShot(20000, [] { QCoreApplication::exit(0); });
  OnTerminationSignals(&app, [] { QCoreApplication::exit(0); });
  app.exec();

  dev.OnPackage = nullptr;
  dev.fSetActive(false);
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream in(asked);
  const std::string what((std::istreambuf_iterator<char>(in)), {});
  std::printf("demo: the agent ended with status %d; the recorder was asked to: %s\n",
              WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              what.empty() ? "nothing" : what.substr(0, what.find_last_not_of('\n') + 1).c_str());
  return what.find("reboot") != std::string::npos ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::fputs(USAGE, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  FilterQtStartupNotices();
  // Each line takes about ten descriptors (device, events): a controller
  // with hundreds of lines needs more than the usual soft limit of 1024.
  if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  const std::string command = argv[1];
  const char* help = command == "watch"      ? WATCH_HELP
                     : command == "send"     ? SEND_HELP
                     : command == "exporter" ? EXPORTER_HELP
                     : command == "demo"     ? DEMO_HELP
                                             : nullptr;
  if (!help) {
    std::fprintf(stderr, "vexil-ctl: unknown command '%s'\n%s", argv[1], USAGE);
    return 2;
  }
  if (wantsHelp(argc, argv)) {
    std::fputs(help, stdout);
    return 0;
  }
  if (command == "watch")
    return cmdWatch(argc, argv);
  if (command == "send")
    return cmdSend(argc, argv);
  if (command == "exporter")
    return cmdExporter(argc, argv);
  return cmdDemo(argc, argv);
}
