// vexil-agent as a whole program on a pty pair, its power actions going to a
// recorder through VEXIL_POWER_COMMAND.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/notify_socket.h"
#include "tests/support/notify_log.h"
#include "tests/support/pty_pair.h"
#include "tests/support/temp_dir.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A running agent; killed and reaped when the test ends.
class Agent {
public:
  Agent(const std::vector<std::string>& args, const fs::path& recorder, const fs::path& errFile,
        const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env = {"VEXIL_PORT_DIR=" + std::string(std::getenv("VEXIL_PORT_DIR")),
                                    "VEXIL_POWER_COMMAND=" + recorder.string(),
                                    "QT_QPA_PLATFORM=offscreen", "PATH=/usr/bin:/bin", "LANG=C"};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    for (const char* keep : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
      if (const char* v = std::getenv(keep))
        env.push_back(std::string(keep) + "=" + v);
    pid_ = SpawnChild(VEXIL_AGENT_PATH, args, env, errFile.string() + ".out", errFile.string());
    EXPECT_GT(pid_, 0);
  }
  ~Agent() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // Waits for the exit status; -1 after timeoutMs (killed then, unless
  // asked to leave it running).
  int Wait(int timeoutMs, OnTimeout onTimeout = OnTimeout::Kill) {
    const int status = WaitChild(pid_, timeoutMs, onTimeout);
    if (status >= 0 || onTimeout == OnTimeout::Kill)
      pid_ = -1;
    return status;
  }
  void Signal(int sig) { kill(pid_, sig); }
  pid_t Pid() const { return pid_; }
  // Whether it slept through the next ms milliseconds: a try every 2 s
  // and a report tick every 5 s wake it about 7 times in 10 s, where a loop
  // that polls wakes it hundreds of times and one that spins takes seconds
  // of CPU. The CPU bound leaves room for a loaded machine, on which the
  // same few wake-ups cost ten times the CPU of an idle one.
  ::testing::AssertionResult SleepsFor(int ms) const {
    const double cpu = ProcessCpuSeconds(pid_);
    const long wakeups = ProcessWakeups(pid_);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    const long woke = ProcessWakeups(pid_) - wakeups;
    const double used = ProcessCpuSeconds(pid_) - cpu;
    if (woke <= 2 + 3 * ms / 1000 && used < 0.05 * ms / 1000)
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << woke << " wake-ups and " << used << " CPU seconds in " << ms << " ms";
  }

private:
  pid_t pid_ = -1;
};

std::string slurp(const fs::path& p) {
  return ReadWholeFile(p.string());
}

struct Report {
  std::string bytes;
  double at; // seconds since the agent started
};

// Reads reports off the master side: each starts with AA A1 (20 bytes) or
// AA A2 (200 bytes).
class ReportReader {
public:
  ReportReader(int fd, Clock::time_point start) : fd_(fd), start_(start) {}
  bool Next(Report& r, int timeoutMs) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      if (buf_.size() >= 2) {
        const std::size_t size = buf_[1] == '\xA1' ? 20 : buf_[1] == '\xA2' ? 200 : 1;
        if (buf_.size() >= size) {
          r = {buf_.substr(0, size), seconds()};
          buf_.erase(0, size);
          return true;
        }
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (left.count() <= 0)
        return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
        continue;
      char chunk[512];
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      if (n > 0)
        buf_.append(chunk, static_cast<std::size_t>(n));
    }
  }
  double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

private:
  int fd_;
  Clock::time_point start_;
  std::string buf_;
};

