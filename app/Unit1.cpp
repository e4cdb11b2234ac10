#include "app/Unit1.h"

#include <cstdio>
#include <cstring>
#include <algorithm>
#include <vector>

#include "platform/sysfigures.h"

// Constant bytes are set when the unit is loaded; the rest starts at zero.
unsigned char LoadPacket[LOAD_PACKET_SIZE] = {0xAA, 0xA1, 0, 0, 0, 0, 0, 0, 0, 0,
                                              0,    0,    0, 0, 0, 0, 0, 0, 0, 0xEE};

unsigned char InventoryPacket[INVENTORY_PACKET_SIZE];

namespace {
// The inventory report's marks, set when the unit is loaded.
const bool inventoryMarksSet = [] {
  InventoryPacket[0] = 0xAA;
  InventoryPacket[1] = 0xA2;
  InventoryPacket[197] = 0xFF;
  InventoryPacket[198] = 0xFF;
  InventoryPacket[199] = 0xEE;
  return true;
}();
} // namespace

namespace {

constexpr int MAX_CPUS = 16;
// When each processor was last sampled and its idle milliseconds then.
std::uint32_t CpuSampleTick[MAX_CPUS];
std::uint32_t CpuSampleIdle[MAX_CPUS];

} // namespace

void ResetCpuSamples() {
  std::memset(CpuSampleTick, 0, sizeof CpuSampleTick);
  std::memset(CpuSampleIdle, 0, sizeof CpuSampleIdle);
}

void GetMemRate(unsigned char* Packet) {
  platform::MemoryStatus status;
  if (!platform::Figures().GetMemoryStatus(status) || status.TotalPhys == 0)
    return; // a failed query leaves the byte as it was
  const float avail = static_cast<float>(status.AvailPhys);
  const float total = static_cast<float>(status.TotalPhys);
  Packet[2] = static_cast<unsigned char>(static_cast<int>(100.0 - avail * 100.0 / total + 0.5));
}

void GetCpuRate(unsigned char* Packet) {
  std::memset(Packet + 3, 0xFF, MAX_CPUS);
  std::uint32_t prevTick[MAX_CPUS], prevIdle[MAX_CPUS];
  std::memcpy(prevTick, CpuSampleTick, sizeof prevTick);
  std::memcpy(prevIdle, CpuSampleIdle, sizeof prevIdle);

  std::vector<std::uint64_t> idle;
  if (!platform::Figures().GetProcessorIdleTimes(idle))
    return; // bytes stay 0xFF, the samples as they were
  const int n = static_cast<int>(std::min<std::size_t>(idle.size(), MAX_CPUS));
  for (int i = 0; i < n; ++i) {
    CpuSampleTick[i] = platform::Figures().GetTickCount();
    CpuSampleIdle[i] = static_cast<std::uint32_t>(idle[static_cast<std::size_t>(i)]);
  }
  for (int i = 0; i < n; ++i) {
    std::uint32_t elapsed = CpuSampleTick[i] - prevTick[i];
    if (elapsed <= 1)
      elapsed = 1;
    const std::uint32_t q = (CpuSampleIdle[i] - prevIdle[i]) * 100u / elapsed;
    Packet[3 + i] = static_cast<unsigned char>((100u - (q % 256u)) % 256u);
  }
}

namespace {

void putU32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// Text into a zero-padded field, cut to the field's width.
void putText(unsigned char* field, std::size_t width, const std::string& text) {
  std::memset(field, 0, width);
  std::memcpy(field, text.data(), std::min(width, text.size()));
}

} // namespace

std::string CpuModelText(const std::string& Vendor, std::uint32_t Signature, std::uint32_t Ebx) {
  std::string text;
  if (Vendor.find("Intel") != std::string::npos) {
    switch (Ebx & 0xFF) {
    case 1: case 7: case 10: text = "Intel Celeron "; break;
    case 2: case 4: case 6: text = "Intel Pentium III "; break;
    case 3: text = "Intel PIII Xeon "; break;
    case 8: text = Signature < 0xF13 ? "Intel Pentium 4 " : "Intel Genuine "; break;
    case 9: text = "Intel Pentium 4 "; break;
    default: text = "Intel Xeon "; break;
    }
  }
  if (Vendor.find("AMD") != std::string::npos) {
    const unsigned family = (Signature >> 8) & 0xF, model = (Signature >> 4) & 0xF;
    text = "AMD Processor ";
    if (family == 6) {
      if (model == 1 || model == 2 || model == 4)
        text = "AMD Athlon ";
      else if (model == 3 || model == 7)
        text = "AMD Duron ";
      else if (model == 6)
        text = "AMD AthlonXP ";
      else if (model == 8 || model == 10)
        text = "AMD Athlon MP ";
    } else if (family == 15) {
      if (model == 4)
        text = "AMD Athlon64 ";
      else if (model == 5)
        text = "AMD Opteron ";
    }
  }
  return text;
}

