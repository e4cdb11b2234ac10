// What an idle line costs: wake-ups per second of the whole process (context
// switches of all its threads, from /proc) and CPU time, for an open port with
// the packager switched on in silence-cut mode and nothing on the line,
// against a bare thread that sleeps on a 5 s timer, measured in the same run.
//
//     bench_idle [seconds per measurement, 10] [repetitions, 3]
//
// The port sits on a pty linked as COM2 in a directory of its own.
#include <dirent.h>
#include <pty.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "comm/Tcommpkg.h"

namespace {

// Context switches of every thread of this process, by thread name.
std::map<std::string, long> switchesByThread() {
  std::map<std::string, long> out;
  DIR* d = opendir("/proc/self/task");
  if (!d)
    return out;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.')
      continue;
    const std::string dir = std::string("/proc/self/task/") + e->d_name;
    std::string comm;
    std::getline(std::ifstream(dir + "/comm"), comm);
    std::ifstream status(dir + "/status");
    for (std::string line; std::getline(status, line);)
      if (line.find("ctxt_switches:") != std::string::npos)
        out[comm] += std::stol(line.substr(line.find(':') + 1));
  }
  closedir(d);
  return out;
}

long total(const std::map<std::string, long>& m) {
  long n = 0;
  for (const auto& [name, count] : m)
    n += count;
  return n;
}

double cpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Sample {
  double wakeups = 0, cpuPercent = 0;
  std::map<std::string, long> perThread;
};

// Measures the process over `seconds` while the main thread sleeps.
Sample measure(double seconds) {
  const auto before = switchesByThread();
  const double cpu0 = cpuSeconds();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu1 = cpuSeconds();
  const auto after = switchesByThread();
  Sample s;
  // The measuring thread's own sleep and reads are the same in both runs.
  s.wakeups = static_cast<double>(total(after) - total(before)) / seconds;
  s.cpuPercent = 100.0 * (cpu1 - cpu0) / seconds;
  for (const auto& [name, count] : after) {
    const auto it = before.find(name);
    s.perThread[name] = count - (it == before.end() ? 0 : it->second);
  }
  return s;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

Sample baseline(double seconds) {
  std::mutex m;
  std::condition_variable cv;
  bool stop = false;
  std::thread sleeper([&] {
    pthread_setname_np(pthread_self(), "5s-timer");
    std::unique_lock lock(m);
    while (!stop)
      cv.wait_for(lock, std::chrono::seconds(5));
  });
  const Sample s = measure(seconds);
  {
    std::lock_guard lock(m);
    stop = true;
  }
  cv.notify_all();
  sleeper.join();
  return s;
}

Sample idleLine(double seconds) {
  int master = -1, slave = -1;
  char name[256];
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
    std::abort();
  close(slave);
  std::string pattern = (std::filesystem::temp_directory_path() / "vexil-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data()))
    std::abort();
  const std::filesystem::path dir = pattern;
  std::filesystem::create_symlink(name, dir / "COM2");
  setenv("VEXIL_PORT_DIR", dir.c_str(), 1);
  Sample s;
  {
    LumaroComm32::TComm32 port;
    LumaroComm32::TCommPackage pkg(&port);
    port.Dcb.BaudRate = 19200;
    pkg.fSetPkgType(LumaroComm32::cptFrameTimeout);
    port.Open();
    pkg.fSetActive(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // settle
    s = measure(seconds);
    pkg.fSetActive(false);
    port.Close();
  }
  close(master);
  std::filesystem::remove_all(dir);
  return s;
}

} // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  const int reps = argc > 2 ? std::atoi(argv[2]) : 3;
  std::vector<double> baseWake, baseCpu, lineWake, lineCpu;
  Sample last;
  for (int i = 0; i < reps; ++i) {
    const Sample b = baseline(seconds);
    last = idleLine(seconds);
    baseWake.push_back(b.wakeups);
    baseCpu.push_back(b.cpuPercent);
    lineWake.push_back(last.wakeups);
    lineCpu.push_back(last.cpuPercent);
    std::printf("run %d: bare 5 s timer %.2f wake-ups/s %.4f %% CPU; idle line %.2f wake-ups/s "
                "%.4f %% CPU\n",
                i + 1, b.wakeups, b.cpuPercent, last.wakeups, last.cpuPercent);
  }
  std::printf("\nidle line, last run, context switches per thread over %.0f s:\n", seconds);
  for (const auto& [name, count] : last.perThread)
    if (count > 0)
      std::printf("  %-16s %ld\n", name.c_str(), count);
  const double bw = median(baseWake), lw = median(lineWake);
  std::printf("\nmedians of %d runs of %.0f s:\n", reps, seconds);
  std::printf("  bare thread on a 5 s timer  %6.2f wake-ups/s  %.4f %% of a core\n", bw,
              median(baseCpu));
  std::printf("  idle port + packager        %6.2f wake-ups/s  %.4f %% of a core\n", lw,
              median(lineCpu));
  std::printf("  difference %.2f wake-ups/s (goal: at most 6, the port's 200 ms timer)\n", lw - bw);
  return 0;
}
