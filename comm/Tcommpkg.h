// The package side of the engine: the package queue.
#pragma once

#include <atomic>
#include <cstdint>

namespace LumaroComm32 {

// A ring of fixed-size slots holding whole packages, oldest first; one slot
// always stays free. One thread may put while another takes: each copies its
// slot first and then publishes its position with a release store.
class TCommPackageQueue {
public:
  TCommPackageQueue(unsigned long SlotCount, unsigned long SlotSize);
  TCommPackageQueue(const TCommPackageQueue&) = delete;
  TCommPackageQueue& operator=(const TCommPackageQueue&) = delete;
  virtual ~TCommPackageQueue();

  // Discards every package and sets the geometry: at least 2 slots of at
  // least 32 bytes.
  void SetQueue(long SlotCount, long SlotSize);
  int In(const void* Package);
  int Out(void* Destination);
  int Read(void* Destination, unsigned long Index) const;
  void fRemoveQueue();
  // Empties the queue and keeps its storage.
  void Clear();

  std::uint32_t Count() const;
  std::int32_t SlotCount() const { return _SlotCount; }
  std::int32_t SlotSize() const { return _SlotSize; }
  std::uint32_t ReadPos() const { return _ReadPos.load(std::memory_order_acquire); }
  std::uint32_t WritePos() const { return _WritePos.load(std::memory_order_acquire); }

private:
  unsigned char* _Storage = nullptr;
  std::atomic<std::uint32_t> _ReadPos{0};
  std::atomic<std::uint32_t> _WritePos{0};
  std::int32_t _SlotCount = 2;
  std::int32_t _SlotSize = 32;
};

} // namespace LumaroComm32
