#include "platform/sysfigures.h"

#include "platform/files.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/socket.h>
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
#include <optional>
#include <utility>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <string_view>
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

// A /proc or /sys file opened once and read from its start at each call
// with pread(); opened again after a failed read.
class KeptFile {
public:
  explicit KeptFile(std::string path) : path_(std::move(path)) {}
  KeptFile(const KeptFile&) = delete;
  KeptFile& operator=(const KeptFile&) = delete;
  ~KeptFile() { drop(); }

  bool Read(std::string& text) {
    if (fd_ < 0)
      fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
      return false;
    if (text.size() < 4096)
      text.resize(4096);
    for (;;) {
      std::size_t got = 0;
      ssize_t n;
      while ((n = pread(fd_, text.data() + got, text.size() - got, static_cast<off_t>(got))) > 0)
        got += static_cast<std::size_t>(n);
      if (n < 0) {
        drop();
        return false;
      }
      if (got < text.size()) {
        text.resize(got);
        return true;
      }
      // Filled: the file may be longer, read it again into more room.
      text.resize(text.size() * 2);
    }
  }

private:
  void drop() {
    if (fd_ >= 0)
      close(fd_);
    fd_ = -1;
  }
  const std::string path_;
  int fd_ = -1;
};

// A non-blocking netlink socket bound to the given multicast groups; -1
// where the kernel or the sandbox refuses.
int netlinkSocket(int protocol, std::uint32_t groups) {
  const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, protocol);
  if (fd < 0)
    return -1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = groups;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The subsystem a uevent names ("SUBSYSTEM=block" among its NUL-separated
// fields), "" when none.
std::string ueventSubsystem(const char* message, std::size_t length) {
  static constexpr char KEY[] = "SUBSYSTEM=";
  for (std::size_t at = 0; at < length;) {
    const char* field = message + at;
    const std::size_t n = strnlen(field, length - at);
    if (n >= sizeof KEY - 1 && std::memcmp(field, KEY, sizeof KEY - 1) == 0)
      return std::string(field + sizeof KEY - 1, n - (sizeof KEY - 1));
    at += n + 1;
  }
  return "";
}

// Reads until a read succeeds, then hands out what it read.
template <class T, class Read> bool readOnce(std::optional<T>& kept, T& out, Read read) {
  if (!kept) {
    T value{};
    if (read(value))
      kept = std::move(value);
  }
  if (kept)
    out = *kept;
  return kept.has_value();
}

bool readCpuIdentity(CpuIdentity& id) {
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

} // namespace

// The files kept open and the figures kept between calls, each with whether
// it must be read again. A change told by the kernel marks the figures it
// concerns; nothing is taken from the message itself, so one from anyone
// costs a read, no more.
struct LinuxSystemFigures::Kept {
  explicit Kept(const LinuxSystemFigures& f)
      : meminfo(f.path("proc/meminfo")), stat(f.path("proc/stat")),
        hostname(f.path("proc/sys/kernel/hostname")),
        links(netlinkSocket(NETLINK_ROUTE, RTMGRP_LINK | RTMGRP_IPV4_IFADDR)),
        devices(netlinkSocket(NETLINK_KOBJECT_UEVENT, 1)) {}
  Kept(const Kept&) = delete;
  Kept& operator=(const Kept&) = delete;
  ~Kept() {
    for (int fd : {links, devices})
      if (fd >= 0)
        close(fd);
  }

  // Takes what the kernel told since the last look; one poll() when it told
  // nothing.
  void Update() {
    pollfd fds[2] = {{links, POLLIN, 0}, {devices, POLLIN, 0}};
    if ((links < 0 && devices < 0) || poll(fds, 2, 0) <= 0)
      return;
    char message[8192];
    ssize_t n;
    if (fds[0].revents)
      while ((n = recv(links, message, sizeof message, MSG_DONTWAIT)) > 0 || errno == ENOBUFS ||
             errno == EINTR)
        netStale = true;
    if (fds[1].revents)
      while ((n = recv(devices, message, sizeof message, MSG_DONTWAIT)) > 0 || errno == ENOBUFS ||
             errno == EINTR) {
        // An overflow lost messages: anything may have changed.
        const std::string subsystem =
            n > 0 ? ueventSubsystem(message, static_cast<std::size_t>(n)) : "";
        netStale = netStale || n <= 0 || subsystem == "net";
        disksStale = disksStale || n <= 0 || subsystem == "block";
        cpusStale = cpusStale || n <= 0 || subsystem == "cpu";
      }
  }

  KeptFile meminfo, stat, hostname;
  const int links, devices;
  // Read again at the next call: always, where the change is not watched.
  bool cpusStale = true, netStale = true, disksStale = true;
  unsigned cpuCount = 0;
  std::uint32_t cpuMHz = 0;
  bool haveCards = false;
  std::vector<std::string> cards;
  std::vector<DiskGeometry> disks;
  // Read once: they do not change while the system runs.
  std::optional<OsVersionRecord> os;
  std::optional<CpuIdentity> cpu;
};

LinuxSystemFigures::LinuxSystemFigures(std::string root) : root_(std::move(root)) {}

LinuxSystemFigures::~LinuxSystemFigures() = default;

LinuxSystemFigures::Kept& LinuxSystemFigures::kept() {
  // Watching starts before the first read, so no change is missed between.
  if (!kept_)
    kept_ = std::make_unique<Kept>(*this);
  kept_->Update();
  return *kept_;
}

std::string LinuxSystemFigures::path(const char* rel) const {
  return PathUnder(root_, rel);
}

bool LinuxSystemFigures::ParseMemInfo(const std::string& text, MemoryStatus& status) {
  bool total = false, avail = false;
  for (std::size_t at = 0; at < text.size() && !(total && avail);) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line(text.data() + at, end - at);
    const auto value = [&](std::string_view key, std::uint64_t& bytes) {
      if (line.substr(0, key.size()) != key)
        return false;
      const std::string digits(line.substr(key.size()));
      char* stop = nullptr;
      const unsigned long long kb = std::strtoull(digits.c_str(), &stop, 10);
      if (stop == digits.c_str())
        return false;
      bytes = kb * 1024;
      return true;
    };
    total = value("MemTotal:", status.TotalPhys) || total;
    avail = value("MemAvailable:", status.AvailPhys) || avail;
    at = end + 1;
  }
  return total && avail;
}