class AgentOnPty : public ::testing::Test {
protected:
  void SetUp() override {
    dir = tmp.path();
    recorder = dir / "record-power";
    std::ofstream(recorder) << "#!/bin/sh\necho \"$1\" >> '" << (dir / "power.log").string()
                            << "'\n";
    fs::permissions(recorder, fs::perms::owner_all);
  }
  std::string powerLog() { return slurp(dir / "power.log"); }
  bool waitPower(const std::string& expected, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      if (powerLog() == expected)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  // True once the agent said text on standard error (within ms).
  bool said(const std::string& text, int ms = 10000, const std::string& file = "stderr") {
    return Eventually([&] { return slurp(dir / file).find(text) != std::string::npos; }, ms);
  }
  // True once a report arrived on the master (within ms).
  bool reportOn(int master, int ms) {
    ReportReader reader(master, Clock::now());
    Report r;
    return reader.Next(r, ms);
  }
  void send(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  TempDir tmp{"vexil-e2e"};
  fs::path dir, recorder;
};

} // namespace

TEST_F(AgentOnPty, ReportsOnScheduleAndCarriesOutCommands) {
  PtyPair pty(2);
  const auto start = Clock::now();
  Agent agent({}, recorder, dir / "stderr");
  ReportReader reader(pty.master(), start);
  Report r;
  ASSERT_TRUE(reader.Next(r, 6000)) << slurp(dir / "stderr");
  EXPECT_EQ(r.bytes.size(), 200u);
  EXPECT_NEAR(r.at, 3.0, 1.0) << "first inventory report";
  EXPECT_EQ(r.bytes.substr(0, 2), "\xAA\xA2");
  EXPECT_EQ(r.bytes.substr(197), "\xFF\xFF\xEE");
  ASSERT_TRUE(reader.Next(r, 7000));
  EXPECT_EQ(r.bytes.size(), 200u);
  EXPECT_NEAR(r.at, 8.0, 1.0) << "second inventory report";
  // The two timers fire together from now on: the next two reports are a
  // load report and an inventory report, in either order.
  Report a, b;
  ASSERT_TRUE(reader.Next(a, 7000));
  ASSERT_TRUE(reader.Next(b, 2000));
  const Report& load = a.bytes.size() == 20 ? a : b;
  ASSERT_EQ(load.bytes.size(), 20u);
  EXPECT_NEAR(load.at, 13.0, 1.0) << "first load report";
  EXPECT_EQ(load.bytes.substr(0, 2), "\xAA\xA1");
  EXPECT_EQ(load.bytes[19], '\xEE');
  EXPECT_LE(static_cast<unsigned char>(load.bytes[2]), 100);
  EXPECT_NE(slurp(dir / "stderr").find("sending on COM2"), std::string::npos);

  send(pty.master(), "\xAB\xCC\xC1\xEE"); // wrong start mark: nothing
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(powerLog(), "");
  send(pty.master(), "\xAA\xCC\xC2\xEE");
  EXPECT_TRUE(waitPower("reboot\n", 3000));
  EXPECT_TRUE(
      said("reboot requested by the controller on COM2 (" + pty.dir().string() + "/COM2)\n"))
      << slurp(dir / "stderr");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  send(pty.master(), std::string("\xAA\x00\xC1\xEE", 4));
  EXPECT_TRUE(waitPower("reboot\npoweroff\n", 3000));

  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(5000), 0) << "SIGTERM ends the run as Exit does";
}

TEST_F(AgentOnPty, DebugModeOnlyLogsCommands) {
  PtyPair pty(2);
  Agent agent({"-d"}, recorder, dir / "stderr");
  ASSERT_TRUE(said("sending on COM2")) << slurp(dir / "stderr");
  send(pty.master(), "\xAA\xCC\xC2\xEE");
  std::this_thread::sleep_for(std::chrono::milliseconds(400)); // two packages, not one
  send(pty.master(), "\xAA\xCC\xB1\xEE");
  // Handled in order: once the USB change shows, the reboot was handled too.
  EXPECT_TRUE(said("usb changed", 5000, "stderr.out")) << slurp(dir / "stderr");
  EXPECT_EQ(powerLog(), "");
  EXPECT_TRUE(said("reboot requested by the controller on COM2 (" + pty.dir().string() +
                   "/COM2); debug mode: only logged"))
      << slurp(dir / "stderr");
  agent.Signal(SIGINT);
  EXPECT_EQ(agent.Wait(5000), 0);
  EXPECT_EQ(slurp(dir / "stderr.out"), "*********usb changed********");
}

