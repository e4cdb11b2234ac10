// The package side of the engine: the package queue and the packager that
// cuts the port's byte stream into packages and wraps outgoing ones.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "comm/Tcomm32.h"
#include "platform/event.h"
#include "platform/memory.h"
#include "platform/rtl.h"

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
  // least 32 bytes. The new storage is had before the old one goes: when it
  // cannot be, EComm32Error code 1 is raised and the queue stays as it was.
  void SetQueue(long SlotCount, long SlotSize);
  // Trades storage and geometry with another queue; neither may be in use.
  void Swap(TCommPackageQueue& Other);
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
  std::unique_ptr<unsigned char[], platform::FreeDeleter> _Storage;
  std::atomic<std::uint32_t> _ReadPos{0};
  std::atomic<std::uint32_t> _WritePos{0};
  std::int32_t _SlotCount = 2;
  std::int32_t _SlotSize = 32;
};

enum TCommPackageType : std::uint8_t {
  cptCompatiblePkg = 0, // head/tail frames; Read/WritePackage move whole queue elements
  cptFrameHeadTail = 1, // head/tail frames; Read/WritePackage move the caller's bytes
  cptFrameTimeout = 2,  // bare bytes out; packages cut by silence on the line
};

// One package or frame: a native-order byte count, then the bytes. The data
// area is as long as the buffer that holds the record.
struct TCommPackageHead {
  std::uint32_t Count;
  unsigned char Data[4];
};

// A block of bytes that knows its size; zero-filled. Raises EComm32Error
// code 1 when the memory cannot be had.
class TByteBuffer {
public:
  TByteBuffer() = default;
  explicit TByteBuffer(std::size_t Size);
  unsigned char* data() { return _Data.get(); }
  std::size_t size() const { return _Size; }

private:
  std::unique_ptr<unsigned char[], platform::FreeDeleter> _Data;
  std::size_t _Size = 0;
};

class TCommPackage : public TObject {
public:
  // The largest package: larger sizes are refused with EComm32Error code 1.
  static constexpr unsigned long MaxPackageSize = 1UL << 20;

  static constexpr unsigned char DefaultFrameHead = 0xEB;
  static constexpr unsigned char DefaultFrameTail = 0xEE;
  static constexpr unsigned char DefaultFrameCtrl = 0xEC;

  explicit TCommPackage(TComm32* Port);
  TCommPackage(const TCommPackage&) = delete;
  TCommPackage& operator=(const TCommPackage&) = delete;
  ~TCommPackage() override;

  virtual int ReadPackage(void* Buffer, unsigned long Size);
  virtual int WritePackage(const void* Buffer, unsigned long Size);
  virtual void PurgeRead();
  virtual void PurgeWrite();
  virtual void CallNotify(int NotifyType);

  void fSetActive(bool Value);
  void fSetQSize(unsigned long Value);
  void fSetPkgSz(unsigned long Value);
  void fSetPkgType(TCommPackageType Value);
  void fSetPkgInterval(unsigned long Value);
  void fSetDblFrameMark(bool Value);

  bool Active() const { return _Active; }
  bool DoubleFrameMark() const { return _DoubleFrameMark; }
  long QueueSize() const { return _QueueSize; }
  long PackageSize() const { return _PackageSize; }
  TCommPackageType PackageType() const { return _PackageType; }
  unsigned long PackageInterval() const { return _PackageInterval; }
  // Bytes of one queue element, the unit of cptCompatiblePkg transfers.
  long ElementSize() const { return _ReadQueue.SlotSize(); }

  // The handler installed as the port's OnCommNotify.
  void fNewCommNotify(TObject* Sender, int NotifyType);

  // Written directly; read by the decoder and the encoder as they go.
  std::atomic<unsigned char> FrameHead{DefaultFrameHead};
  std::atomic<unsigned char> FrameTail{DefaultFrameTail};
  std::atomic<unsigned char> FrameCtrl{DefaultFrameCtrl};

  TLockedEvent<TCommNotifyEvent> OnPackageNotify;

private:
  friend struct TCommPackageProbe; // tests and the fuzz target step the timer by hand

  void _TimerThread();
  // One poll of the timer thread; true when a package was closed.
  bool _TimerTick();
  int _EncodePackage(unsigned char* Frame, const unsigned char* Package);
  void _ReadHeadTailPackage();
  bool _ReadTimeoutPackage();
  void _WritePackage();
  void _AllocBuffer();
  void _RemoveBuffer();
  // Replaces both queues' geometry and, with a new element size, the three
  // buffers: everything is allocated first, so a failure changes nothing.
  void _Reshape(long SlotCount, long PackageSize);
  void _Deactivate(bool& WasActive);

  TComm32* _Port;
  TCommNotifyEvent _SavedNotify;
  // Serialises the send step, decoding, silence cutting and every change of
  // settings: the application's thread, the port's reader thread and the
  // timer thread all come here. Handlers are always called outside it.
  mutable std::mutex _Lock;
  std::atomic<bool> _Active{false};
  std::atomic<bool> _DoubleFrameMark{true};
  long _QueueSize = 16;
  long _PackageSize = 4096;
  std::atomic<TCommPackageType> _PackageType{cptCompatiblePkg};
  std::atomic<unsigned long> _PackageInterval{50};
  TCommPackageQueue _ReadQueue;
  TCommPackageQueue _WriteQueue;
  // Receive and staging buffers hold one queue element, the frame buffer two:
  // never smaller than the elements copied into them.
  TByteBuffer _RecvBuf, _FrameBuf, _StageBuf;
  bool _Receiving = false;
  bool _Escaped = false;
  std::uint32_t _SentCount = 0;
  platform::TEvent _WakeEvent{false};
  // Makes the timer look again, whether it polls or sleeps.
  void _WakeTimer() {
    _WakeEvent.Set();
    _BytesWake.Wake();
  }
  // Bytes arrived for a frame cut by silence: they wake the timer only when
  // it sleeps with no frame open (while one is open it polls anyway).
  platform::TWakeup _BytesWake;
  std::atomic<bool> _Run{true};
  // A package is being assembled: the timer polls until it closes.
  std::atomic<bool> _Assembling{false};
  // The timer thread takes the port's name when the packager is switched on.
  std::atomic<bool> _Rename{false};
  std::string _ThreadName; // guarded by _Lock
  platform::TThread _Thread;
};

} // namespace LumaroComm32
