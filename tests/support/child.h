// Starting the project's programs from tests: one child process with its
// standard output and error in files, and waiting for its exit status.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

extern char** environ;

enum class Group { Own, Ours };

// The child's pid, or -1 when it cannot be started. env empty: this process's
// environment. The child leads a process group of its own, so that a test
// that gives up on it ends everything it started too; Group::Ours leaves it
// in the test's (a group leader cannot make a session of its own).
inline pid_t SpawnChild(const std::string& program, const std::vector<std::string>& args,
                        std::vector<std::string> env, const std::string& outFile,
                        const std::string& errFile, Group group = Group::Own) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  if (group == Group::Own) {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
  }
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(),
                             env.empty() ? environ : envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// env with the sanitizers' options of this process added: a sanitized
// program started by a test reports as the test itself would.
inline std::vector<std::string> WithSanitizerOptions(std::vector<std::string> env) {
  for (const char* keep : {"TSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(keep))
      env.push_back(std::string(keep) + "=" + v);
  return env;
}

enum class OnTimeout { Kill, LeaveRunning };

// The exit status (128 + signal when killed); -1 after timeoutMs, and then
// the child and its process group are killed and reaped, unless the caller
// asked to leave it running (to see that it still runs).
inline int WaitChild(pid_t pid, int timeoutMs, OnTimeout onTimeout = OnTimeout::Kill) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  do {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < end);
  if (onTimeout == OnTimeout::Kill && pid > 0) {
    if (getpgid(pid) == pid)
      kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  return -1;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A child process that is ended (SIGTERM, then SIGKILL) and reaped with the
// test, or earlier by Stop.
struct ChildProcess {
  pid_t pid = -1;
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ChildProcess(ChildProcess&& o) noexcept : pid(o.pid) { o.pid = -1; }
  ~ChildProcess() { Stop(); }
  void Stop() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      WaitChild(pid, 5000); // killed with its group past that
    }
    pid = -1;
  }
};

// CPU seconds a process has used so far (all its threads), from /proc.
inline double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos)
    return 0;
  std::istringstream rest(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i)
    if (i == 14 || i == 15)
      ticks += std::stod(field);
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Times a process's threads have slept and been woken so far (voluntary
// context switches). A loop that polls shows here whatever the machine's
// load, where its CPU time grows with the load. Counted: the main thread
// and the threads the program named (each that it starts); one that still
// bears the program's name is the runtime's (a sanitizer's background
// thread wakes ten times a second). Threads that ended take their counts
// with them.
inline long ProcessWakeups(pid_t pid) {
  // A thread's name and count, from one read of its status.
  const auto read = [](const std::filesystem::path& status) {
    std::ifstream in(status);
    std::string name;
    long count = 0;
    for (std::string l; std::getline(in, l);)
      if (l.rfind("Name:\t", 0) == 0)
        name = l.substr(6);
      else if (l.rfind("voluntary_ctxt_switches:", 0) == 0)
        count = std::stol(l.substr(24));
    return std::make_pair(name, count);
  };
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  const std::string main = std::to_string(pid);
  const auto [program, mainCount] = read(tasks / main / "status");
  long total = mainCount;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator(tasks, ec)) {
    if (task.path().filename() == main)
      continue;
    const auto [name, count] = read(task.path() / "status");
    if (name != program)
      total += count;
  }
  return total;
}

// Runs a shell script (sh -e) in dir, its output in dir/sh.out and sh.err;
// whether it succeeded within a minute.
inline bool RunShell(const std::string& script, const std::string& dir) {
  const pid_t pid = SpawnChild("/bin/sh", {"-ec", "cd '" + dir + "'\n" + script},
                               {"PATH=/usr/bin:/bin"}, dir + "/sh.out", dir + "/sh.err");
  return WaitChild(pid, 60000) == 0;
}
