// The serial communication engine: comm errors, the byte ring, the serial
// port with its reader, writer and timer threads, and the serial port list.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/rtl.h"
#include "platform/serial.h"

namespace LumaroComm32 {

// The engine's one exception: a code and a message in the application's
// language.
class EComm32Error : public Exception {
public:
  enum TErrorCode : std::uint8_t {
    ecNoError = 0,
    ecOutOfMemory = 1,
    ecInitReadBuffer = 2,
    ecInitWriteBuffer = 3,
    ecOpenPort = 4,
    ecSetCommMask = 5,
    ecSetupComm = 6,
    ecGetCommState = 7,
    ecSetCommState = 8,
    ecCreateReadEvent = 9,
    ecCreateWriteEvent = 10,
    ecCreateReadThread = 11,
    ecCreateWriteThread = 12,
    ecCloseReadThread = 13,
    ecCloseWriteThread = 14,
  };

  explicit EComm32Error(TErrorCode code);

  TErrorCode ErrorCode;
};

// Fixed-size byte ring for one producer and one consumer thread; holds
// BufSize - 1 bytes. Each side copies its bytes first and then publishes its
// index with a release store; the other side reads it with an acquire load.
class TCommQueue {
public:
  explicit TCommQueue(std::int32_t Size);
  TCommQueue(const TCommQueue&) = delete;
  TCommQueue& operator=(const TCommQueue&) = delete;
  virtual ~TCommQueue();

  // The largest ring: index arithmetic stays far from overflow below it.
  static constexpr std::int32_t MaxBufSize = 16 << 20;

  // Empties the queue and resizes its storage; Size <= 0 frees it (BufSize
  // stays). Raises EComm32Error code 1 when the memory cannot be had or Size
  // is above MaxBufSize, keeping the old storage. Not while another thread
  // uses the queue.
  void fSetBufSize(std::int32_t Size);

  int In(const unsigned char* Data);
  int In(const void* Data, std::int32_t Len);
  int Out(unsigned char* Data);
  int Out(void* Data, std::int32_t Len);

  // The producer's way to fill the ring in place: where Len bytes can be
  // written at InPos without wrapping, or null when they do not fit; then
  // Publish the count written (at most Len), as In would.
  unsigned char* FreeRun(std::int32_t Len) const;
  void Publish(std::int32_t Len);

  // Bytes held, as the consumer or an observer sees them.
  std::int32_t Used() const;
  // Drops every byte held, from the consumer's side: only OutPos moves, so
  // a producer working at the same time never sees its index reset. Call it
  // on the thread that takes bytes out.
  void Discard();
  // Drops the bytes held before the producer's index Pos (an InPos read
  // earlier), when they are still held; from the consumer's side too.
  void DiscardTo(std::int32_t Pos);

  std::int32_t BufSize;
  std::atomic<std::int32_t> OutPos;
  std::atomic<std::int32_t> InPos;
  unsigned char* Buffer;
};

// One serial port with its reader, writer and timer threads.
class TComm32 : public TObject {
public:
  // Values are the Hayes "&K" numbers that InitModem sends.
  enum TFlowControl : int {
    fcNone = 0,
    fcRtsCts = 3,
    fcXonXoff = 4,
    fcTranXonXoff = 5,
    fcRtsCtsXonXoff = 6,
  };

  static const char Fmt_COMn[];
  static const char Fmt_InitModem[];
  static const char Str_ResetModem[];

  TComm32();
  TComm32(const TComm32&) = delete;
  TComm32& operator=(const TComm32&) = delete;
  ~TComm32() override;

  virtual int Read(void* Buffer, std::int32_t Len);
  virtual int Write(const void* Buffer, std::int32_t Len);
  virtual int Command(const char* Text);
  virtual void PurgeRead(bool Abort);
  virtual void PurgeWrite(bool Abort);
  virtual void ResetModem();
  virtual void InitModem();
  virtual bool EscapeCommFunction(std::uint32_t Function);
  virtual void Open();
  virtual void Close();
  virtual void CommNotify(int NotifyType);
  virtual void CommAfterOpen();
  virtual void CommBeforeClose();
  virtual void fmsgCommTimer();