bool LinuxSystemFigures::ParseStat(const std::string& text, long ticksPerSecond,
                                   std::vector<std::uint64_t>& idleMs) {
  if (ticksPerSecond <= 0)
    return false;
  idleMs.clear();
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    // "cpuN user nice system idle iowait ...": not the "cpu" total line.
    const std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.size() < 4 || line.compare(0, 3, "cpu") != 0 || line[3] < '0' || line[3] > '9')
      continue;
    const char* p = line.c_str() + 3;
    char* stop = nullptr;
    std::strtoull(p, &stop, 10); // the processor's number
    std::uint64_t fields[5] = {};
    int n = 0;
    for (p = stop; n < 5; ++n, p = stop) {
      fields[n] = std::strtoull(p, &stop, 10);
      if (stop == p)
        break;
    }
    if (n < 4)
      continue;
    // fields: user nice system idle iowait (absent on very old kernels)
    idleMs.push_back((fields[3] + fields[4]) * 1000 / static_cast<std::uint64_t>(ticksPerSecond));
  }
  return !idleMs.empty();
}

bool LinuxSystemFigures::GetMemoryStatus(MemoryStatus& status) {
  std::string text;
  return kept().meminfo.Read(text) && ParseMemInfo(text, status);
}

std::uint32_t LinuxSystemFigures::GetTickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ts.tv_sec) * 1000 +
                                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000);
}

bool LinuxSystemFigures::GetProcessorIdleTimes(std::vector<std::uint64_t>& idleMs) {
  std::string text;
  static const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  return kept().stat.Read(text) && ParseStat(text, ticksPerSecond, idleMs);
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
  Kept& k = kept();
  if (k.cpusStale) {
    if (!readProcessors(k.cpuCount, k.cpuMHz))
      return false;
    k.cpusStale = k.devices < 0;
  }
  count = k.cpuCount;
  clockMHz = k.cpuMHz;
  return true;
}

bool LinuxSystemFigures::readProcessors(unsigned& count, std::uint32_t& clockMHz) {
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
  Kept& k = kept();
  if (k.netStale) {
    k.haveCards = readNetworkCards(k.cards);
    k.netStale = k.links < 0;
  }
  addresses = k.cards;
  return k.haveCards;
}

bool LinuxSystemFigures::readNetworkCards(std::vector<std::string>& addresses) {
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
  Kept& k = kept();
  if (k.disksStale) {
    k.disks = readDisks();
    k.disksStale = k.devices < 0;
  }
  return k.disks;
}

std::vector<DiskGeometry> LinuxSystemFigures::readDisks() {
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
  if (kept().hostname.Read(name)) {
    while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
      name.pop_back();
    return name;
  }
  char host[256] = {};
  return gethostname(host, sizeof host - 1) == 0 ? host : "";
}

bool LinuxSystemFigures::GetCpuIdentity(CpuIdentity& id) {
  // Asked once: the processor does not change while the system runs, and in
  // a virtual machine each CPUID is a trip to the hypervisor.
  return readOnce(kept().cpu, id, readCpuIdentity);
}

bool LinuxSystemFigures::GetOsVersion(OsVersionRecord& record) {
  // The kernel and the OS release do not change while the system runs.
  return readOnce(kept().os, record, [this](OsVersionRecord& os) {
    return GetOsVersionRecord(os, root_.empty() ? "/" : root_);
  });
}

SystemFigures& NativeSystemFigures() {
  return linuxFigures;
}

} // namespace platform
