// vexil-agent as a whole program on a pty pair, its power actions going to a
// recorder through VEXIL_POWER_COMMAND.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/pty_pair.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// A running agent; killed and reaped when the test ends.
class Agent {
public:
  Agent(const std::vector<std::string>& args, const fs::path& recorder, const fs::path& errFile) {
    std::vector<std::string> env = {"VEXIL_PORT_DIR=" + std::string(std::getenv("VEXIL_PORT_DIR")),
                                    "VEXIL_POWER_COMMAND=" + recorder.string(),
                                    "QT_QPA_PLATFORM=offscreen", "PATH=/usr/bin:/bin", "LANG=C"};
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
  // Waits for the exit status; -1 after timeoutMs.
  int Wait(int timeoutMs) {
    const int status = WaitChild(pid_, timeoutMs);
    if (status >= 0)
      pid_ = -1;
    return status;
  }
  void Signal(int sig) { kill(pid_, sig); }

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
    dir = fs::temp_directory_path() /
          ("vexil-e2e-" + std::to_string(getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    recorder = dir / "record-power";
    std::ofstream(recorder) << "#!/bin/sh\necho \"$1\" >> '" << (dir / "power.log").string()
                            << "'\n";
    fs::permissions(recorder, fs::perms::owner_all);
  }
  void TearDown() override { fs::remove_all(dir); }
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
  void send(int fd, const std::string& bytes) {
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

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
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  send(pty.master(), std::string("\xAA\x00\xC1\xEE", 4));
  EXPECT_TRUE(waitPower("reboot\npoweroff\n", 3000));

  agent.Signal(SIGTERM);
  EXPECT_EQ(agent.Wait(5000), 0) << "SIGTERM ends the run as Exit does";
}

TEST_F(AgentOnPty, DebugModeOnlyLogsCommands) {
  PtyPair pty(2);
  Agent agent({"-d"}, recorder, dir / "stderr");
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  send(pty.master(), "\xAA\xCC\xC2\xEE");
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  send(pty.master(), "\xAA\xCC\xB1\xEE");
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_EQ(powerLog(), "");
  agent.Signal(SIGINT);
  EXPECT_EQ(agent.Wait(5000), 0);
  EXPECT_EQ(slurp(dir / "stderr.out"), "*********usb changed********");
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

TEST_F(AgentOnPty, NoPortExitsWithStatusOne) {
  PtyPair pty(7); // neither COM2 nor COM1
  Agent agent({}, recorder, dir / "stderr");
  EXPECT_EQ(agent.Wait(10000), 1);
  const std::string err = slurp(dir / "stderr");
  EXPECT_NE(err.find("Cannot open COM port"), std::string::npos) << err;
  EXPECT_NE(err.find("COM2"), std::string::npos);
}
