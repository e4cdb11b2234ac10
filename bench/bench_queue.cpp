// The byte ring against plain memory copies of the same bytes.
#include <cstring>
#include <vector>

#include "bench/ratio_main.h"
#include "comm/Tcomm32.h"

namespace {

constexpr int BLOCK = 2048;

// In then Out of one 2048-byte block: two copies, as in the port.
void BM_QueueInOut(benchmark::State& state) {
  LumaroComm32::TCommQueue q(8192);
  std::vector<unsigned char> in(BLOCK, 0x5A), out(BLOCK);
  for (auto _ : state) {
    q.In(in.data(), BLOCK);
    q.Out(out.data(), BLOCK);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * BLOCK);
}

// The same two copies with memcpy through a buffer of the ring's size.
void BM_Memcpy2x(benchmark::State& state) {
  std::vector<unsigned char> in(BLOCK, 0x5A), ring(8192), out(BLOCK);
  std::size_t at = 0;
  for (auto _ : state) {
    std::memcpy(ring.data() + at, in.data(), BLOCK);
    std::memcpy(out.data(), ring.data() + at, BLOCK);
    at = (at + BLOCK) % (8192 - BLOCK);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * BLOCK);
}

} // namespace

BENCHMARK(BM_QueueInOut);
BENCHMARK(BM_Memcpy2x);

int main(int argc, char** argv) {
  return RunWithRatios(argc, argv, {{"BM_QueueInOut", "BM_Memcpy2x"}});
}
