// Heap blocks whose allocation can be made to fail in tests.
#pragma once

#include <cstddef>

namespace platform {

// realloc(), except that it fails when a fault is injected.
void* Reallocate(void* block, std::size_t size);

namespace fault {
// The nth Reallocate from now fails (1 = the next); 0 switches it off.
void FailAllocation(int nth);
} // namespace fault

} // namespace platform
