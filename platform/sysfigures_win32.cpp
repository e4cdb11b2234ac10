// The figures of the running system on Windows: the registry keys, the
// performance data, the drive geometry and the identification instruction.
// Where the system answers without the data those hold (no processor object
// in the performance data, network cards without TCP/IP keys, as under Wine
// and on newer Windows), the same figure comes from NtQuerySystemInformation
// and GetAdaptersAddresses.
#include "platform/sysfigures.h"
#include "platform/win32.h"

#include <cpuid.h>
#include <ws2tcpip.h> // before the IP helper, whose interface rows need it
#include <iphlpapi.h>
#include <winioctl.h>
#include <winternl.h>

#include <cstring>
#include <vector>

namespace platform {

namespace {

// A key of HKEY_LOCAL_MACHINE opened for reading, closed with the object.
class Key {
public:
  explicit Key(const std::string& path) {
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key_) != ERROR_SUCCESS)
      key_ = nullptr;
  }
  ~Key() {
    if (key_)
      RegCloseKey(key_);
  }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  explicit operator bool() const { return key_ != nullptr; }

  // A value in two steps, its size and then its bytes; empty when absent.
  std::vector<BYTE> Value(const char* name, DWORD* type = nullptr) const {
    DWORD size = 0, kind = 0;
    if (!key_ || RegQueryValueExA(key_, name, nullptr, &kind, nullptr, &size) != ERROR_SUCCESS)
      return {};
    std::vector<BYTE> data(size + 1, 0);
    if (RegQueryValueExA(key_, name, nullptr, &kind, data.data(), &size) != ERROR_SUCCESS)
      return {};
    data.resize(size);
    if (type)
      *type = kind;
    return data;
  }
  std::string Text(const char* name) const {
    const auto data = Value(name);
    return std::string(reinterpret_cast<const char*>(data.data()),
                       strnlen(reinterpret_cast<const char*>(data.data()), data.size()));
  }
  DWORD Number(const char* name, DWORD fallback = 0) const {
    const auto data = Value(name);
    DWORD value = fallback;
    if (data.size() >= sizeof value)
      std::memcpy(&value, data.data(), sizeof value);
    return value;
  }
  DWORD SubkeyCount() const {
    DWORD count = 0;
    if (!key_ || RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      return 0;
    return count;
  }
  std::string Subkey(DWORD index) const {
    char name[256];
    return key_ && RegEnumKeyA(key_, index, name, sizeof name) == ERROR_SUCCESS ? name : "";
  }

private:
  HKEY key_ = nullptr;
};

const char CARDS[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\NetworkCards";

// The performance data's processor object (238) and its idle-time counter (6):
// each instance's count of 100 ns, the last instance (the total) left out.
bool idleFromPerformanceData(std::vector<std::uint64_t>& idleMs) {
  std::vector<BYTE> block(102400);
  for (;;) {
    DWORD size = static_cast<DWORD>(block.size());
    const LONG rc =
        RegQueryValueExA(HKEY_PERFORMANCE_DATA, "238", nullptr, nullptr, block.data(), &size);
    if (rc == ERROR_MORE_DATA) {
      block.resize(block.size() + 1024);
      continue;
    }
    RegCloseKey(HKEY_PERFORMANCE_DATA);
    if (rc != ERROR_SUCCESS || size < sizeof(PERF_DATA_BLOCK))
      return false;
    block.resize(size);
    break;
  }
  const auto* data = reinterpret_cast<const PERF_DATA_BLOCK*>(block.data());
  const BYTE* end = block.data() + block.size();
  const BYTE* p = block.data() + data->HeaderLength;
  for (DWORD o = 0; o < data->NumObjectTypes && p + sizeof(PERF_OBJECT_TYPE) <= end; ++o) {
    const auto* object = reinterpret_cast<const PERF_OBJECT_TYPE*>(p);
    if (object->ObjectNameTitleIndex != 238) {
      p += object->TotalByteLength;
      continue;
    }
    const BYTE* c = p + object->HeaderLength;
    DWORD offset = 0;
    bool found = false;
    for (DWORD k = 0; k < object->NumCounters && c + sizeof(PERF_COUNTER_DEFINITION) <= end; ++k) {
      const auto* counter = reinterpret_cast<const PERF_COUNTER_DEFINITION*>(c);
      if (counter->CounterNameTitleIndex == 6) {
        offset = counter->CounterOffset;
        found = true;
        break;
      }
      c += counter->ByteLength;
    }
    const LONG n = object->NumInstances - 1;
    if (!found || n <= 0)
      return false;
    const BYTE* instance = p + object->DefinitionLength;
    for (LONG i = 0; i < n; ++i) {
      const auto* def = reinterpret_cast<const PERF_INSTANCE_DEFINITION*>(instance);
      const BYTE* counters = instance + def->ByteLength;
      if (counters + offset + sizeof(LONGLONG) > end)
        return false;
      LONGLONG value;
      std::memcpy(&value, counters + offset, sizeof value);
      idleMs.push_back(static_cast<std::uint64_t>(value / 10000));
      instance = counters + reinterpret_cast<const PERF_COUNTER_BLOCK*>(counters)->ByteLength;
    }
    return true;
  }
  return false;
}

// Each processor's idle time from the kernel's own figures.
bool idleFromKernel(std::vector<std::uint64_t>& idleMs) {
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  std::vector<SYSTEM_PROCESSOR_PERFORMANCE_INFORMATION> times(info.dwNumberOfProcessors);
  ULONG size = 0;
  constexpr ULONG SystemProcessorPerformanceInformation = 8;
  if (!query || times.empty() ||
      query(SystemProcessorPerformanceInformation, times.data(),
            static_cast<ULONG>(times.size() * sizeof times[0]), &size) != 0)
    return false;
  for (std::size_t i = 0; i < size / sizeof times[0]; ++i)
    idleMs.push_back(static_cast<std::uint64_t>(times[i].IdleTime.QuadPart / 10000));
  return !idleMs.empty();
}

// Every adapter's first IPv4 address, in the system's order.
bool addressesFromAdapters(std::vector<std::string>& addresses) {
  ULONG size = 16384;
  std::vector<BYTE> buffer(size);
  auto* list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
  const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  ULONG rc = GetAdaptersAddresses(AF_INET, flags, nullptr, list, &size);
  if (rc == ERROR_BUFFER_OVERFLOW) {
    buffer.resize(size);
    list = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    rc = GetAdaptersAddresses(AF_INET, flags, nullptr, list, &size);
  }
  if (rc != NO_ERROR)
    return rc == ERROR_NO_DATA;
  for (auto* a = list; a; a = a->Next) {
    if (a->IfType == IF_TYPE_SOFTWARE_LOOPBACK)
      continue;
    // Physical cards only, as on Linux: not a virtual switch's, a VPN's or
    // a tunnel's adapter. (Where the system cannot tell, it counts.)
    MIB_IF_ROW2 row{};
    row.InterfaceLuid = a->Luid;
    if (GetIfEntry2(&row) == NO_ERROR && !row.InterfaceAndOperStatusFlags.HardwareInterface)
      continue;
    std::string text;
    if (a->FirstUnicastAddress) {
      char ip[INET_ADDRSTRLEN] = {};
      const auto* in =
          reinterpret_cast<const sockaddr_in*>(a->FirstUnicastAddress->Address.lpSockaddr);
      inet_ntop(AF_INET, &in->sin_addr, ip, sizeof ip);
      text = ip;
    }
    addresses.push_back(text);
  }
  return true;
}

class WindowsSystemFigures final : public SystemFigures {
public:
  bool GetProcessors(unsigned& count, std::uint32_t& clockMHz) override {
    count = 0;
    clockMHz = 0;
    for (;; ++count) {
      const Key cpu("HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\" + std::to_string(count));
      if (!cpu)
        break;
      clockMHz = cpu.Number("~MHz");
    }
    return count > 0;
  }

  bool GetNetworkCards(std::vector<std::string>& addresses) override {
    addresses.clear();
    const Key cards(CARDS);
    const DWORD n = cards.SubkeyCount();
    bool anyTcpip = false;
    for (DWORD c = 0; c < n; ++c) {
      std::string address;
      const Key card(std::string(CARDS) + "\\" + cards.Subkey(c));
      const std::string parameters =
          "SYSTEM\\CurrentControlSet\\Services\\" + card.Text("ServiceName") + "\\Parameters";
      if (Key(parameters).SubkeyCount() == 1) {
        const Key tcpip(parameters + "\\Tcpip");
        anyTcpip = anyTcpip || static_cast<bool>(tcpip);
        address = tcpip.Text(tcpip.Number("EnableDHCP") == 1 ? "DhcpIPAddress" : "IPAddress");
      }
      addresses.push_back(address);
    }
    if (anyTcpip)
      return true;
    // No card with TCP/IP keys: the adapters as the IP helper lists them.
    addresses.clear();
    return addressesFromAdapters(addresses);
  }

  std::vector<DiskGeometry> GetDisks() override {
    std::vector<DiskGeometry> disks;
    for (int d = 0;; ++d) {
      const std::string name = "\\\\.\\PhysicalDrive" + std::to_string(d);
      const HANDLE h = CreateFileA(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h == INVALID_HANDLE_VALUE || !h)
        break;
      DISK_GEOMETRY g{};
      DWORD got = 0;
      if (DeviceIoControl(h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &got,
                          nullptr))
        disks.push_back({static_cast<std::uint64_t>(g.Cylinders.QuadPart), g.TracksPerCylinder,
                         g.SectorsPerTrack, g.BytesPerSector});
      else
        disks.push_back({});
      CloseHandle(h);
    }
    return disks;
  }

  std::string GetComputerName() override {
    return Key("SYSTEM\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName")
        .Text("ComputerName");
  }

  bool GetCpuIdentity(CpuIdentity& id) override {
    unsigned a, b, c, d;
    if (!__get_cpuid(0, &a, &b, &c, &d))
      return false;
    char vendor[13];
    std::memcpy(vendor, &b, 4);
    std::memcpy(vendor + 4, &d, 4);
    std::memcpy(vendor + 8, &c, 4);
    vendor[12] = '\0';
    id.Vendor = vendor;
    if (__get_cpuid(1, &a, &b, &c, &d)) {
      id.Signature = a;
      id.Ebx = b;
    }
    return true;
  }

  bool GetOsVersion(OsVersionRecord& record) override { return GetOsVersionRecord(record); }

  bool GetMemoryStatus(MemoryStatus& status) override {
    MEMORYSTATUSEX m{};
    m.dwLength = sizeof m;
    if (!GlobalMemoryStatusEx(&m))
      return false;
    status.TotalPhys = m.ullTotalPhys;
    status.AvailPhys = m.ullAvailPhys;
    return true;
  }

  std::uint32_t GetTickCount() override { return ::GetTickCount(); }

  bool GetProcessorIdleTimes(std::vector<std::uint64_t>& idleMs) override {
    idleMs.clear();
    if (idleFromPerformanceData(idleMs))
      return true;
    idleMs.clear();
    return idleFromKernel(idleMs);
  }
};

WindowsSystemFigures windowsFigures;

} // namespace

SystemFigures& NativeSystemFigures() {
  return windowsFigures;
}

} // namespace platform
