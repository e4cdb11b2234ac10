#include "platform/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

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

std::unique_ptr<unsigned char[], FreeDeleter> AllocateBytes(std::size_t size) {
  auto* block = static_cast<unsigned char*>(Reallocate(nullptr, size ? size : 1));
  if (block)
    std::memset(block, 0, size);
  return std::unique_ptr<unsigned char[], FreeDeleter>(block);
}

} // namespace platform
