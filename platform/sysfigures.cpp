#include "platform/sysfigures.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

bool readFile(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  text = ss.str();
  return true;
}

LinuxSystemFigures linuxFigures;
std::atomic<SystemFigures*> installed{nullptr};

} // namespace

LinuxSystemFigures::LinuxSystemFigures(std::string root) : root_(std::move(root)) {}

std::string LinuxSystemFigures::path(const char* rel) const {
  if (root_.empty() || root_ == "/")
    return std::string("/") + rel;
  return root_ + (root_.back() == '/' ? "" : "/") + rel;
}

bool LinuxSystemFigures::ParseMemInfo(const std::string& text, MemoryStatus& status) {
  std::istringstream lines(text);
  std::string key;
  std::uint64_t kb = 0;
  bool total = false, avail = false;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    if (!(fields >> key >> kb))
      continue;
    if (key == "MemTotal:") {
      status.TotalPhys = kb * 1024;
      total = true;
    } else if (key == "MemAvailable:") {
      status.AvailPhys = kb * 1024;
      avail = true;
    }
  }
  return total && avail;
}

bool LinuxSystemFigures::ParseStat(const std::string& text, long ticksPerSecond,
                                   std::vector<std::uint64_t>& idleMs) {
  if (ticksPerSecond <= 0)
    return false;
  idleMs.clear();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    // "cpuN user nice system idle iowait ...": not the "cpu" total line.
    if (line.size() < 4 || line.compare(0, 3, "cpu") != 0 || line[3] < '0' || line[3] > '9')
      continue;
    std::istringstream fields(line);
    std::string name;
    std::uint64_t user, nice, system, idle, iowait = 0;
    if (!(fields >> name >> user >> nice >> system >> idle))
      continue;
    fields >> iowait; // absent on very old kernels
    idleMs.push_back((idle + iowait) * 1000 / static_cast<std::uint64_t>(ticksPerSecond));
  }
  return !idleMs.empty();
}

bool LinuxSystemFigures::GetMemoryStatus(MemoryStatus& status) {
  std::string text;
  return readFile(path("proc/meminfo"), text) && ParseMemInfo(text, status);
}

std::uint32_t LinuxSystemFigures::GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
                                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000);
}

bool LinuxSystemFigures::GetProcessorIdleTimes(std::vector<std::uint64_t>& idleMs) {
  std::string text;
  return readFile(path("proc/stat"), text) && ParseStat(text, sysconf(_SC_CLK_TCK), idleMs);
}

SystemFigures& Figures() {
  SystemFigures* f = installed.load();
  return f ? *f : linuxFigures;
}

SystemFigures* SetSystemFigures(SystemFigures* figures) { return installed.exchange(figures); }

} // namespace platform
