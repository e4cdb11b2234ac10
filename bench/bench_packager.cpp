// Packager throughput: encoding packages into frames and decoding frames back,
// for 64-byte and 4096-byte packages, against memcpy of the same bytes.
#include <cstring>
#include <string>
#include <vector>

#include "bench/ratio_main.h"
#include "comm/Tcommpkg.h"
#include "tests/support/package_probe.h"

using namespace LumaroComm32;

namespace {

// Package bytes with the usual share of marks to escape (3 in 256).
std::vector<unsigned char> payload(std::size_t n) {
  std::vector<unsigned char> v(n);
  for (std::size_t i = 0; i < n; ++i)
    v[i] = static_cast<unsigned char>(i * 131 + 17);
  return v;
}

void BM_Encode(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  TComm32 port;
  TCommPackage pkg(&port);
  std::vector<unsigned char> package(4 + n), frame(2 * n + 16);
  const std::uint32_t count = static_cast<std::uint32_t>(n);
  std::memcpy(package.data(), &count, 4);
  const auto data = payload(n);
  std::memcpy(package.data() + 4, data.data(), n);
  for (auto _ : state) {
    benchmark::DoNotOptimize(TCommPackageProbe::Encode(pkg, frame.data(), package.data()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

// Frames through the port's receive queue and the decoder, packages taken out.
void BM_Decode(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  TComm32 port;
  port.InQueue->fSetBufSize(1 << 16);
  TCommPackage pkg(&port);
  pkg.fSetPkgType(cptFrameHeadTail);
  pkg.fSetActive(true);
  // One frame made by the encoder itself.
  pkg.WritePackage(payload(n).data(), n);
  std::string frame(2 * n + 16, '\0');
  frame.resize(static_cast<std::size_t>(port.OutQueue->Out(frame.data(), 1 << 16)));
  std::vector<unsigned char> out(n);
  for (auto _ : state) {
    port.InQueue->In(frame.data(), static_cast<std::int32_t>(frame.size()));
    pkg.fNewCommNotify(&port, 0x0001);
    benchmark::DoNotOptimize(pkg.ReadPackage(out.data(), n));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

void BM_Memcpy(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto in = payload(n);
  std::vector<unsigned char> out(n);
  for (auto _ : state) {
    std::memcpy(out.data(), in.data(), n);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
}

} // namespace

BENCHMARK(BM_Encode)->Arg(64)->Arg(4096);
BENCHMARK(BM_Decode)->Arg(64)->Arg(4096);
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(4096);

int main(int argc, char** argv) {
  return RunWithRatios(argc, argv,
                       {{"BM_Encode/64", "BM_Memcpy/64"},
                        {"BM_Encode/4096", "BM_Memcpy/4096"},
                        {"BM_Decode/64", "BM_Memcpy/64"},
                        {"BM_Decode/4096", "BM_Memcpy/4096"}});
}