// The agent's normal run is headless: the program links no GUI library and
// loads none; the window library comes in only for -d, and without it -d
// says which package brings it.
TEST_F(AgentOnPty, HeadlessUnlessAWindowIsAsked) {
  const auto needed = [&](const std::string& program) {
    const pid_t pid = SpawnChild("/usr/bin/readelf", {"-d", program}, {"PATH=/usr/bin:/bin"},
                                 (dir / "readelf").string(), (dir / "readelf.err").string());
    EXPECT_EQ(WaitChild(pid, 10000), 0);
    return slurp(dir / "readelf");
  };
  const std::string agentNeeds = needed(VEXIL_AGENT_PATH);
  EXPECT_NE(agentNeeds.find("libQt6Core"), std::string::npos) << agentNeeds;
  for (const char* gui : {"libQt6Gui", "libQt6Widgets", "libGL", "libX"})
    EXPECT_EQ(agentNeeds.find(gui), std::string::npos) << gui << " in\n" << agentNeeds;
  EXPECT_EQ(needed(VEXIL_CTL_PATH).find("libQt6"), std::string::npos) << "vexil-ctl: no Qt";

  PtyPair pty(2);
  {
    Agent agent({}, recorder, dir / "stderr");
    ASSERT_TRUE(reportOn(pty.master(), 6000)) << slurp(dir / "stderr");
    const std::string maps = slurp(fs::path("/proc") / std::to_string(agent.Pid()) / "maps");
    EXPECT_EQ(maps.find("libQt6Gui"), std::string::npos) << "a GUI library was loaded";
    EXPECT_EQ(maps.find("vexil-agent-gui"), std::string::npos);
    agent.Signal(SIGTERM);
    EXPECT_EQ(agent.Wait(5000), 0);
  }
  // A copy of the program with no window library beside it (nor installed),
  // on a node without a display: the package is named first.
  fs::copy_file(VEXIL_AGENT_PATH, dir / "vexil-agent");
  const std::vector<std::string> headless = {"VEXIL_PORT_DIR=" + pty.dir().string(),
                                             "VEXIL_POWER_COMMAND=" + recorder.string(),
                                             "PATH=/usr/bin:/bin"};
  // -d ends with status 1 and says why.
  const auto refused = [&](const std::string& program, const std::vector<std::string>& env,
                           const std::string& why) {
    const pid_t pid =
        SpawnChild(program, {"-d"}, env, (dir / "d.out").string(), (dir / "d.err").string());
    EXPECT_EQ(WaitChild(pid, 10000), 1);
    EXPECT_NE(slurp(dir / "d.err").find("vexil-agent: -d shows the debug window, " + why),
              std::string::npos)
        << slurp(dir / "d.err");
  };
  refused((dir / "vexil-agent").string(), headless,
          "which comes with the package vexil-agent-gui (not installed); install it");
  // With the window library, a display that cannot be reached is said in
  // words (Qt alone would abort).
  ASSERT_FALSE(fs::exists("/tmp/.X11-unix/X97"));
  auto unreachable = headless;
  unreachable.push_back("DISPLAY=:97");
  refused(VEXIL_AGENT_PATH, unreachable,
          "which needs a display, and none could be reached (DISPLAY=:97");
}

TEST_F(AgentOnPty, FallsBackToComOne) {
  PtyPair pty(1);
  Agent agent({}, recorder, dir / "stderr");
  ReportReader reader(pty.master(), Clock::now());
  Report r;
  ASSERT_TRUE(reader.Next(r, 6000)) << slurp(dir / "stderr");
  EXPECT_EQ(r.bytes.size(), 200u);
  EXPECT_NE(slurp(dir / "stderr").find("sending on COM1"), std::string::npos);
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(5000), 0);
}

