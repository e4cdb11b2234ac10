#include "platform/memory.h"

#include <atomic>
#include <cstdlib>

namespace platform {

namespace {
std::atomic<int> failAt{0};
}

namespace fault {
void FailAllocation(int nth) {
  failAt = nth;
}
} // namespace fault

void* Reallocate(void* block, std::size_t size) {
  int n = failAt.load();
  while (n > 0 && !failAt.compare_exchange_weak(n, n - 1)) {
  }
  if (n == 1)
    return nullptr;
  return std::realloc(block, size);
}

} // namespace platform
