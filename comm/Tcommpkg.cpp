#include "comm/Tcommpkg.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <optional>
#include <system_error>
#include <chrono>

namespace LumaroComm32 {

using namespace platform;

TCommPackageQueue::TCommPackageQueue(unsigned long SlotCount, unsigned long SlotSize) {
  SetQueue(static_cast<long>(SlotCount), static_cast<long>(SlotSize));
}

TCommPackageQueue::~TCommPackageQueue() {
  fRemoveQueue();
}

void TCommPackageQueue::SetQueue(long SlotCount, long SlotSize) {
  // Compared as signed 32-bit numbers: a value with the top bit set is raised too.
  const auto count = static_cast<std::int32_t>(SlotCount);
  const auto size = static_cast<std::int32_t>(SlotSize);
  const std::int32_t slots = count <= 2 ? 2 : count, slotSize = size <= 32 ? 32 : size;
  // At most 2^31 slots of 2^31 bytes: the product fits a 64-bit size.
  auto storage =
      AllocateBytes(static_cast<std::size_t>(slots) * static_cast<std::size_t>(slotSize));
  if (!storage)
    throw EComm32Error(EComm32Error::ecOutOfMemory);
  _Storage = std::move(storage);
  _SlotCount = slots;
  _SlotSize = slotSize;
  Clear();
}

void TCommPackageQueue::Swap(TCommPackageQueue& Other) {
  std::swap(_Storage, Other._Storage);
  std::swap(_SlotCount, Other._SlotCount);
  std::swap(_SlotSize, Other._SlotSize);
  Clear();
  Other.Clear();
}

void TCommPackageQueue::fRemoveQueue() {
  _Storage.reset();
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
  std::memcpy(_Storage.get() +
                  static_cast<std::size_t>(write) * static_cast<std::size_t>(_SlotSize),
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
              _Storage.get() + static_cast<std::size_t>(read) * static_cast<std::size_t>(_SlotSize),
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
              _Storage.get() + static_cast<std::size_t>(slot) * static_cast<std::size_t>(_SlotSize),
              static_cast<std::size_t>(_SlotSize));
  return 1;
}

// ---------------------------------------------------------------------------
// TCommPackage

namespace {

constexpr int READ_CHUNK = 2048;
constexpr std::size_t TIMER_STACK = 128 * 1024;

std::uint32_t countOf(const unsigned char* head) {
  std::uint32_t n;
  std::memcpy(&n, head, sizeof n);
  return n;
}

void setCount(unsigned char* head, std::uint32_t n) {
  std::memcpy(head, &n, sizeof n);
}

unsigned char* dataOf(unsigned char* head) {
  return head + sizeof(std::uint32_t);
}
const unsigned char* dataOf(const unsigned char* head) {
  return head + sizeof(std::uint32_t);
}

} // namespace

TByteBuffer::TByteBuffer(std::size_t Size) : _Data(AllocateBytes(Size)), _Size(Size) {
  if (!_Data)
    throw EComm32Error(EComm32Error::ecOutOfMemory);
}

TCommPackage::TCommPackage(TComm32* Port)
    : _Port(Port), _ReadQueue(16, 4096 + 4), _WriteQueue(16, 4096 + 4) {
  _AllocBuffer();
  if (!_WakeEvent.Valid() || !_BytesWake.Valid() ||
      !_Thread.Start([this] { _TimerThread(); }, TIMER_STACK))
    throw std::system_error(errno ? errno : EAGAIN, std::generic_category(),
                            "cannot start the packager's timer thread");
  _SavedNotify = _Port->OnCommNotify.Get();
  _Port->OnCommNotify = [this](TObject* Sender, int NotifyType) {
    fNewCommNotify(Sender, NotifyType);
  };
}

TCommPackage::~TCommPackage() {
  // Once the old handler is back, no port thread is inside fNewCommNotify.
  _Port->OnCommNotify = _SavedNotify;
  _Run = false;
  _WakeTimer();
  // Joined, not given up on: a handler still running on the timer thread
  // must not find its packager freed.
  _Thread.Join();
}

namespace {

// Receive, staging and frame buffers for one package size: a queue element
// is at least 32 bytes however small the size, the frame twice that.
struct TBuffers {
  explicit TBuffers(long PackageSize)
      : Element(std::max<std::size_t>(static_cast<std::size_t>(PackageSize) + 4, 32)),
        Recv(Element), Stage(Element), Frame(2 * Element) {}
  std::size_t Element;
  TByteBuffer Recv, Stage, Frame;
};

} // namespace

void TCommPackage::_AllocBuffer() {
  TBuffers made(_PackageSize);
  _RemoveBuffer();
  _RecvBuf = std::move(made.Recv);
  _StageBuf = std::move(made.Stage);
  _FrameBuf = std::move(made.Frame);
}

void TCommPackage::_RemoveBuffer() {
  _StageBuf = TByteBuffer();
  _FrameBuf = TByteBuffer();
  _RecvBuf = TByteBuffer();
}

void TCommPackage::_Reshape(long SlotCount, long PackageSize) {
  TCommPackageQueue read(static_cast<unsigned long>(SlotCount),
                         static_cast<unsigned long>(PackageSize + 4));
  TCommPackageQueue write(static_cast<unsigned long>(SlotCount),
                          static_cast<unsigned long>(PackageSize + 4));
  const bool newSize = PackageSize != _PackageSize;
  std::optional<TBuffers> made;
  if (newSize)
    made.emplace(PackageSize);
  // Everything is had: switched off, swap it in.
  bool wasActive;
  _Deactivate(wasActive);
  {
    std::lock_guard lock(_Lock);
    _ReadQueue.Swap(read);
    _WriteQueue.Swap(write);
    if (made) {
      _RecvBuf = std::move(made->Recv);
      _StageBuf = std::move(made->Stage);
      _FrameBuf = std::move(made->Frame);
    }
    _PackageSize = PackageSize;
  }
  if (wasActive)
    fSetActive(true);
}

void TCommPackage::CallNotify(int NotifyType) {
  OnPackageNotify.Invoke(static_cast<TObject*>(this), NotifyType);
}

int TCommPackage::_EncodePackage(unsigned char* Frame, const unsigned char* Package) {
  std::uint32_t n = countOf(Package);
  if (n >= static_cast<std::uint32_t>(_PackageSize))
    n = static_cast<std::uint32_t>(_PackageSize);
  const unsigned char head = FrameHead, tail = FrameTail, ctrl = FrameCtrl;
  const bool twice = _DoubleFrameMark;
  unsigned char* out = dataOf(Frame);
  std::uint32_t i = 0;
  if (twice)
    out[i++] = head;
  out[i++] = head;
  const unsigned char* data = dataOf(Package);
  for (std::uint32_t k = 0; k < n; ++k) {
    const unsigned char b = data[k];
    if (b == head || b == tail || b == ctrl)
      out[i++] = ctrl;
    out[i++] = b;
  }
  if (twice)
    out[i++] = tail;
  out[i++] = tail;
  setCount(Frame, i);
  return static_cast<int>(i);
}

void TCommPackage::_ReadHeadTailPackage() {
  unsigned char chunk[READ_CHUNK];
  const std::uint32_t limit = static_cast<std::uint32_t>(_PackageSize);
  unsigned char* data = dataOf(_RecvBuf.data());
  // The count lives in a local while a chunk is decoded and goes back into
  // the receive buffer before anything else can see it.
  std::uint32_t count = countOf(_RecvBuf.data());
  for (;;) {
    const int k = _Port->Read(chunk, READ_CHUNK);
    if (k <= 0)
      break;
    const unsigned char head = FrameHead, tail = FrameTail, ctrl = FrameCtrl;
    for (int j = 0; j < k; ++j) {
      const unsigned char b = chunk[j];
      if (!_Escaped && b == head) {
        count = 0;
        _Receiving = true;
      } else if (_Receiving) {
        if (!_Escaped && b == ctrl) {
          _Escaped = true;
        } else if (!_Escaped && b == tail) {
          setCount(_RecvBuf.data(), count);
          _ReadQueue.In(_RecvBuf.data()); // a full queue loses the package
          count = 0;
          _Receiving = false;
        } else {
          if (count < limit)
            data[count++] = b;
          _Escaped = false;
        }
      } else {
        _Escaped = !_Escaped && b == ctrl;
      }
    }
  }
  setCount(_RecvBuf.data(), count);
}

bool TCommPackage::_ReadTimeoutPackage() {
  unsigned char chunk[READ_CHUNK];
  const std::uint32_t limit = static_cast<std::uint32_t>(_PackageSize);
  bool read = false;
  for (;;) {
    // Straight into the package while it has room; bytes past its size
    // are read and dropped.
    const std::uint32_t count = countOf(_RecvBuf.data());
    const std::uint32_t room = limit - count;
    unsigned char* at = room > 0 ? dataOf(_RecvBuf.data()) + count : chunk;
    const int k = _Port->Read(at, room > 0 ? static_cast<std::int32_t>(room) : READ_CHUNK);
    if (k <= 0)
      break;
    if (room > 0)
      setCount(_RecvBuf.data(), count + static_cast<std::uint32_t>(k));
    read = true;
  }
  return read;
}

void TCommPackage::_WritePackage() {
  const std::uint32_t frameCount = countOf(_FrameBuf.data());
  if (_SentCount < frameCount) {
    const int n = _Port->Write(dataOf(_FrameBuf.data()) + _SentCount,
                               static_cast<std::int32_t>(frameCount - _SentCount));
    _SentCount += static_cast<std::uint32_t>(std::max(n, 0));
    return;
  }
  if (_WriteQueue.Count() == 0)
    return;
  if (_PackageType == cptFrameTimeout) {
    _WriteQueue.Out(_FrameBuf.data());
  } else {
    _WriteQueue.Out(_StageBuf.data());
    _EncodePackage(_FrameBuf.data(), _StageBuf.data());
  }
  // A cptFrameTimeout element is sent as it stands: its count was cut to
  // PackageSize when it was queued.
  const int n =
      _Port->Write(dataOf(_FrameBuf.data()), static_cast<std::int32_t>(countOf(_FrameBuf.data())));
  _SentCount = static_cast<std::uint32_t>(std::max(n, 0));
}

void TCommPackage::fNewCommNotify(TObject* Sender, int NotifyType) {
  if (_Active) {
    // Cut by silence: bytes wake the timer, which sleeps while none come.
    if ((NotifyType & EV_RXCHAR) && _PackageType == cptFrameTimeout)
      _BytesWake.Wake();
    int bits = NotifyType & ~(EV_RXCHAR | EV_TXEMPTY);
    {
      std::lock_guard lock(_Lock);
      if (_Active) {
        if ((NotifyType & EV_RXCHAR) && _PackageType != cptFrameTimeout) {
          _ReadHeadTailPackage();
          if (_ReadQueue.Count() != 0)
            bits |= EV_RXCHAR;
        }
        if (NotifyType & EV_TXEMPTY) {
          _WritePackage();
          if (_WriteQueue.Count() == 0)
            bits |= EV_TXEMPTY;
        }
      }
    }
    if (bits != 0)
      CallNotify(bits);
  }
  if (_SavedNotify)
    _SavedNotify(Sender, NotifyType);
}

void TCommPackage::_TimerThread() {
  using Clock = std::chrono::steady_clock;
  auto lastPoll = Clock::now();
  while (_Run) {
    // Idle it sleeps until bytes arrive (the port's EV_RXCHAR wakes it);
    // while a package is open it polls every PackageInterval, measured from
    // the last poll, so a wake-up in between never counts as a silent poll.
    if (_Assembling && _Active && _PackageType == cptFrameTimeout) {
      // Zero would poll without pause: one millisecond is the shortest period.
      const auto interval =
          std::chrono::milliseconds(std::clamp<unsigned long>(_PackageInterval, 1, INT_MAX / 2));
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(lastPoll + interval - Clock::now());
      if (left.count() > 0) {
        platform::WaitForAny({&_WakeEvent}, static_cast<int>(left.count()));
        continue;
      }
    } else {
      _BytesWake.Sleep();
    }
    if (!_Run)
      break;
    if (_Rename.exchange(false)) {
      std::string name;
      {
        std::lock_guard lock(_Lock);
        name = _ThreadName;
      }
      TThread::SetCurrentName(name);
    }
    bool closed = false;
    try {
      closed = _TimerTick();
    } catch (...) {
      // A port's Read that throws loses this poll, not the thread.
    }
    // The silence window counts from the poll's read, which comes after the
    // packager's lock: a purge may hold that lock for a while, and a clock
    // taken before it would make the next window short and cut a package
    // in two.
    lastPoll = Clock::now();
    try {
      if (closed)
        CallNotify(EV_RXCHAR);
    } catch (...) {
      // A handler's exception must not end the thread.
    }
  }
}

bool TCommPackage::_TimerTick() {
  std::lock_guard lock(_Lock);
  if (!_Active || _PackageType != cptFrameTimeout) {
    _Assembling = false;
    return false;
  }
  const bool read = _ReadTimeoutPackage();
  _Assembling = countOf(_RecvBuf.data()) != 0;
  if (read || !_Assembling)
    return false;
  _ReadQueue.In(_RecvBuf.data()); // lost when the queue is full, notified all the same
  setCount(_RecvBuf.data(), 0);
  _Assembling = false;
  return true;
}

int TCommPackage::ReadPackage(void* Buffer, unsigned long Size) {
  std::lock_guard lock(_Lock);
  if (!_Active)
    return 0;
  if (_PackageType == cptCompatiblePkg && Size == 0)
    return _ReadQueue.Out(Buffer); // a whole element, as the caller promised room for
  const auto element = std::make_unique_for_overwrite<unsigned char[]>(
      static_cast<std::size_t>(_ReadQueue.SlotSize()));
  if (_PackageType == cptCompatiblePkg) {
    // The caller's size bounds the copy: never past the end of its buffer.
    if (!Buffer || !_ReadQueue.Out(element.get()))
      return 0;
    std::memcpy(Buffer, element.get(),
                std::min<std::size_t>(Size, static_cast<std::size_t>(_ReadQueue.SlotSize())));
    return 1;
  }
  if (Size == 0 || !Buffer)
    return _ReadQueue.Read(element.get(), 0) ? static_cast<int>(countOf(element.get())) : 0;
  if (!_ReadQueue.Out(element.get()))
    return 0;
  const std::uint32_t n = std::min<std::uint32_t>(
      countOf(element.get()),
      static_cast<std::uint32_t>(std::min<unsigned long>(Size, UINT32_MAX)));
  std::memcpy(Buffer, dataOf(element.get()), n);
  return static_cast<int>(n);
}

int TCommPackage::WritePackage(const void* Buffer, unsigned long Size) {
  std::lock_guard lock(_Lock);
  if (!_Active)
    return 0;
  if (_PackageType == cptCompatiblePkg) {
    if (!Buffer)
      return 0;
    if (Size == 0) {
      // A whole element, as the caller promised.
      if (!_WriteQueue.In(Buffer))
        return 0;
    } else {
      // Only the caller's Size bytes are read: the count is cut to the data
      // they hold, so nothing past the buffer goes on the line.
      if (Size < sizeof(std::uint32_t))
        return 0;
      const auto slot = static_cast<std::size_t>(_WriteQueue.SlotSize());
      const auto element = std::make_unique<unsigned char[]>(slot);
      std::memcpy(element.get(), Buffer, std::min<std::size_t>(Size, slot));
      const auto room = std::min<unsigned long>(Size - sizeof(std::uint32_t),
                                                static_cast<unsigned long>(_PackageSize));
      setCount(element.get(),
               static_cast<std::uint32_t>(std::min<unsigned long>(countOf(element.get()), room)));
      if (!_WriteQueue.In(element.get()))
        return 0;
    }
    _WritePackage();
    return 1;
  }
  if (Size == 0 || !Buffer)
    return 0;
  const std::uint32_t n = static_cast<std::uint32_t>(
      std::min<unsigned long>(Size, static_cast<unsigned long>(_PackageSize)));
  const auto element =
      std::make_unique<unsigned char[]>(static_cast<std::size_t>(_WriteQueue.SlotSize()));
  setCount(element.get(), n);
  std::memcpy(dataOf(element.get()), Buffer, n);
  if (!_WriteQueue.In(element.get()))
    return 0;
  _WritePackage();
  return static_cast<int>(n);
}

void TCommPackage::PurgeRead() {
  std::lock_guard lock(_Lock);
  if (!_Active)
    return;
  _Port->PurgeRead(false);
  _ReadQueue.Clear();
}

void TCommPackage::PurgeWrite() {
  std::lock_guard lock(_Lock);
  if (!_Active)
    return;
  _WriteQueue.Clear();
  _Port->PurgeWrite(false);
}

void TCommPackage::fSetActive(bool Value) {
  {
    std::lock_guard lock(_Lock);
    if (Value) {
      _ThreadName = "vx-pk " + platform::ShortDeviceName(_Port->fGetDeviceName());
      _Rename = true;
    }
    _Active = Value;
    _Receiving = false;
    _Escaped = false;
    _SentCount = 0;
    setCount(_RecvBuf.data(), 0);
    setCount(_FrameBuf.data(), 0);
    _ReadQueue.Clear();
    _WriteQueue.Clear();
  }
  _WakeTimer();
}

void TCommPackage::_Deactivate(bool& WasActive) {
  WasActive = _Active;
  if (WasActive)
    fSetActive(false);
}

void TCommPackage::fSetQSize(unsigned long Value) {
  // The stored size keeps the value asked for; the queues raise it to 2.
  _Reshape(static_cast<long>(Value), _PackageSize);
  std::lock_guard lock(_Lock);
  _QueueSize = static_cast<long>(Value);
}

void TCommPackage::fSetPkgSz(unsigned long Value) {
  if (Value > MaxPackageSize)
    throw EComm32Error(EComm32Error::ecOutOfMemory);
  _Reshape(_QueueSize, static_cast<long>(Value));
}

void TCommPackage::fSetPkgType(TCommPackageType Value) {
  bool wasActive;
  _Deactivate(wasActive);
  _PackageType = Value;
  if (wasActive)
    fSetActive(true);
}

void TCommPackage::fSetPkgInterval(unsigned long Value) {
  _PackageInterval = Value;
  _WakeTimer();
}

void TCommPackage::fSetDblFrameMark(bool Value) {
  _DoubleFrameMark = Value;
}

} // namespace LumaroComm32