// A line that a login session uses is left alone, by the agent and by
// vexil-ctl: a getty waiting on it (a real agetty, which holds it on its
// standard descriptors), or a session whose controlling terminal it is.
TEST_F(AgentOnPty, LoginSessionsKeepTheirTerminals) {
  if (geteuid() != 0)
    GTEST_SKIP() << "agetty runs as root only";
  PtyPair com2(2), com1(1, com2);
  ChildProcess getty, session;
  getty.pid = SpawnChild("/sbin/agetty", {"-L", "19200", com2.slavePath().substr(5), "vt100"},
                         {"PATH=/usr/bin:/bin"}, (dir / "getty.out").string(),
                         (dir / "getty.err").string());
  session.pid =
      SpawnChild("/usr/bin/python3",
                 {"-c", "import ctypes, os, time\nos.setsid()\n"
                        "ctypes.CDLL(None).prctl(15, b'\\x1b]0;PWNED\\x07sh', 0, 0, 0)\n"
                        "os.open('" +
                            com1.slavePath() + "', os.O_RDWR)\ntime.sleep(60)\n"},
                 {}, (dir / "session.out").string(), (dir / "session.err").string(), Group::Ours);
  // Both hold their terminals once the getty's prompt shows and the session
  // has it as its controlling terminal.
  // (The getty hangs the line up once as it starts: reads fail for a while.)
  std::string prompt;
  ASSERT_TRUE(Eventually(
      [&] {
        prompt += com2.ReadMaster(64, 0);
        return prompt.find("login: ") != std::string::npos;
      },
      5000))
      << prompt << slurp(dir / "getty.err");
  ASSERT_TRUE(Eventually([&] {
    std::ifstream stat("/proc/" + std::to_string(session.pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream rest(text.substr(text.rfind(')') + 1));
    std::string f[5];
    for (auto& x : f)
      rest >> x;
    return f[4] != "0";
  })) << slurp(dir / "session.err");

  Agent agent({}, recorder, dir / "stderr");
  EXPECT_EQ(agent.Wait(10000), 1);
  const std::string ports = com2.dir().string();
  EXPECT_NE(slurp(dir / "stderr")
                .find("neither COM2 (" + ports + "/COM2: in use by a login session (agetty, PID " +
                      std::to_string(getty.pid) + ")) nor COM1 (" + ports +
                      "/COM1: in use by a login session (\\x1b]0;PWNED\\x07sh, PID " +
                      std::to_string(session.pid) + ")) could be opened"),
            std::string::npos)
      << slurp(dir / "stderr");
  EXPECT_EQ(com1.ReadMaster(1, 500), "") << "nothing written into the session";

  const pid_t send =
      SpawnChild(VEXIL_CTL_PATH, {"send", "COM2", "poweroff"},
                 {"VEXIL_PORT_DIR=" + ports, "VEXIL_CONTROL_SOCKET=" + (dir / "none").string()},
                 (dir / "send.out").string(), (dir / "send.err").string());
  EXPECT_EQ(WaitChild(send, 10000), 1);
  EXPECT_NE(slurp(dir / "send.err").find("in use by a login session (agetty, PID"),
            std::string::npos)
      << slurp(dir / "send.err");
  EXPECT_EQ(com2.ReadMaster(1, 500), "") << "no command into the getty's prompt";
  // A device on a shell's standard input that is no terminal is no session.
  const pid_t null = SpawnChild(VEXIL_CTL_PATH, {"send", "/dev/null", "usb"},
                                {"VEXIL_CONTROL_SOCKET=" + (dir / "none").string()},
                                (dir / "null.out").string(), (dir / "null.err").string());
  EXPECT_EQ(WaitChild(null, 10000), 1);
  EXPECT_NE(slurp(dir / "null.err").find("not a serial device"), std::string::npos)
      << slurp(dir / "null.err");
}

// A getty started later on the agent's line (as root it passes the agent's
// exclusive open) gets the line: the agent leaves it, names the session in
// the journal and in the status, writes nothing more into it, and takes it
// back once the getty ends.
TEST_F(AgentOnPty, AGettyThatComesLaterGetsTheLine) {
  if (geteuid() != 0)
    GTEST_SKIP() << "agetty runs as root only";
  PtyPair com2(2);
  NotifySocket manager((dir / "notify").string());
  Agent agent({}, recorder, dir / "stderr", {manager.Env()});
  ASSERT_TRUE(reportOn(com2.master(), 6000)) << slurp(dir / "stderr");
  ChildProcess getty;
  getty.pid = SpawnChild("/sbin/agetty", {"-L", "19200", com2.slavePath().substr(5), "vt100"},
                         {"PATH=/usr/bin:/bin"}, (dir / "getty.out").string(),
                         (dir / "getty.err").string());
  const std::string cause = "in use by a login session (agetty, PID " + std::to_string(getty.pid);
  EXPECT_TRUE(said(cause, 5000)) << slurp(dir / "stderr");
  std::string statuses;
  EXPECT_TRUE(Eventually(
      [&] {
        statuses += manager.Next(100) + "\n";
        return statuses.find("STATUS=COM2 (" + com2.dir().string() + "/COM2): " + cause) !=
               std::string::npos;
      },
      5000))
      << statuses;
  // Once the agent has left, only the getty writes: its prompt, no report.
  std::string after;
  for (const auto end = Clock::now() + std::chrono::seconds(7); Clock::now() < end;)
    after += com2.ReadMaster(256, 100);
  EXPECT_NE(after.find("login: "), std::string::npos) << after;
  EXPECT_EQ(after.find("\xAA\xA2"), std::string::npos)
      << "an inventory report after the getty came";
  EXPECT_EQ(after.find("\xAA\xA1"), std::string::npos) << "a load report after the getty came";
  EXPECT_EQ(slurp(dir / "stderr").find("cable"), std::string::npos) << slurp(dir / "stderr");
  getty.Stop();
  EXPECT_TRUE(said("/COM2) again")) << slurp(dir / "stderr");
  EXPECT_TRUE(reportOn(com2.master(), 8000));
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(5000), 0);
}

// As a service the agent waits for a line instead of ending: ready for the
// service manager with a status that says so, the cause said once, and
// reports soon after a line appears.
TEST_F(AgentOnPty, ServiceWithoutALineWaitsForOne) {
  PtyPair pty(7); // neither COM2 nor COM1 yet
  NotifySocket manager((dir / "notify").string());
  const auto message = [&](int ms) { return manager.Next(ms); };
  Agent agent({}, recorder, dir / "stderr", {manager.Env()});
  const std::string ports = pty.dir().string();
  EXPECT_EQ(message(10000), "READY=1\nSTATUS=no serial line: waiting for COM2 or COM1; COM2 (" +
                                ports + "/COM2): no such device; COM1 (" + ports +
                                "/COM1): no such device");
  // Three more tries (every 2 s) change nothing and say nothing more.
  EXPECT_TRUE(agent.SleepsFor(6500)) << "while waiting";
  EXPECT_EQ(agent.Wait(0, OnTimeout::LeaveRunning), -1) << "still running";
  const std::string said = slurp(dir / "stderr");
  ASSERT_NE(said.find("could be opened"), std::string::npos) << said;
  EXPECT_EQ(said.find("could be opened"), said.rfind("could be opened")) << "said once: " << said;

  pty.Link(2);
  const auto linked = Clock::now();
  ReportReader reader(pty.master(), linked);
  Report r;
  ASSERT_TRUE(reader.Next(r, 15000)) << slurp(dir / "stderr");
  EXPECT_EQ(r.bytes.size(), 200u) << "the inventory report first";
  // A try every 2 s, then the report 3 s after the line opened: 5 s at
  // most; the rest is room for a busy machine and a sanitizer build (a try
  // every 5 s would take up to 8 s).
  EXPECT_LT(r.at, 7.5) << "seconds from the line's appearance to the first report";
  EXPECT_EQ(message(1000), "STATUS=sending on COM2 (" + pty.dir().string() + "/COM2)");
  EXPECT_NE(slurp(dir / "stderr").find("sending on COM2"), std::string::npos);
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(5000), 0);
}