std::string OsText(std::uint32_t PlatformId, std::uint32_t Major, std::uint32_t Minor,
                   const std::string& CSDVersion) {
  // What follows "Service Pack " in the service-pack text.
  const std::string sp = CSDVersion.size() > 13 ? CSDVersion.substr(13) : std::string();
  switch (PlatformId) {
  case 0: return "Windows3.1";
  case 1: return Minor == 0 ? "Windows95" : "Windows98";
  case 2:
    if (Major == 3)
      return "WindowsNT3.51";
    if (Major == 4)
      return "WindowsNT4.0sp" + sp;
    if (Major == 5) {
      static const char* const names[] = {"Windows2000", "WindowsXP", "Windows2003"};
      if (Minor <= 2)
        return CSDVersion.empty() ? names[Minor] : std::string(names[Minor]) + " SP" + sp;
      return CSDVersion.empty() ? std::string() : sp;
    }
    return std::string();
  default: return std::string();
  }
}

void GetSysInventory(unsigned char* Packet) {
  platform::SystemFigures& figures = platform::Figures();

  // Processors: the count and the clock of the last one.
  Packet[2] = 0;
  putU32(Packet + 5, 0);
  unsigned count = 0;
  std::uint32_t mhz = 0;
  if (figures.GetProcessors(count, mhz)) {
    Packet[2] = static_cast<unsigned char>(std::min(count, 255u));
    putU32(Packet + 5, mhz);
  }

  // Network cards: byte 3 only when they can be listed.
  std::vector<std::string> cards;
  const bool haveCards = figures.GetNetworkCards(cards);
  if (haveCards)
    Packet[3] = static_cast<unsigned char>(cards.size() & 0xFF);

  platform::MemoryStatus memory;
  if (figures.GetMemoryStatus(memory))
    putU32(Packet + 9, static_cast<std::uint32_t>(memory.TotalPhys / 1024000));

  // Disks: the Windows geometry product, added up in single precision.
  std::memset(Packet + 13, 0, 8);
  float total = 0.0f;
  const auto disks = figures.GetDisks();
  for (const auto& d : disks) {
    const std::uint32_t perCylinder = d.BytesPerSector * d.SectorsPerTrack * d.TracksPerCylinder;
    total += static_cast<float>(static_cast<std::uint64_t>(perCylinder) * d.Cylinders);
  }
  Packet[4] = static_cast<unsigned char>(std::min<std::size_t>(disks.size(), 255));
  char size[32];
  std::snprintf(size, sizeof size, "%6.1fG", static_cast<double>(total * 1e-9f));
  putText(Packet + 13, 8, size);

  // Computer name, cut to 15 bytes so that its field keeps a terminator.
  putText(Packet + 21, 16, figures.GetComputerName().substr(0, 15));

  std::memset(Packet + 37, 0, 64);
  if (haveCards)
    for (std::size_t c = 0; c < 4 && c < cards.size(); ++c)
      putText(Packet + 37 + 16 * c, 16, cards[c].substr(0, 15));

  std::memset(Packet + 101, 0, 48);
  platform::CpuIdentity cpu;
  if (figures.GetCpuIdentity(cpu))
    putText(Packet + 101, 48, CpuModelText(cpu.Vendor, cpu.Signature, cpu.Ebx));

  std::memset(Packet + 149, 0, 48);
  platform::OsVersionRecord os;
  if (figures.GetOsVersion(os)) {
    if (os.OsName.empty())
      putText(Packet + 149, 48,
              OsText(os.PlatformId, os.MajorVersion, os.MinorVersion, os.CSDVersion));
    else
      putText(Packet + 149, 48, os.OsName + " " + os.KernelRelease);
  }
}
