#include "app/Unit1.h"

#include <cstring>
#include <vector>

#include "platform/sysfigures.h"

// Constant bytes are set when the unit is loaded; the rest starts at zero.
unsigned char LoadPacket[LOAD_PACKET_SIZE] = {0xAA, 0xA1, 0, 0, 0, 0, 0, 0, 0, 0,
                                              0,    0,    0, 0, 0, 0, 0, 0, 0, 0xEE};

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
