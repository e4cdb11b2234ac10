#include "comm/Tcomm32.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

#include "base/Hx_base.h"
#include "platform/memory.h"

namespace LumaroComm32 {

namespace {

struct TErrorText {
  std::uint8_t Code;
  const char* Text; // null closes the set
};

// The texts of every set are GBK; the traditional set becomes Big5 on the
// way out when the language asks for it. Each set ends with its fallback.
const TErrorText ERR_SIMPLIFIED[] = {
    {1, "\xC4\xDA\xB4\xE6\xB2\xBB\xB9\xBB"},                                 // 内存不够
    {2, "\xB2\xBB\xC4\xDC\xB3\xF5\xCA\xBC\xBB\xAF\xB6\xC1\xBB\xBA\xB4\xE6"}, // 不能初始化读缓存
    {3, "\xB2\xBB\xC4\xDC\xB3\xF5\xCA\xBC\xBB\xAF\xD0\xB4\xBB\xBA\xB4\xE6"}, // 不能初始化写缓存
    {4, "\xB2\xBB\xC4\xDC\xB4\xF2\xBF\xAA\xB6\xCB\xBF\xDA"},                 // 不能打开端口
    {5,
     "\xB2\xBB\xC4\xDC\xC9\xE8\xD6\xC3\xB6\xCB\xBF\xDA\xCA\xC2\xBC\xFEMASK"}, // 不能设置端口事件MASK
    {6, "\xB2\xBB\xC4\xDC\xC9\xE8\xD6\xC3\xB6\xCB\xBF\xDA\xBB\xBA\xB4\xE6"}, // 不能设置端口缓存
    {7, "\xB2\xBB\xC4\xDC\xB5\xC3\xB5\xBD\xB6\xCB\xBF\xDA\xB2\xCE\xCA\xFD"}, // 不能得到端口参数
    {8, "\xB2\xBB\xC4\xDC\xC9\xE8\xD6\xC3\xB6\xCB\xBF\xDA\xB2\xCE\xCA\xFD"}, // 不能设置端口参数
    {9, "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xB6\xCB\xBF\xDA\xD2\xEC\xB2\xBD\xB6\xC1\xCA\xC2\xBC"
        "\xFE"}, // 不能创建端口异步读事件
    {10, "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xB6\xCB\xBF\xDA\xD2\xEC\xB2\xBD\xD0\xB4\xCA\xC2\xBC"
         "\xFE"}, // 不能创建端口异步写事件
    {11,
     "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xB6\xCB\xBF\xDA\xB6\xC1\xCF\xDF\xB3\xCC"}, // 不能创建端口读线程
    {12,
     "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xB6\xCB\xBF\xDA\xD0\xB4\xCF\xDF\xB3\xCC"}, // 不能创建端口写线程
    {13,
     "\xB2\xBB\xC4\xDC\xB9\xD8\xB1\xD5\xB6\xCB\xBF\xDA\xB6\xC1\xCF\xDF\xB3\xCC"}, // 不能关闭端口读线程
    {14,
     "\xB2\xBB\xC4\xDC\xB9\xD8\xB1\xD5\xB6\xCB\xBF\xDA\xD0\xB4\xCF\xDF\xB3\xCC"}, // 不能关闭端口写线程
    {0, nullptr},
};
const char ERR_SIMPLIFIED_UNKNOWN[] = "\xCE\xB4\xD6\xAA\xB4\xED\xCE\xF3"; // 未知错误

const TErrorText ERR_TRADITIONAL[] = {
    {1, "\xD3\x9B\x91\x9B\xF3\x77\xB2\xBB\x89\xF2"},                         // 記憶體不夠
    {2, "\xB2\xBB\xC4\xDC\xB3\xF5\xCA\xBC\xBB\xAF\xD7\x78\xBE\x8F\xB4\xE6"}, // 不能初始化讀緩存
    {3, "\xB2\xBB\xC4\xDC\xB3\xF5\xCA\xBC\xBB\xAF\x8C\x91\xBE\x8F\xB4\xE6"}, // 不能初始化寫緩存
    {4, "\xB2\xBB\xC4\xDC\xB4\xF2\xE9\x5F\xB2\xBA"},                         // 不能打開埠
    {5, "\xB2\xBB\xC4\xDC\xD4\x4F\xD6\xC3\xB2\xBA\xCA\xC2\xBC\xFEMASK"}, // 不能設置埠事件MASK
    {6, "\xB2\xBB\xC4\xDC\xD4\x4F\xD6\xC3\xB2\xBA\xBE\x8F\xB4\xE6"},     // 不能設置埠緩存
    {7, "\xB2\xBB\xC4\xDC\xB5\xC3\xB5\xBD\xB2\xBA\x85\xA2\x94\xB5"},     // 不能得到埠參數
    {8, "\xB2\xBB\xC4\xDC\xD4\x4F\xD6\xC3\xB2\xBA\x85\xA2\x94\xB5"},     // 不能設置埠參數
    {9, "\xB2\xBB\xC4\xDC\x84\x93\xBD\xA8\xB2\xBA\xB7\xC7\xCD\xAC\xB2\xBD\xD7\x78\xCA\xC2\xBC"
        "\xFE"}, // 不能創建埠非同步讀事件
    {10, "\xB2\xBB\xC4\xDC\x84\x93\xBD\xA8\xB2\xBA\xB7\xC7\xCD\xAC\xB2\xBD\x8C\x91\xCA\xC2\xBC"
         "\xFE"}, // 不能創建埠非同步寫事件
    {11,
     "\xB2\xBB\xC4\xDC\x84\x93\xBD\xA8\xB2\xBA\xD7\x78\x88\xCC\xD0\xD0\xBE\x77"}, // 不能創建埠讀執行緒
    {12,
     "\xB2\xBB\xC4\xDC\x84\x93\xBD\xA8\xB2\xBA\x8C\x91\x88\xCC\xD0\xD0\xBE\x77"}, // 不能創建埠寫執行緒
    {13,
     "\xB2\xBB\xC4\xDC\xEA\x50\xE9\x5D\xB2\xBA\xD7\x78\x88\xCC\xD0\xD0\xBE\x77"}, // 不能關閉埠讀執行緒
    {14,
     "\xB2\xBB\xC4\xDC\xEA\x50\xE9\x5D\xB2\xBA\x8C\x91\x88\xCC\xD0\xD0\xBE\x77"}, // 不能關閉埠寫執行緒
    {0, nullptr},
};
const char ERR_TRADITIONAL_UNKNOWN[] = "\xCE\xB4\xD6\xAA\xE5\x65\xD5\x60"; // 未知錯誤

const TErrorText ERR_ENGLISH[] = {
    {1, "Out of memory"},
    {2, "Cannot initialize read buffer"},
    {3, "Cannot initialize write buffer"},
    {4, "Cannot open COM port"},
    {5, "Cannot set comm-mask"},
    {6, "Cannot set COM port buffer size"},
    {7, "Cannot read COM port parameters"},
    {8, "Cannot set COM port parameters"},
    {9, "Cannot create COM port asynchronize read event"},
    {10, "Cannot create COM port asynchronize write event"},
    {11, "Cannot create COM port read thread"},
    {12, "Cannot create COM port write thread"},
    {13, "Cannot close COM port read thread"},
    {14, "Cannot close COM port write thread"},
    {0, nullptr},
};
const char ERR_ENGLISH_UNKNOWN[] = "Unknown error";

const char* errorText(std::uint8_t code) {
  static const TErrorText* const SETS[] = {ERR_SIMPLIFIED, ERR_TRADITIONAL, ERR_ENGLISH};
  static const char* const UNKNOWN[] = {ERR_SIMPLIFIED_UNKNOWN, ERR_TRADITIONAL_UNKNOWN,
                                        ERR_ENGLISH_UNKNOWN};
  const int column = TLumaroFuncs::AppLang.TextColumn();
  for (const TErrorText* row = SETS[column]; row->Text; ++row)
    if (row->Code == code)
      return row->Text;
  return UNKNOWN[column];
}

} // namespace

EComm32Error::EComm32Error(TErrorCode code) : Exception(errorText(code)), ErrorCode(code) {
  Message = AnsiString(TLumaroFuncs::AppLang.FromGBK(TLumaroFuncs::TLumaroString(Message)));
}

// ---------------------------------------------------------------------------
// TCommQueue

TCommQueue::TCommQueue(std::int32_t Size) : BufSize(Size), OutPos(0), InPos(0), Buffer(nullptr) {
  try {
    fSetBufSize(Size);
  } catch (const EComm32Error&) {
    fSetBufSize(0);
  }
}

TCommQueue::~TCommQueue() {
  fSetBufSize(0);
}

void TCommQueue::fSetBufSize(std::int32_t Size) {
  InPos = 0;
  OutPos = 0;
  if (Size > MaxBufSize)
    throw EComm32Error(EComm32Error::ecOutOfMemory);
  if (Size <= 0) {
    std::free(Buffer);
    Buffer = nullptr;
    return;
  }
  void* block = platform::Reallocate(Buffer, static_cast<std::size_t>(Size));
  if (!block)
    throw EComm32Error(EComm32Error::ecOutOfMemory);
  Buffer = static_cast<unsigned char*>(block);
  BufSize = Size;
}

std::int32_t TCommQueue::Used() const {
  return (InPos.load(std::memory_order_acquire) - OutPos.load(std::memory_order_acquire) +
          BufSize) %
         BufSize;
}

void TCommQueue::Discard() {
  OutPos.store(InPos.load(std::memory_order_acquire), std::memory_order_release);
}

void TCommQueue::DiscardTo(std::int32_t Pos) {
  if (!Buffer || Pos < 0 || Pos >= BufSize)
    return;
  // Pos lies within what is held: the bytes before it go.
  const std::int32_t out = OutPos.load(std::memory_order_relaxed);
  if ((Pos - out + BufSize) % BufSize <= Used())
    OutPos.store(Pos, std::memory_order_release);
}

unsigned char* TCommQueue::FreeRun(std::int32_t Len) const {
  if (!Buffer || Len <= 0)
    return nullptr;
  const std::int32_t in = InPos.load(std::memory_order_relaxed);
  const std::int32_t out = OutPos.load(std::memory_order_acquire);
  const std::int32_t free = (out - in + BufSize - 1) % BufSize;
  return Len <= free && Len <= BufSize - in ? Buffer + in : nullptr;
}

void TCommQueue::Publish(std::int32_t Len) {
  const std::int32_t in = InPos.load(std::memory_order_relaxed);
  InPos.store((in + Len) % BufSize, std::memory_order_release);
}

int TCommQueue::In(const unsigned char* Data) {
  return In(Data, Data ? 1 : 0);
}

int TCommQueue::In(const void* Data, std::int32_t Len) {
  if (!Buffer || Len <= 0 || !Data)
    return 0;
  const std::int32_t in = InPos.load(std::memory_order_relaxed);
  const std::int32_t out = OutPos.load(std::memory_order_acquire);
  const std::int32_t free = (out - in + BufSize - 1) % BufSize;
  const std::int32_t n = std::min(Len, free);
  if (n <= 0)
    return 0;
  const std::int32_t tail = std::max(n + in - BufSize, 0), head = n - tail;
  std::memcpy(Buffer + in, Data, static_cast<std::size_t>(head));
  std::memcpy(Buffer, static_cast<const unsigned char*>(Data) + head,
              static_cast<std::size_t>(tail));
  InPos.store((in + n) % BufSize, std::memory_order_release);
  return n;
}

int TCommQueue::Out(unsigned char* Data) {
  return Out(Data, Data ? 1 : 0);
}

int TCommQueue::Out(void* Data, std::int32_t Len) {
  if (!Buffer || Len <= 0 || !Data)
    return 0;
  const std::int32_t out = OutPos.load(std::memory_order_relaxed);
  const std::int32_t in = InPos.load(std::memory_order_acquire);
  const std::int32_t used = (in - out + BufSize) % BufSize;
  const std::int32_t n = std::min(Len, used);
  if (n <= 0)
    return 0;
  const std::int32_t tail = std::max(n + out - BufSize, 0), head = n - tail;
  std::memcpy(Data, Buffer + out, static_cast<std::size_t>(head));
  std::memcpy(static_cast<unsigned char*>(Data) + head, Buffer, static_cast<std::size_t>(tail));
  OutPos.store((out + n) % BufSize, std::memory_order_release);
  return n;
}

// ---------------------------------------------------------------------------
// TComm32

using namespace platform;

namespace {

constexpr std::uint32_t READER_MASK =
    EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD | EV_ERR | EV_RX80FULL;
constexpr int NOTIFY_ACTIVE = EV_CTS | EV_DSR | EV_RLSD;
constexpr int READ_BLOCK = 2048;
constexpr int WRITE_CHUNK = 256;
// Small stacks: the reader and timer run the owner's handlers, the writer
// only moves bytes.
constexpr std::size_t HANDLER_STACK = 256 * 1024;
constexpr std::size_t WRITER_STACK = 64 * 1024;
// How long PurgeWrite waits for the writer to empty its side; it is woken
// and its driver write broken off, so this only matters for a stuck thread.
constexpr int PURGE_WAIT_MS = 500;

} // namespace

struct TComm32::_TSession {
  std::unique_ptr<SerialDevice> Device;
  // Created in this order; Open checks them as its steps say.
  TEvent evReadKill{true};
  TEvent evTimerKill{true};
  // Wakes the writer when it sleeps with nothing to send.
  TWakeup wkWriter;
  TEvent evWriteKill{true};
  // Breaks off a driver write that waits for room (Close and PurgeWrite);
  // the writer acknowledges a purge through evPurgeDone.
  TEvent evWriteBreak{true};
  TEvent evPurgeDone{true};
  std::atomic<bool> bPurgeWrite{false};
  // The writer holds bytes the driver has not taken yet.
  std::atomic<bool> bChunkPending{false};
  std::atomic<bool> bReadRun{false}, bWriteRun{false}, bTimerRun{false};
  std::atomic<bool> bReadAlive{false}, bWriteAlive{false}, bTimerAlive{false};
  // Copied at Open: the reader must not read Dcb while the owner edits it.
  bool CtsFlow = false;

