// Heap blocks whose allocation can be made to fail in tests.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace platform {

// realloc(), except that it fails when a fault is injected.
void* Reallocate(void* block, std::size_t size);

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

// A zero-filled block of bytes from Reallocate; null when the memory cannot
// be had (or a fault is injected).
std::unique_ptr<unsigned char[], FreeDeleter> AllocateBytes(std::size_t size);

namespace fault {
// The nth Reallocate from now fails (1 = the next); 0 switches it off.
void FailAllocation(int nth);
} // namespace fault

} // namespace platform
