// One scrape of the exporter: the exposition of 256 lines whose every figure
// is known (fed from decoded reports), against a memcpy of as many bytes.
#include <cstring>
#include <string>
#include <vector>

#include "bench/ratio_main.h"
#include "ctl/metrics.h"

namespace {

std::vector<VexilCtl::LineState> fleet(int n) {
  std::vector<VexilCtl::LineState> lines(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    auto& l = lines[static_cast<std::size_t>(i)];
    l.Line = "/dev/ttyUSB" + std::to_string(i);
    l.Open = true;
    VexilCtl::Piece inv;
    inv.Type = VexilCtl::Piece::Inventory;
    inv.Inv.Processors = 16;
    inv.Inv.ClockMHz = 2600;
    inv.Inv.MemoryUnits = 64000;
    inv.Inv.DiskSize = "1920.0G";
    inv.Inv.HostName = "node" + std::to_string(i);
    for (int a = 0; a < 4; ++a)
      inv.Inv.Addresses[a] = "10.0." + std::to_string(a) + "." + std::to_string(i);
    inv.Inv.ProcessorModel = "Intel(R) Xeon(R) Gold 6230";
    inv.Inv.Os = "Linux 6.1.0-18-amd64";
    VexilCtl::Piece load;
    load.Type = VexilCtl::Piece::Load;
    load.Ld.MemoryLoad = 37;
    for (int c = 0; c < 16; ++c)
      load.Ld.Cpu[c] = (c * 7 + i) % 101;
    l.Take(inv, 1e9);
    l.Take(load, 1e9 + 1);
  }
  return lines;
}

void BM_Scrape256Lines(benchmark::State& state) {
  const auto lines = fleet(256);
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string body = VexilCtl::FormatMetrics(lines, 1e9 + 2);
    bytes = body.size();
    benchmark::DoNotOptimize(body.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}

void BM_MemcpyOfAScrape(benchmark::State& state) {
  const std::string body = VexilCtl::FormatMetrics(fleet(256), 1e9 + 2);
  std::string copy(body.size(), '\0');
  for (auto _ : state) {
    std::memcpy(copy.data(), body.data(), body.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
}

} // namespace

BENCHMARK(BM_Scrape256Lines)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MemcpyOfAScrape)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
  return RunWithRatios(argc, argv, {{"BM_Scrape256Lines", "BM_MemcpyOfAScrape"}});
}
