// The figures of the running system that the agent reports: memory, the
// processors' idle time, a millisecond tick. One interface, a Linux
// implementation over /proc and /sys (its root injectable, so tests run on
// fixture trees), and a process-wide instance that tests can replace.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct MemoryStatus {
  std::uint64_t TotalPhys = 0;
  std::uint64_t AvailPhys = 0;
};

class SystemFigures {
public:
  virtual ~SystemFigures() = default;
  virtual bool GetMemoryStatus(MemoryStatus& status) = 0;
  // Milliseconds from a monotonic clock, kept in 32 bits (it wraps).
  virtual std::uint32_t GetTickCount() = 0;
  // Each processor's accumulated idle time in milliseconds, in processor
  // order.
  virtual bool GetProcessorIdleTimes(std::vector<std::uint64_t>& idleMs) = 0;
};

class LinuxSystemFigures : public SystemFigures {
public:
  explicit LinuxSystemFigures(std::string root = "/");
  // MemTotal and MemAvailable of proc/meminfo.
  bool GetMemoryStatus(MemoryStatus& status) override;
  std::uint32_t GetTickCount() override;
  // Idle plus iowait of each cpuN line of proc/stat.
  bool GetProcessorIdleTimes(std::vector<std::uint64_t>& idleMs) override;

  // Parsers, exposed for tests.
  static bool ParseMemInfo(const std::string& text, MemoryStatus& status);
  static bool ParseStat(const std::string& text, long ticksPerSecond,
                        std::vector<std::uint64_t>& idleMs);

private:
  std::string path(const char* rel) const;
  std::string root_;
};

// The figures the agent uses; a test installs its own (null: Linux again)
// and gets back the one it replaced.
SystemFigures& Figures();
SystemFigures* SetSystemFigures(SystemFigures* figures);

} // namespace platform