  bool AnyAlive() const { return bReadAlive || bWriteAlive || bTimerAlive; }
};

struct TComm32::_TThreads {
  TThread hReadThread, hTimerThread, hWriteThread;
  std::weak_ptr<_TSession> Session;

  bool Ended() const {
    const auto s = Session.lock();
    return !s || !s->AnyAlive();
  }
  void Join() {
    hReadThread.Join();
    hTimerThread.Join();
    hWriteThread.Join();
  }
};

const char TComm32::Fmt_COMn[] = "\\\\.\\COM%d";
const char TComm32::Fmt_InitModem[] = "ATE0&K%dS0=%d\r";
const char TComm32::Str_ResetModem[] = "ATZ\r";

TComm32::TComm32() {
  std::memset(&Dcb, 0, sizeof Dcb);
  Dcb.DCBlength = 28;
  Dcb.BaudRate = 115200;
  Dcb.fBinary = 1;
  Dcb.fDtrControl = DTR_CONTROL_ENABLE;
  Dcb.fRtsControl = RTS_CONTROL_ENABLE;
  Dcb.XonLim = 2048;
  Dcb.XoffLim = 512;
  Dcb.ByteSize = 8;
  Dcb.Parity = NOPARITY;
  Dcb.StopBits = ONESTOPBIT;
  Dcb.XonChar = 0x11;
  Dcb.XoffChar = 0x13;
  fSetPortNo(PortNo);
  InQueue = std::make_unique<TCommQueue>(8192);
  OutQueue = std::make_unique<TCommQueue>(8192);
}

TComm32::~TComm32() {
  try {
    Close();
  } catch (...) {
  }
  _JoinFinished(true);
}

void TComm32::fSetPortNo(int Value) {
  PortNo = Value;
  std::snprintf(DeviceName, sizeof DeviceName, Fmt_COMn, PortNo);
  _WholeDeviceName.clear();
}

void TComm32::fSetDeviceName(const std::string& Name) {
  std::snprintf(DeviceName, sizeof DeviceName, "%s", Name.c_str());
  _WholeDeviceName = Name;
}

std::string TComm32::fGetDeviceName() const {
  // The field still holds what fSetDeviceName put there: the whole name
  // stands behind it.
  if (!_WholeDeviceName.empty() &&
      _WholeDeviceName.compare(0, sizeof DeviceName - 1, DeviceName) == 0 &&
      std::strlen(DeviceName) == std::min(_WholeDeviceName.size(), sizeof DeviceName - 1))
    return _WholeDeviceName;
  return DeviceName;
}

int TComm32::Read(void* Buffer, std::int32_t Len) {
  return InQueue->Out(Buffer, Len);
}

std::shared_ptr<TComm32::_TSession> TComm32::_CurrentSession() const {
  std::lock_guard lock(_SessionLock);
  return _Session;
}

void TComm32::_SetSession(std::shared_ptr<_TSession> s) {
  std::lock_guard lock(_SessionLock);
  _Session = std::move(s);
}

void TComm32::_WakeWriter() {
  if (auto s = _CurrentSession())
    s->wkWriter.Wake();
}

int TComm32::Write(const void* Buffer, std::int32_t Len) {
  if (DisableWrite)
    return 0;
  const int n = OutQueue->In(Buffer, Len);
  if (Active)
    _WakeWriter();
  return n;
}

int TComm32::Command(const char* Text) {
  const int n = Text ? OutQueue->In(Text, static_cast<std::int32_t>(std::strlen(Text))) : 0;
  _WakeWriter();
  return n;
}

void TComm32::PurgeRead(bool Abort) {
  if (!Active)
    return;
  if (auto s = _CurrentSession())
    s->Device->PurgeComm(PURGE_RXCLEAR | (Abort ? PURGE_RXABORT : 0));
  // The reader keeps filling InQueue: only the consumer's index moves.
  InQueue->Discard();
}

void TComm32::PurgeWrite(bool Abort) {
  if (!Active)
    return;
  if (auto s = _CurrentSession()) {
    // The writer owns OutQueue's read index and its chunk: it empties both
    // itself. Its write into the driver is broken off so that a line that
    // does not drain cannot hold the purge; then the driver's queue goes.
    s->evPurgeDone.Reset();
    s->bPurgeWrite = true;
    s->evWriteBreak.Set();
    s->wkWriter.Wake();
    WaitForAny({&s->evPurgeDone}, PURGE_WAIT_MS);
    s->Device->PurgeComm(PURGE_TXCLEAR | (Abort ? PURGE_TXABORT : 0));
  }
}

void TComm32::ResetModem() {
  Command(Str_ResetModem);
}

void TComm32::InitModem() {
  char text[64];
  std::snprintf(text, sizeof text, Fmt_InitModem, static_cast<int>(fGetFCtrl()),
                static_cast<int>(AutoAnswer));
  Command(text);
}

bool TComm32::EscapeCommFunction(std::uint32_t Function) {
  if (!Active)
    return false;
  auto s = _CurrentSession();
  if (!s || !s->Device->EscapeCommFunction(Function))
    return false;
  switch (Function) {
  case SETRTS: _RtsOn = true; break;
  case CLRRTS: _RtsOn = false; break;
  case SETDTR: _DtrOn = true; break;
  case CLRDTR: _DtrOn = false; break;
  default: break;
  }
  return true;
}

bool TComm32::fGetDTR() const {
  return Active && _DtrOn;
}
bool TComm32::fGetRTS() const {
  return Active && _RtsOn;
}

void TComm32::fSetDTR(bool Value) {
  if (Active)
    EscapeCommFunction(Value ? SETDTR : CLRDTR);
  else
    _DtrOn = Value;
}

void TComm32::fSetRTS(bool Value) {
  if (Active)
    EscapeCommFunction(Value ? SETRTS : CLRRTS);
  else
    _RtsOn = Value;
}

TComm32::TFlowControl TComm32::fGetFCtrl() const {
  if (Dcb.fOutxCtsFlow && Dcb.fOutX)
    return fcRtsCtsXonXoff;
  if (Dcb.fOutxCtsFlow)
    return fcRtsCts;
  if (Dcb.fOutX)
    return fcXonXoff;
  return fcNone;
}

void TComm32::fSetFCtrl(TFlowControl Value) {
  Close();
  const bool hardware = Value == fcRtsCts || Value == fcRtsCtsXonXoff;
  const bool software = Value == fcXonXoff || Value == fcTranXonXoff || Value == fcRtsCtsXonXoff;
  Dcb.fOutxCtsFlow = hardware;
  Dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
  Dcb.fOutX = software;
  Dcb.fInX = software;
  Dcb.fDtrControl = DTR_CONTROL_ENABLE;
  Dcb.fOutxDsrFlow = 0;
}

void TComm32::Open() {
  if (Active)
    return;
  _JoinFinished(false);
  _RingCount = 0;
  _TickStatus = 0;
  int code = 0;
  if (!InQueue->Buffer)
    code = EComm32Error::ecInitReadBuffer;
  else if (!OutQueue->Buffer)
    code = EComm32Error::ecInitWriteBuffer;

  // What the last open period left behind, half a command or half a
  // report, never reaches the next line: the bytes its reader received and
  // the bytes queued for it that its writer did not send. (Bytes queued
  // while the port was closed are for the line about to open: they stay.)
  // None of the port's threads runs now; each queue is emptied from its
  // consumer's side.
  if (!code) {
    InQueue->Discard();
    if (_OutEndOfPeriod >= 0)
      OutQueue->DiscardTo(_OutEndOfPeriod);
  }
  _OutEndOfPeriod = -1;
  auto s = std::make_shared<_TSession>();
  LineLost = 0;
  BytesSent = 0;
  const std::string deviceName = fGetDeviceName();
  if (!code) {
    LastOpenError = 0;
    s->Device = OpenSerialDevice(deviceName, &LastOpenError);
    if (s->Device)
      Handle = s->Device->Handle();
    else
      code = EComm32Error::ecOpenPort;
  }
  if (!code && !s->Device->SetCommMask(EV_RXFLAG))
    code = EComm32Error::ecSetCommMask;
  if (!code && !s->Device->SetupComm(HwInSize, HwOutSize))
    code = EComm32Error::ecSetupComm;
  if (!code) {
    if (Dcb.fDtrControl != DTR_CONTROL_HANDSHAKE)
      Dcb.fDtrControl = _DtrOn ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    if (Dcb.fRtsControl != RTS_CONTROL_HANDSHAKE && Dcb.fRtsControl != RTS_CONTROL_TOGGLE)
      Dcb.fRtsControl = _RtsOn ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    const DCB copy = Dcb;
    if (!s->Device->SetCommState(copy))
      code = EComm32Error::ecSetCommState;
  }
  if (!code && (!s->evReadKill.Valid() || !s->evTimerKill.Valid()))
    code = EComm32Error::ecCreateReadEvent;
  if (!code && (!s->wkWriter.Valid() || !s->evWriteKill.Valid() || !s->evWriteBreak.Valid() ||
                !s->evPurgeDone.Valid()))
    code = EComm32Error::ecCreateWriteEvent;
  s->CtsFlow = Dcb.fOutxCtsFlow;
  _SetSession(s);
  _Threads = std::make_unique<_TThreads>();
  _Threads->Session = s;
  // Each thread holds the open period's shared state for as long as it runs.
  const std::string label = ShortDeviceName(deviceName);
  if (!code) {
    s->bReadRun = true;
    if (!_Threads->hReadThread.Start(
            [this, s, label] {
              TThread::SetCurrentName("vx-rd " + label);
              _ReadThread(*s);
            },
            HANDLER_STACK)) {
      s->bReadRun = false;
      code = EComm32Error::ecCreateReadThread;
    }
  }
  if (!code) {
    s->bTimerRun = true;
    if (!_Threads->hTimerThread.Start(
            [this, s, label] {
              TThread::SetCurrentName("vx-tm " + label);
              _TimerThread(*s);
            },
            HANDLER_STACK)) {
      s->bTimerRun = false;
      code = EComm32Error::ecCreateReadThread;
    }
  }
  if (!code) {
    s->bWriteRun = true;
    if (!_Threads->hWriteThread.Start(
            [this, s, label] {
              TThread::SetCurrentName("vx-wr " + label);
              _WriteThread(*s);
            },
            WRITER_STACK)) {
      s->bWriteRun = false;
      code = EComm32Error::ecCreateWriteThread;
    }
  }
  if (code) {
    s.reset();
    Close();
    throw EComm32Error(static_cast<EComm32Error::TErrorCode>(code));
  }
  Active = true;
  DisableWrite = false;
  std::uint32_t status = 0;
  if (_CurrentSession()->Device->GetCommModemStatus(&status))
    ModemStatus = status;
  _DtrOn = Dcb.fDtrControl != DTR_CONTROL_DISABLE;
  _RtsOn = Dcb.fRtsControl != RTS_CONTROL_DISABLE;
  CommNotify(NOTIFY_ACTIVE);
  CommAfterOpen();
}

void TComm32::Close() {
  if (Active)
    CommBeforeClose();
  int code = 0;
  if (auto s = _CurrentSession()) {
    _SetSession(nullptr);
    s->bReadRun = false;
    s->bWriteRun = false;
    s->bTimerRun = false;
    if (s->Device)
      s->Device->SetCommMask(EV_RXFLAG);
    s->evReadKill.Set();
    s->evWriteKill.Set();
    s->wkWriter.Wake();
    s->evWriteBreak.Set();
    s->evTimerKill.Set();
    for (int i = 0; i < 100 && s->AnyAlive(); ++i)
      Sleep(5);
    if (s->bReadAlive || s->bTimerAlive)
      code = EComm32Error::ecCloseReadThread;
    if (s->bWriteAlive)
      code = EComm32Error::ecCloseWriteThread;
    if (_Threads) {
      if (s->AnyAlive())
        _Lingering.push_back(std::move(_Threads));
      else
        _Threads->Join();
      _Threads.reset();
    }
    // The device closes here, or when the last lingering thread lets go.
    if (Active)
      _OutEndOfPeriod = OutQueue->InPos.load(std::memory_order_acquire);
  }
  Handle = -1;
  _DtrOn = Dcb.fDtrControl != DTR_CONTROL_DISABLE;
  _RtsOn = Dcb.fRtsControl != RTS_CONTROL_DISABLE;
  if (Active) {
    Active = false;
    ModemStatus = 0;
    CommNotify(NOTIFY_ACTIVE);
  }
  if (code)
    throw EComm32Error(static_cast<EComm32Error::TErrorCode>(code));
}

void TComm32::_JoinFinished(bool all) {
  for (auto it = _Lingering.begin(); it != _Lingering.end();) {
    if (all || (*it)->Ended()) {
      (*it)->Join();
      it = _Lingering.erase(it);
    } else {
      ++it;
    }
  }
}

namespace {

// The owner's handlers may throw; the notifying thread carries on regardless.
template <typename Handler, typename... Args>
void callQuietly(const Handler& handler, Args... args) {
  if (!handler)
    return;
  try {
    handler(args...);
  } catch (...) {
  }
}

} // namespace

void TComm32::CommNotify(int NotifyType) {
  try {
    OnCommNotify.Invoke(static_cast<TObject*>(this), NotifyType);
  } catch (...) {
  }
}

void TComm32::CommAfterOpen() {
  callQuietly(AfterOpen, this);
}

void TComm32::CommBeforeClose() {
  callQuietly(BeforeClose, this);
}

void TComm32::_ReadThread(_TSession& s) {
  s.bReadAlive = true;
  TThread::RaiseCurrentPriority();
  SerialDevice& dev = *s.Device;
  unsigned char buf[READ_BLOCK];
  if (dev.SetCommMask(READER_MASK)) {
    while (s.bReadRun) {
      std::uint32_t ev = 0;
      const CommWait wait = dev.WaitCommEvent(ev, s.evReadKill);
      if (wait == CommWait::Stopped)
        break;
      if (wait == CommWait::Failed) {
        // A wait that fails at once would fail again: pause before the
        // next one instead of spinning.
        WaitForAny({&s.evReadKill}, 10);
        ev = 0;
      }
      if (!s.bReadRun)
        break;
      if (ev & EV_RXCHAR) {
        std::uint32_t n = 0;
        dev.ClearCommError(nullptr, &n);
        while (n > 0) {
          const int block = static_cast<int>(std::min<std::uint32_t>(n, READ_BLOCK));
          // A block that fits before the ring's end goes straight into it;
          // one that does not is staged, and what finds no room is lost.
          unsigned char* direct = InQueue->FreeRun(block);
          const int got = dev.ReadFile(direct ? direct : buf, block);
          // A read of bytes the driver said were waiting only fails when the
          // device is gone: end the batch instead of retrying forever.
          if (got <= 0)
            break;
          if (direct)
            InQueue->Publish(got);
          else
            InQueue->In(buf, got);
          n -= static_cast<std::uint32_t>(got);
        }
      }
      if (ev & (EV_CTS | EV_DSR | EV_RLSD)) {
        std::uint32_t status = 0;
        if (dev.GetCommModemStatus(&status))
          ModemStatus = status;
        if ((ev & EV_CTS) && s.CtsFlow && (ModemStatus & MS_CTS_ON))
          ev |= EV_TXEMPTY;
        if (ev & EV_RLSD)
          _RingCount = 0;
      }
      if ((ev & EV_TXEMPTY) && ((ModemStatus & MS_CTS_ON) || !s.CtsFlow)) {
        if (InQueue->Used() != 0)
          ev &= ~EV_TXEMPTY;
        // A writer with nothing to send would only wake to find that out.
        if (s.bChunkPending || OutQueue->Used() != 0)
          s.wkWriter.Wake();
      }
      if (ev & EV_ERR) {
        dev.ClearCommError(nullptr, nullptr);
        if (const int lost = dev.LostError())
          LineLost = lost;
      }
      CommNotify(static_cast<int>(ev));
    }
  }
  s.bReadAlive = false;
}

void TComm32::_WriteThread(_TSession& s) {
  s.bWriteAlive = true;
  unsigned char chunk[WRITE_CHUNK];
  int length = 0, sent = 0;
  // Bytes queued before the port opened wait for the first wake-up.
  bool woken = false, wrote = false;
  while (s.bWriteRun) {
    if (s.bPurgeWrite) {
      s.evWriteBreak.Reset();
      s.bPurgeWrite = false;
      OutQueue->Discard();
      length = sent = 0;
      s.bChunkPending = false;
      s.evPurgeDone.Set();
      continue;
    }
    if (sent < length) {
      // Chunk after chunk while the driver takes them; WriteFile waits for
      // room itself, broken off by Close and PurgeWrite.
      const int n = s.Device->WriteFile(chunk + sent, length - sent, s.evWriteBreak);
      if (n > 0) {
        sent += n;
        BytesSent += static_cast<std::uint64_t>(n);
        wrote = true;
      } else if (n == 0 && s.bWriteRun && !s.bPurgeWrite) {
        // Broken off by a purge that was already done: not a reason to stop.
        s.evWriteBreak.Reset();
      } else if (n < 0) {
        // The line is gone: the reader reports it and the owner closes the
        // port. Sleep until then instead of failing the same write again.
        s.bChunkPending = false;
        length = sent = 0;
        WaitForAny({&s.evWriteKill, &s.evWriteBreak});
        s.evWriteBreak.Reset();
        continue;
      }
      s.bChunkPending = sent < length;
    } else if (woken && OutQueue->Used() != 0) {
      length = OutQueue->Out(chunk, WRITE_CHUNK);
      sent = 0;
      s.bChunkPending = length > 0;
    } else {
      if (std::exchange(wrote, false))
        s.Device->WatchTransmit();
      if (s.wkWriter.Sleep() == WAIT_FAILED)
        WaitForAny({&s.evWriteKill}, 10); // never spin on a wait that fails
      woken = true;
    }
  }
  s.bWriteAlive = false;
}

void TComm32::_TimerThread(_TSession& s) {
  s.bTimerAlive = true;
  SerialDevice& dev = *s.Device;
  while (s.bTimerRun) {
    // A tick every _TimerInterval only where it can find something: where
    // the driver tells of modem-line changes, ticks run while the ring count
    // climbs back to _RingInterval, the ring line is on or the last tick
    // could not read the lines, and otherwise wait for the next change; on a
    // line without modem lines nothing ever changes.
    int wait = static_cast<int>(_TimerInterval);
    switch (dev.ModemLines()) {
    case ModemWatch::None: wait = INFINITE; break;
    case ModemWatch::Driver:
      if (_RingCount >= _RingInterval && _TickStatus != TICK_UNREAD && !(_TickStatus & MS_RING_ON))
        wait = INFINITE;
      break;
    case ModemWatch::Polling: break;
    }
    if (dev.WaitModemChange(s.evTimerKill, wait) == CommWait::Stopped || !s.bTimerRun)
      break;
    fmsgCommTimer();
  }
  s.bTimerAlive = false;
}

void TComm32::fmsgCommTimer() {
  auto s = _CurrentSession();
  std::uint32_t status = 0;
  if (!s || !s->Device->GetCommModemStatus(&status)) {
    _TickStatus = TICK_UNREAD;
    return;
  }
  _TickStatus = status;
  if ((status ^ ModemStatus) & MS_RLSD_ON) {
    if (status & MS_RLSD_ON)
      ModemStatus.fetch_or(MS_RLSD_ON);
    else
      ModemStatus.fetch_and(~MS_RLSD_ON);
    CommNotify(EV_RLSD);
  }
  if (_RingCount < _RingInterval) {
    ++_RingCount;
    return;
  }
  if (!(ModemStatus & MS_RLSD_ON) && (status & MS_RING_ON)) {
    _RingCount = 0;
    CommNotify(EV_RING);
  }
}

// ---------------------------------------------------------------------------
// TCommSerialPortInfo

TCommSerialPortInfo::TCommSerialPortInfo() {
  Refresh();
}

TCommSerialPortInfo::~TCommSerialPortInfo() = default;

int TCommSerialPortInfo::PortNo(const AnsiString& Name) {
  std::string head = Name.substr(0, 3);
  for (char& c : head)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (head != "COM")
    return 0;
  // The rest as atol() reads it, saturated instead of overflowing.
  const char* p = Name.c_str() + 3;
  while (std::isspace(static_cast<unsigned char>(*p)))
    ++p;
  bool negative = false;
  if (*p == '+' || *p == '-')
    negative = *p++ == '-';
  long long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p)
    value = std::min<long long>(value * 10 + (*p - '0'), LLONG_MAX / 20);
  if (negative)
    value = -value;
  return value > 0 && value <= INT_MAX ? static_cast<int>(value) : 0;
}

