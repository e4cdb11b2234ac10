#include "comm/Tcommpkg.h"

#include <cstring>

namespace LumaroComm32 {

TCommPackageQueue::TCommPackageQueue(unsigned long SlotCount, unsigned long SlotSize) {
  SetQueue(static_cast<long>(SlotCount), static_cast<long>(SlotSize));
}

TCommPackageQueue::~TCommPackageQueue() {
  fRemoveQueue();
}

void TCommPackageQueue::SetQueue(long SlotCount, long SlotSize) {
  fRemoveQueue();
  // Compared as signed 32-bit numbers: a value with the top bit set is raised too.
  const auto count = static_cast<std::int32_t>(SlotCount);
  const auto size = static_cast<std::int32_t>(SlotSize);
  _SlotCount = count <= 2 ? 2 : count;
  _SlotSize = size <= 32 ? 32 : size;
  _Storage =
      new unsigned char[static_cast<std::size_t>(_SlotCount) * static_cast<std::size_t>(_SlotSize)];
}

void TCommPackageQueue::fRemoveQueue() {
  delete[] _Storage;
  _Storage = nullptr;
  Clear();
}

void TCommPackageQueue::Clear() {
  _ReadPos = 0;
  _WritePos = 0;
}

std::uint32_t TCommPackageQueue::Count() const {
  const std::uint32_t n = static_cast<std::uint32_t>(_SlotCount);
  return (_WritePos.load(std::memory_order_acquire) + n -
          _ReadPos.load(std::memory_order_acquire)) %
         n;
}

int TCommPackageQueue::In(const void* Package) {
  if (!_Storage || !Package)
    return 0;
  const std::uint32_t n = static_cast<std::uint32_t>(_SlotCount);
  const std::uint32_t write = _WritePos.load(std::memory_order_relaxed);
  const std::uint32_t read = _ReadPos.load(std::memory_order_acquire);
  if ((read + n - write - 1) % n == 0)
    return 0;
  std::memcpy(_Storage + static_cast<std::size_t>(write) * static_cast<std::size_t>(_SlotSize),
              Package, static_cast<std::size_t>(_SlotSize));
  _WritePos.store((write + 1) % n, std::memory_order_release);
  return 1;
}

int TCommPackageQueue::Out(void* Destination) {
  if (!_Storage || !Destination)
    return 0;
  const std::uint32_t n = static_cast<std::uint32_t>(_SlotCount);
  const std::uint32_t read = _ReadPos.load(std::memory_order_relaxed);
  const std::uint32_t write = _WritePos.load(std::memory_order_acquire);
  if ((write + n - read) % n == 0)
    return 0;
  std::memcpy(Destination,
              _Storage + static_cast<std::size_t>(read) * static_cast<std::size_t>(_SlotSize),
              static_cast<std::size_t>(_SlotSize));
  _ReadPos.store((read + 1) % n, std::memory_order_release);
  return 1;
}

int TCommPackageQueue::Read(void* Destination, unsigned long Index) const {
  if (!_Storage || !Destination)
    return 0;
  const std::uint32_t n = static_cast<std::uint32_t>(_SlotCount);
  const std::uint32_t read = _ReadPos.load(std::memory_order_acquire);
  const std::uint32_t held = (_WritePos.load(std::memory_order_acquire) + n - read) % n;
  if (held == 0 || Index >= held)
    return 0;
  const std::uint32_t slot = static_cast<std::uint32_t>((read + Index) % n);
  std::memcpy(Destination,
              _Storage + static_cast<std::size_t>(slot) * static_cast<std::size_t>(_SlotSize),
              static_cast<std::size_t>(_SlotSize));
  return 1;
}

} // namespace LumaroComm32