TEST_F(AgentOnPty, NoPortExitsWithStatusOne) {
  PtyPair pty(7); // neither COM2 nor COM1
  Agent agent({}, recorder, dir / "stderr");
  EXPECT_EQ(agent.Wait(10000), 1);
  const std::string ports = pty.dir().string();
  EXPECT_NE(slurp(dir / "stderr")
                .find("vexil-agent: Cannot open COM port: neither COM2 (" + ports +
                      "/COM2: no such device) nor COM1 (" + ports +
                      "/COM1: no such device) could be opened"),
            std::string::npos)
      << "the comm error's text, then each port's cause: " << slurp(dir / "stderr");
}

// Asking what the agent is never starts one: no line is opened, not even for
// a moment, and no command can be carried out.
TEST_F(AgentOnPty, HelpAndVersionAnswerAndTouchNoLine) {
  PtyPair pty(2);
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, pty.slavePath().c_str(), IN_OPEN), 0);
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"--help"}, {"-h"}, {"--version"}, {"-d", "--help"}}) {
    Agent agent(args, recorder, dir / "stderr");
    EXPECT_EQ(agent.Wait(5000), 0) << args[0];
    const std::string out = slurp(dir / "stderr.out");
    if (args[0] == "--version") {
      EXPECT_EQ(out.rfind("vexil-agent ", 0), 0u) << out;
      EXPECT_NE(out.find('.'), std::string::npos) << "a version number: " << out;
    } else {
      for (const char* part : {"usage: vexil-agent", "-d", "VEXIL_PORT_DIR", "VEXIL_POWER_COMMAND",
                               "vexil-agent.service"})
        EXPECT_NE(out.find(part), std::string::npos) << part << " missing from:\n" << out;
    }
    EXPECT_EQ(slurp(dir / "stderr"), "");
  }
  send(pty.master(), "\xAA\xCC\xC1\xEE");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  char events[512];
  EXPECT_LT(read(watch, events, sizeof events), 0) << "something opened the line";
  const int opened = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GT(read(watch, events, sizeof events), 0) << "the watch itself sees an open";
  close(opened);
  close(watch);
  EXPECT_EQ(powerLog(), "");
}