AnsiString TCommSerialPortInfo::PortName(int n) {
  char text[24];
  std::snprintf(text, sizeof text, "COM%d", n);
  return text;
}

int TCommSerialPortInfo::PortListSortCompare(const std::vector<AnsiString>& List, int Index1,
                                             int Index2) {
  return PortNo(List[static_cast<std::size_t>(Index1)]) -
         PortNo(List[static_cast<std::size_t>(Index2)]);
}

void TCommSerialPortInfo::ListFromSystem() {
  try {
    for (const auto& name : platform::ListSerialPortNames()) {
      const int n = PortNo(name);
      if (n > 0)
        PortList.push_back(PortName(n));
    }
    // Sorted by PortListSortCompare, over positions as the string list does.
    std::vector<int> order(PortList.size());
    for (std::size_t i = 0; i < order.size(); ++i)
      order[i] = static_cast<int>(i);
    std::stable_sort(order.begin(), order.end(),
                     [this](int a, int b) { return PortListSortCompare(PortList, a, b) < 0; });
    std::vector<AnsiString> sorted;
    for (int i : order)
      sorted.push_back(PortList[static_cast<std::size_t>(i)]);
    PortList = std::move(sorted);
    FromSystem = true;
  } catch (...) {
  }
}

void TCommSerialPortInfo::Refresh() {
  PortList.clear();
  FromSystem = false;
  ListFromSystem();
  if (PortList.empty()) {
    for (int n = 1; n <= 4; ++n)
      PortList.push_back(PortName(n));
    FromSystem = false;
  }
}

} // namespace LumaroComm32