  bool fGetDTR() const;
  void fSetDTR(bool Value);
  bool fGetRTS() const;
  void fSetRTS(bool Value);
  TFlowControl fGetFCtrl() const;
  void fSetFCtrl(TFlowControl Value);
  // Sets PortNo and DeviceName together.
  void fSetPortNo(int Value);
  // Names the device by path, of any length. DeviceName keeps as much as it
  // holds, for those who read the field; Open uses the whole name.
  void fSetDeviceName(const std::string& Name);
  // The device Open opens: the whole name given to fSetDeviceName, unless
  // DeviceName was written since, then DeviceName.
  std::string fGetDeviceName() const;

  int Handle = -1;
  platform::DCB Dcb;
  std::atomic<bool> Active{false};
  std::atomic<bool> DisableWrite{false};
  int PortNo = 2;
  char DeviceName[32];
  std::uint32_t HwInSize = 1200;
  std::uint32_t HwOutSize = 1200;
  std::uint8_t AutoAnswer = 0;
  std::unique_ptr<TCommQueue> InQueue;
  std::unique_ptr<TCommQueue> OutQueue;
  // Chained by the packager and the component while the port runs.
  TLockedEvent<TCommNotifyEvent> OnCommNotify;
  TNotifyEvent AfterOpen;
  TNotifyEvent BeforeClose;
  std::atomic<std::uint32_t> ModemStatus{0};
  // Why the device could not be opened (an errno value), 0 after a good Open.
  int LastOpenError = 0;
  // Why the open line stopped working for good (an errno value, see
  // platform::DescribeLineLoss); set before the EV_ERR that reports it, 0
  // while the line works and after every Open. The owner closes the port.
  std::atomic<int> LineLost{0};
  // Bytes the driver has taken from the writer since the last Open.
  std::atomic<std::uint64_t> BytesSent{0};

private:
  struct _TSession;
  struct _TThreads;

  void _ReadThread(_TSession& s);
  void _WriteThread(_TSession& s);
  void _TimerThread(_TSession& s);
  void _JoinFinished(bool all);
  void _WakeWriter();
  std::shared_ptr<_TSession> _CurrentSession() const;
  void _SetSession(std::shared_ptr<_TSession> s);

  std::string _WholeDeviceName;
  // OutQueue's InPos when the last open period ended: what was queued
  // before it was for that period's line. -1 when no period ended since
  // the last Open.
  std::int32_t _OutEndOfPeriod = -1;
  bool _DtrOn = true;
  bool _RtsOn = true;
  std::uint32_t _TimerInterval = 200;
  std::uint32_t _RingInterval = 15;
  std::atomic<std::uint32_t> _RingCount{0};
  // The modem lines as the last timer tick read them; TICK_UNREAD when it
  // could not.
  static constexpr std::uint32_t TICK_UNREAD = 0xFFFFFFFFu;
  std::atomic<std::uint32_t> _TickStatus{0};
  // What the threads of the current open period share with the port: the
  // device, the events and the run flags. Each thread holds a reference, so
  // a thread that outlives Close's wait never sees any of it freed; the
  // device closes when the last holder lets go.
  std::shared_ptr<_TSession> _Session; // guarded by _SessionLock
  mutable std::mutex _SessionLock;
  std::unique_ptr<_TThreads> _Threads;
  // Threads that did not end within Close's wait; joined once they have
  // ended, at the latest by the destructor.
  std::vector<std::unique_ptr<_TThreads>> _Lingering;
};

// The serial ports of the machine as "COM<n>" names, sorted by number.
class TCommSerialPortInfo {
public:
  TCommSerialPortInfo();
  virtual ~TCommSerialPortInfo();

  void Refresh();
  void ListFromSystem();

  static int PortNo(const AnsiString& Name);
  static AnsiString PortName(int n);
  static int PortListSortCompare(const std::vector<AnsiString>& List, int Index1, int Index2);

  std::vector<AnsiString> PortList;
  bool FromSystem = false;
};

} // namespace LumaroComm32
