// What one report costs the node: GetSysInventory and GetCpuRate on the real
// figures of this machine, per call.
#include "app/Unit1.h"
#include "bench/ratio_main.h"

namespace {

void BM_GetSysInventory(benchmark::State& state) {
  for (auto _ : state) {
    GetSysInventory(InventoryPacket);
    benchmark::DoNotOptimize(InventoryPacket);
  }
}

void BM_GetCpuRate(benchmark::State& state) {
  for (auto _ : state) {
    GetCpuRate(LoadPacket);
    benchmark::DoNotOptimize(LoadPacket);
  }
}

void BM_GetMemRate(benchmark::State& state) {
  for (auto _ : state) {
    GetMemRate(LoadPacket);
    benchmark::DoNotOptimize(LoadPacket);
  }
}

} // namespace

BENCHMARK(BM_GetSysInventory)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetCpuRate)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetMemRate)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  return RunWithRatios(argc, argv, {});
}
