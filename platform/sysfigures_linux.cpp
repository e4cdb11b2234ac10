#include "platform/sysfigures.h"

#include "platform/files.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

LinuxSystemFigures linuxFigures;

// The name a sysfs link points at (its last part), "" when there is none.
std::string linkName(const std::string& link) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink(link, ec);
  return ec ? "" : target.filename().string();
}

// The interfaces directly above the one in dir (its upper_<name> links), in
// name order.
std::vector<std::string> uppersOf(const std::string& dir) {
  std::vector<std::string> uppers;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (std::strncmp(e->d_name, "upper_", 6) == 0)
        uppers.push_back(e->d_name + 6);
    closedir(d);
  }
  std::sort(uppers.begin(), uppers.end());
  return uppers;
}

} // namespace

LinuxSystemFigures::LinuxSystemFigures(std::string root) : root_(std::move(root)) {}

std::string LinuxSystemFigures::path(const char* rel) const {
  return PathUnder(root_, rel);
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
  return ReadTextFile(path("proc/meminfo"), text) && ParseMemInfo(text, status);
}

std::uint32_t LinuxSystemFigures::GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
                                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000);
}

bool LinuxSystemFigures::GetProcessorIdleTimes(std::vector<std::uint64_t>& idleMs) {
  std::string text;
  return ReadTextFile(path("proc/stat"), text) && ParseStat(text, sysconf(_SC_CLK_TCK), idleMs);
}

std::vector<int> LinuxSystemFigures::ParseCpuList(const std::string& text) {
  std::vector<int> cpus;
  std::istringstream parts(text);
  std::string part;
  while (std::getline(parts, part, ',')) {
    int first = 0, last = 0;
    const auto dash = part.find('-');
    try {
      first = std::stoi(part.substr(0, dash));
      last = dash == std::string::npos ? first : std::stoi(part.substr(dash + 1));
    } catch (...) {
      continue;
    }
    for (int c = first; c <= last && c - first < 65536; ++c)
      cpus.push_back(c);
  }
  return cpus;
}

bool LinuxSystemFigures::IsDiskName(const std::string& name) {
  static const char* const notDisks[] = {"loop", "ram", "zram", "dm-", "md", "sr", "fd", "nbd"};
  for (const char* prefix : notDisks)
    if (name.compare(0, std::strlen(prefix), prefix) == 0)
      return false;
  return !name.empty() && name[0] != '.';
}

DiskGeometry LinuxSystemFigures::GeometryOf(std::uint64_t bytes, std::uint32_t bytesPerSector) {
  DiskGeometry g;
  g.BytesPerSector = bytesPerSector ? bytesPerSector : 512;
  g.SectorsPerTrack = 63;
  g.TracksPerCylinder = 255;
  g.Cylinders = bytes / (255ull * 63ull * g.BytesPerSector);
  return g;
}

bool LinuxSystemFigures::GetProcessors(unsigned& count, std::uint32_t& clockMHz) {
  std::string text;
  std::vector<int> cpus;
  if (ReadTextFile(path("sys/devices/system/cpu/online"), text))
    cpus = ParseCpuList(text);
  if (cpus.empty())
    return false;
  count = static_cast<unsigned>(std::min<std::size_t>(cpus.size(), 255));
  clockMHz = 0;
  const std::string last = "sys/devices/system/cpu/cpu" + std::to_string(cpus.back());
  if (ReadTextFile(path((last + "/cpufreq/cpuinfo_max_freq").c_str()), text)) {
    clockMHz = static_cast<std::uint32_t>(std::stoull("0" + text) / 1000);
  } else if (ReadTextFile(path("proc/cpuinfo"), text)) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
      if (line.compare(0, 7, "cpu MHz") == 0) {
        const auto colon = line.find(':');
        if (colon != std::string::npos)
          clockMHz = static_cast<std::uint32_t>(std::lround(std::atof(line.c_str() + colon + 1)));
      }
  }
  return true;
}

