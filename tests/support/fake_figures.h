// System figures a test sets by hand, installed for the life of the object.
#pragma once

#include <string>
#include <vector>

#include "platform/sysfigures.h"

class FakeFigures : public platform::SystemFigures {
public:
  FakeFigures() : previous_(platform::SetSystemFigures(this)) {}
  ~FakeFigures() override { platform::SetSystemFigures(previous_); }

  bool GetMemoryStatus(platform::MemoryStatus& s) override {
    s = memory;
    return memoryOk;
  }
  std::uint32_t GetTickCount() override { return tick; }
  bool GetProcessorIdleTimes(std::vector<std::uint64_t>& idle) override {
    idle = idleMs;
    return idleOk;
  }
  bool GetProcessors(unsigned& count, std::uint32_t& mhz) override {
    count = cpus;
    mhz = clockMHz;
    return cpus > 0;
  }
  bool GetNetworkCards(std::vector<std::string>& a) override {
    a = cards;
    return cardsOk;
  }
  std::vector<platform::DiskGeometry> GetDisks() override { return disks; }
  std::string GetComputerName() override { return hostName; }
  bool GetCpuIdentity(platform::CpuIdentity& id) override {
    id = cpu;
    return cpuOk;
  }
  bool GetOsVersion(platform::OsVersionRecord& r) override {
    r = os;
    return osOk;
  }

  platform::MemoryStatus memory;
  bool memoryOk = true;
  std::uint32_t tick = 0;
  std::vector<std::uint64_t> idleMs;
  bool idleOk = true;
  unsigned cpus = 0;
  std::uint32_t clockMHz = 0;
  std::vector<std::string> cards;
  bool cardsOk = true;
  std::vector<platform::DiskGeometry> disks;
  std::string hostName;
  platform::CpuIdentity cpu;
  bool cpuOk = false;
  platform::OsVersionRecord os;
  bool osOk = false;

private:
  platform::SystemFigures* previous_;
};