// A power program that never returns does not keep the agent from ending.
TEST_F(AgentOnPty, HungPowerProgramDoesNotHoldTheEnd) {
  PtyPair pty(2);
  const fs::path hang = dir / "hang-power";
  std::ofstream(hang) << "#!/bin/sh\necho $$ > '" << (dir / "hang.pid").string()
                      << "'\nexec sleep 60\n";
  fs::permissions(hang, fs::perms::owner_all);
  Agent agent({}, hang, dir / "stderr");
  ASSERT_TRUE(said("sending on COM2")) << slurp(dir / "stderr");
  send(pty.master(), "\xAA\xCC\xC1\xEE");
  ASSERT_TRUE(Eventually([&] { return !slurp(dir / "hang.pid").empty(); }, 5000))
      << slurp(dir / "stderr");
  const auto start = Clock::now();
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(10000), 0);
  // It waits about 1.5 s for the program, where it used to wait for as long
  // as the program ran (60 s here); the bound leaves room for a sanitizer
  // build on a loaded machine.
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5)) << "ended without the program";
  EXPECT_NE(slurp(dir / "stderr").find("the power program still runs"), std::string::npos)
      << slurp(dir / "stderr");
  // The program is the test's to end (the service manager's, in service).
  const pid_t program = std::stoi(slurp(dir / "hang.pid"));
  EXPECT_EQ(kill(program, SIGKILL), 0);
}

// Each port's own cause: COM2 held by another program, COM1 no serial device.
TEST_F(AgentOnPty, StartUpMessageNamesEachPortsCause) {
  PtyPair pty(2);
  const int held = open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  std::ofstream(dir / "plain-file") << "x";
  fs::create_symlink(dir / "plain-file", pty.dir() / "COM1");
  Agent agent({}, recorder, dir / "stderr");
  EXPECT_EQ(agent.Wait(10000), 1);
  const std::string ports = pty.dir().string();
  EXPECT_NE(slurp(dir / "stderr")
                .find("neither COM2 (" + ports + "/COM2: in use by another program) nor COM1 (" +
                      ports + "/COM1: not a serial device) could be opened"),
            std::string::npos)
      << slurp(dir / "stderr");
  close(held);
}

