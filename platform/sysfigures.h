// The figures of the running system that the agent reports: memory, the
// processors' idle time, a millisecond tick. One interface, a Linux
// implementation over /proc and /sys (its root injectable, so tests run on
// fixture trees), a Windows one (sysfigures_win32.cpp), and a process-wide
// instance that tests can replace.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/osinfo.h"

namespace platform {

struct MemoryStatus {
  std::uint64_t TotalPhys = 0;
  std::uint64_t AvailPhys = 0;
};

struct DiskGeometry {
  std::uint64_t Cylinders = 0;
  std::uint32_t TracksPerCylinder = 0;
  std::uint32_t SectorsPerTrack = 0;
  std::uint32_t BytesPerSector = 0;
};

// What the processor identification instruction tells: the vendor string of
// leaf 0, EAX (signature) and EBX (brand index in bits 0-7) of leaf 1.
struct CpuIdentity {
  std::string Vendor;
  std::uint32_t Signature = 0;
  std::uint32_t Ebx = 0;
};

class SystemFigures {
public:
  virtual ~SystemFigures() = default;
  // The processors and the last one's nominal clock in MHz.
  virtual bool GetProcessors(unsigned& count, std::uint32_t& clockMHz) = 0;
  // One entry per network card, in order: its first IPv4 address as text,
  // empty when it has none. False when the cards cannot be listed.
  virtual bool GetNetworkCards(std::vector<std::string>& addresses) = 0;
  // The whole disks, each as a Windows-style geometry.
  virtual std::vector<DiskGeometry> GetDisks() = 0;
  virtual std::string GetComputerName() = 0;
  // False where there is no such instruction.
  virtual bool GetCpuIdentity(CpuIdentity& id) = 0;
  virtual bool GetOsVersion(OsVersionRecord& record) = 0;
  virtual bool GetMemoryStatus(MemoryStatus& status) = 0;
  // Milliseconds from a monotonic clock, kept in 32 bits (it wraps).
  virtual std::uint32_t GetTickCount() = 0;
  // Each processor's accumulated idle time in milliseconds, in processor
  // order.
  virtual bool GetProcessorIdleTimes(std::vector<std::uint64_t>& idleMs) = 0;
};

#ifndef _WIN32
// What cannot change while the system runs (the OS text, the processor
// identification) is read once; the processors, the network cards with
// their addresses and the disks are read again only when the kernel tells of
// a change (uevents, rtnetlink), or every time where those cannot be
// watched; memory, idle times and the host name are read at every call from
// files kept open.
class LinuxSystemFigures : public SystemFigures {
public:
  explicit LinuxSystemFigures(std::string root = "/");
  ~LinuxSystemFigures() override;
  // MemTotal and MemAvailable of proc/meminfo.
  bool GetMemoryStatus(MemoryStatus& status) override;
  std::uint32_t GetTickCount() override;
  // Idle plus iowait of each cpuN line of proc/stat.
  bool GetProcessorIdleTimes(std::vector<std::uint64_t>& idleMs) override;
  // The online processors; the clock of the last one from cpufreq's
  // cpuinfo_max_freq, else the "cpu MHz" line of proc/cpuinfo.
  bool GetProcessors(unsigned& count, std::uint32_t& clockMHz) override;
  // Interfaces backed by a device, in interface-index order. A card without
  // an address of its own has that of the bond or bridge it is enslaved to
  // (followed upwards), else that of a VLAN or other interface above it.
  bool GetNetworkCards(std::vector<std::string>& addresses) override;
  // sys/block entries that are whole disks, in name order.
  std::vector<DiskGeometry> GetDisks() override;
  std::string GetComputerName() override;
  bool GetCpuIdentity(CpuIdentity& id) override;
  bool GetOsVersion(OsVersionRecord& record) override;

  // Parsers, exposed for tests.
  static bool ParseMemInfo(const std::string& text, MemoryStatus& status);
  static bool ParseStat(const std::string& text, long ticksPerSecond,
                        std::vector<std::uint64_t>& idleMs);
  // "0-3,5,7-8" -> the listed numbers.
  static std::vector<int> ParseCpuList(const std::string& text);
  // Whether a sys/block name is a whole disk worth counting.
  static bool IsDiskName(const std::string& name);
  // The geometry Windows would report for a disk of this many bytes.
  static DiskGeometry GeometryOf(std::uint64_t bytes, std::uint32_t bytesPerSector);

protected:
  // Each interface's first IPv4 address, by interface name (getifaddrs).
  virtual std::map<std::string, std::string> FirstIpv4Addresses();

private:
  struct Kept;
  std::string path(const char* rel) const;
  Kept& kept();
  bool readProcessors(unsigned& count, std::uint32_t& clockMHz);
  bool readNetworkCards(std::vector<std::string>& addresses);
  std::vector<DiskGeometry> readDisks();
  std::string root_;
  std::unique_ptr<Kept> kept_;
};
#endif

// The running system's figures: Linux's or Windows'.
SystemFigures& NativeSystemFigures();

// The figures the agent uses; a test installs its own (null: Linux again)
// and gets back the one it replaced.
SystemFigures& Figures();
SystemFigures* SetSystemFigures(SystemFigures* figures);

} // namespace platform