bool LinuxSystemFigures::GetNetworkCards(std::vector<std::string>& addresses) {
  addresses.clear();
  DIR* d = opendir(path("sys/class/net").c_str());
  if (!d)
    return false;
  std::map<int, std::string> cards; // interface index -> name
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name[0] == '.')
      continue;
    struct stat st {};
    const std::string dir = "sys/class/net/" + name;
    if (stat(path((dir + "/device").c_str()).c_str(), &st) != 0)
      continue; // virtual: loopback, bridges, tunnels
    std::string index;
    ReadTextFile(path((dir + "/ifindex").c_str()), index);
    cards[std::atoi(index.c_str())] = name;
  }
  closedir(d);
  const auto firstAddress = FirstIpv4Addresses();
  const auto addressOf = [&](const std::string& name) {
    const auto it = firstAddress.find(name);
    return it == firstAddress.end() ? std::string() : it->second;
  };
  for (const auto& [index, name] : cards) {
    // A card's own address; on servers the address is usually on what the
    // card is enslaved to (a bond, a bridge, followed upwards), else on a
    // VLAN or other interface above it.
    std::string address = addressOf(name);
    std::vector<std::string> seen{name};
    for (std::string at = name; address.empty() && seen.size() < 16;) {
      at = linkName(path(("sys/class/net/" + at + "/master").c_str()));
      if (at.empty() || std::find(seen.begin(), seen.end(), at) != seen.end())
        break;
      seen.push_back(at);
      address = addressOf(at);
    }
    std::vector<std::string> next{name};
    seen = {name};
    while (address.empty() && !next.empty() && seen.size() < 64) {
      std::vector<std::string> above;
      for (const auto& at : next)
        for (const auto& upper : uppersOf(path(("sys/class/net/" + at).c_str())))
          if (std::find(seen.begin(), seen.end(), upper) == seen.end()) {
            seen.push_back(upper);
            above.push_back(upper);
          }
      for (const auto& upper : above)
        if (address.empty())
          address = addressOf(upper);
      next = std::move(above);
    }
    addresses.push_back(address);
  }
  return true;
}

std::map<std::string, std::string> LinuxSystemFigures::FirstIpv4Addresses() {
  std::map<std::string, std::string> first;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0)
    return first;
  for (ifaddrs* a = list; a; a = a->ifa_next) {
    if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET || first.count(a->ifa_name))
      continue;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
    first[a->ifa_name] = text;
  }
  freeifaddrs(list);
  return first;
}

std::vector<DiskGeometry> LinuxSystemFigures::GetDisks() {
  std::vector<std::string> names;
  if (DIR* d = opendir(path("sys/block").c_str())) {
    while (dirent* e = readdir(d))
      if (IsDiskName(e->d_name))
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  std::vector<DiskGeometry> disks;
  for (const auto& name : names) {
    std::string sectors, block;
    if (!ReadTextFile(path(("sys/block/" + name + "/size").c_str()), sectors))
      continue;
    ReadTextFile(path(("sys/block/" + name + "/queue/logical_block_size").c_str()), block);
    // sys/block sizes count 512-byte units whatever the disk's own sectors.
    const std::uint64_t bytes = std::stoull("0" + sectors) * 512;
    disks.push_back(GeometryOf(bytes, static_cast<std::uint32_t>(std::atoi(block.c_str()))));
  }
  return disks;
}

std::string LinuxSystemFigures::GetComputerName() {
  std::string name;
  if (ReadTextFile(path("proc/sys/kernel/hostname"), name)) {
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
      name.pop_back();
    return name;
  }
  char host[256] = {};
  return gethostname(host, sizeof host - 1) == 0 ? host : "";
}

bool LinuxSystemFigures::GetCpuIdentity(CpuIdentity& id) {
#if defined(__x86_64__) || defined(__i386__)
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(0, &eax, &ebx, &ecx, &edx))
    return false;
  char vendor[13] = {};
  std::memcpy(vendor, &ebx, 4);
  std::memcpy(vendor + 4, &edx, 4);
  std::memcpy(vendor + 8, &ecx, 4);
  id.Vendor = vendor;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
    id.Signature = eax;
    id.Ebx = ebx;
  }
  return true;
#else
  (void)id;
  return false;
#endif
}

bool LinuxSystemFigures::GetOsVersion(OsVersionRecord& record) {
  return GetOsVersionRecord(record, root_.empty() ? "/" : root_);
}

SystemFigures& NativeSystemFigures() {
  return linuxFigures;
}

} // namespace platform