// The adapter pulled and plugged in again: the agent says so, waits without
// spinning, and carries on on the new device, commands included.
TEST_F(AgentOnPty, PulledAndReplugedLineIsTakenUpAgain) {
  PtyPair pty(2);
  Agent agent({}, recorder, dir / "stderr");
  ASSERT_TRUE(reportOn(pty.master(), 6000)) << slurp(dir / "stderr");
  pty.CloseMaster();
  ASSERT_TRUE(Eventually(
      [&] { return slurp(dir / "stderr").find("line lost") != std::string::npos; }, 3000))
      << slurp(dir / "stderr");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  fs::remove(pty.dir() / "COM2"); // the device is gone while the adapter is out
  EXPECT_TRUE(agent.SleepsFor(10000)) << "in a 10 s outage";
  EXPECT_NE(slurp(dir / "stderr").find("line lost on COM2 (" + pty.dir().string() + "/COM2): "),
            std::string::npos)
      << slurp(dir / "stderr");

  pty.Replug();
  const auto back = Clock::now();
  ReportReader reader(pty.master(), back);
  Report r;
  ASSERT_TRUE(reader.Next(r, 8000)) << "no report on the new line; " << slurp(dir / "stderr");
  EXPECT_LT(r.at, 2.0 + 5.0 + 1.0) << "retry within 2 s, then the next report";
  EXPECT_NE(slurp(dir / "stderr").find("sending on COM2 (" + pty.dir().string() + "/COM2) again"),
            std::string::npos);
  send(pty.master(), "\xAA\xCC\xC1\xEE");
  EXPECT_TRUE(waitPower("poweroff\n", 3000)) << "a command on the new line";
  agent.Signal(SIGHUP);
  EXPECT_EQ(agent.Wait(5000), 0) << "SIGHUP ends the run as SIGTERM does";
}

// COM2 appears after the start: the agent leaves COM1 for it.
TEST_F(AgentOnPty, LateComTwoIsPreferred) {
  PtyPair com1(1);
  Agent agent({}, recorder, dir / "stderr");
  ASSERT_TRUE(reportOn(com1.master(), 6000)) << slurp(dir / "stderr");
  PtyPair com2(2, com1);
  ReportReader reader(com2.master(), Clock::now());
  Report r;
  ASSERT_TRUE(reader.Next(r, 15000)) << slurp(dir / "stderr");
  EXPECT_LT(r.at, 10.0 + 1.0) << "moved and reported within 10 s";
  EXPECT_NE(slurp(dir / "stderr").find("moved to COM2"), std::string::npos);
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(5000), 0);
}

// A line that is the kernel's console is never used unless allowed.
TEST_F(AgentOnPty, KernelConsoleIsSkipped) {
  PtyPair pty(2);
  const fs::path root = dir / "root";
  fs::create_directories(root / "sys/class/tty/console");
  fs::create_directories(root / "dev");
  std::ofstream(root / "sys/class/tty/console/active") << "tty0 ttyS1\n";
  fs::create_symlink(pty.slavePath(), root / "dev/ttyS1");
  {
    Agent agent({}, recorder, dir / "stderr", {"VEXIL_CONSOLE_ROOT=" + root.string()});
    EXPECT_EQ(agent.Wait(10000), 1);
    EXPECT_NE(slurp(dir / "stderr")
                  .find("COM2 (" + pty.dir().string() +
                        "/COM2: the kernel's console ttyS1, not used "
                        "(VEXIL_ALLOW_CONSOLE=1 allows it))"),
              std::string::npos)
        << slurp(dir / "stderr");
  }
  Agent agent({}, recorder, dir / "stderr2",
              {"VEXIL_CONSOLE_ROOT=" + root.string(), "VEXIL_ALLOW_CONSOLE=1"});
  EXPECT_TRUE(reportOn(pty.master(), 6000)) << slurp(dir / "stderr2");
  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(5000), 0);
}
