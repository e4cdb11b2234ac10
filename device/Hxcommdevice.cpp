#include "device/Hxcommdevice.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <cstdio>
#include <utility>

using namespace LumaroComm32;

const std::uint32_t THxCustomCommDevice::BAUD_RATES[15] = {
    110,   300,   600,   1200,  2400,   4800,   9600,   14400,
    19200, 38400, 56000, 57600, 115200, 128000, 256000,
};

// Stands in for the hidden notification window: it lives in the thread that
// created the component and receives the posted events that carry the
// notifications over.
class THxCustomCommDevice::_TNotifier : public QObject {
public:
  explicit _TNotifier(THxCustomCommDevice& Owner) : _Owner(Owner) {}

  bool event(QEvent* e) override {
    // Our events are made under the pending lock on the engine's threads and
    // handed over inside Qt; taking the lock before reading one makes that
    // hand-over visible to the thread checker as well.
    { std::lock_guard lock(_Owner._PendingLock); }
    const int type = static_cast<int>(e->type());
    if (type == WM_COMMNOTIFY || type == WM_PACKAGENOTIFY) {
      _Owner._EvNotifyProc();
      return true;
    }
    return QObject::event(e);
  }

private:
  THxCustomCommDevice& _Owner;
};

THxCustomCommDevice::THxCustomCommDevice(TComponent* AOwner)
    : TComponent(AOwner), _Notifier(new _TNotifier(*this)) {
  _Port = std::make_unique<TComm32>();
  _Port->OnCommNotify = [this](TObject* Sender, int NotifyType) { _EvComm(Sender, NotifyType); };
  _Port->AfterOpen = [this](TObject* Sender) { _EvAfterOpen(Sender); };
  _Port->BeforeClose = [this](TObject* Sender) { _EvBeforeClose(Sender); };
  _Package = std::make_unique<TCommPackage>(_Port.get());
  _Package->OnPackageNotify = [this](TObject* Sender, int NotifyType) {
    _EvPackage(Sender, NotifyType);
  };
  _FrameSettings = std::make_unique<THxCommFrameSettings>(_Package.get());
}

THxCustomCommDevice::~THxCustomCommDevice() {
  _Package->OnPackageNotify = TCommNotifyEvent();
  _Package->fSetActive(false);
  _Port->BeforeClose = TNotifyEvent();
  _Port->AfterOpen = TNotifyEvent();
  _Port->OnCommNotify = TCommNotifyEvent();
  try {
    _Port->Close();
  } catch (...) {
  }
  _FrameSettings.reset();
  _Package.reset();
  _Port.reset();
  // Deleting the notifier drops the events still posted to it.
  delete _Notifier;
  std::lock_guard lock(_PendingLock);
  _Pending.clear();
}

// ---------------------------------------------------------------------------
// Transfers

long THxCustomCommDevice::Read(void* Buffer, long Size) {
  if (_UsePackage)
    return _Package->ReadPackage(Buffer, static_cast<unsigned long>(std::max(Size, 0L)));
  return _Port->Read(Buffer, static_cast<std::int32_t>(std::clamp<long>(Size, 0, INT32_MAX)));
}

long THxCustomCommDevice::Write(const void* Buffer, long Size) {
  if (_UsePackage)
    return _Package->WritePackage(Buffer, static_cast<unsigned long>(std::max(Size, 0L)));
  return _Port->Write(Buffer, static_cast<std::int32_t>(std::clamp<long>(Size, 0, INT32_MAX)));
}

int THxCustomCommDevice::Command(const char* Text) {
  return _Port->Command(Text);
}

bool THxCustomCommDevice::ReadPackage(void* Buffer) {
  return _Package->ReadPackage(Buffer, 0) != 0;
}

bool THxCustomCommDevice::WritePackage(const void* Buffer) {
  return _Package->WritePackage(Buffer, 0) != 0;
}

long THxCustomCommDevice::ReadPackage(void* Buffer, unsigned long Size) {
  return _Package->ReadPackage(Buffer, Size);
}

long THxCustomCommDevice::WritePackage(const void* Buffer, unsigned long Size) {
  return _Package->WritePackage(Buffer, Size);
}

void THxCustomCommDevice::PurgeRead(bool Abort) {
  if (_UsePackage)
    _Package->PurgeRead();
  else
    _Port->PurgeRead(Abort);
}

void THxCustomCommDevice::PurgeWrite(bool Abort) {
  if (_UsePackage)
    _Package->PurgeWrite();
  else
    _Port->PurgeWrite(Abort);
}

void THxCustomCommDevice::ResetModem() {
  _Port->ResetModem();
}
void THxCustomCommDevice::InitModem() {
  _Port->InitModem();
}
bool THxCustomCommDevice::EscapeCommFunction(unsigned long Function) {
  return _Port->EscapeCommFunction(static_cast<std::uint32_t>(Function));
}

namespace {
THxCustomCommDevice::TSettingsDialogFn settingsDialog = nullptr;
} // namespace

void THxCustomCommDevice::SetSettingsDialog(TSettingsDialogFn Fn) {
  settingsDialog = Fn;
}

bool THxCustomCommDevice::SettingsDialog(TComponent* AOwner, bool ActivateAfter) {
  // The dialog lives with the windows: without them there is nothing to show.
  return settingsDialog && settingsDialog(*this, AOwner, ActivateAfter);
}

// ---------------------------------------------------------------------------
// Notifications

void THxCustomCommDevice::EvCommNotify(TObject*, int NotifyType) {
  if (OnCommNotify)
    OnCommNotify(this, NotifyType);
}

void THxCustomCommDevice::EvPackageNotify(TObject*, int NotifyType) {
  if (OnPackage)
    OnPackage(this, NotifyType);
}

void THxCustomCommDevice::EvAfterOpen(TObject*) {
  if (AfterOpen)
    AfterOpen(this);
}

void THxCustomCommDevice::EvBeforeClose(TObject*) {
  if (BeforeClose)
    BeforeClose(this);
}

void THxCustomCommDevice::_EvComm(TObject* Sender, int NotifyType) {
  if (_SyncEvents)
    _Post(WM_COMMNOTIFY, Sender, NotifyType);
  else
    EvCommNotify(Sender, NotifyType);
}

void THxCustomCommDevice::_EvPackage(TObject* Sender, int NotifyType) {
  if (_SyncEvents)
    _Post(WM_PACKAGENOTIFY, Sender, NotifyType);
  else
    EvPackageNotify(Sender, NotifyType);
}

void THxCustomCommDevice::_EvAfterOpen(TObject* Sender) {
  EvAfterOpen(Sender);
}
void THxCustomCommDevice::_EvBeforeClose(TObject* Sender) {
  EvBeforeClose(Sender);
}

void THxCustomCommDevice::_Post(int Message, TObject* Sender, int NotifyType) {
  QEvent* event = nullptr;
  {
    std::lock_guard lock(_PendingLock);
    _Pending.push_back({Message, Sender, NotifyType});
    // One event in flight takes everything pending when it is handled: the
    // packager's notice and the port's that follow one line event wake the
    // owner's thread once.
    if (!std::exchange(_Posted, true))
      event = new QEvent(static_cast<QEvent::Type>(Message));
  }
  if (event)
    QCoreApplication::postEvent(_Notifier, event);
}

void THxCustomCommDevice::_EvNotifyProc() {
  {
    // From here on a notification posts again, so one that comes while a
    // handler below runs a nested event loop is delivered in that loop.
    std::lock_guard lock(_PendingLock);
    _Posted = false;
  }
  for (;;) {
    _TPending pending;
    {
      std::lock_guard lock(_PendingLock);
      if (_Pending.empty())
        return;
      pending = _Pending.front();
      _Pending.pop_front();
    }
    if (pending.Message == WM_COMMNOTIFY)
      EvCommNotify(pending.Sender, pending.NotifyType);
    else
      EvPackageNotify(pending.Sender, pending.NotifyType);
  }
}

// ---------------------------------------------------------------------------
// Properties

int THxCustomCommDevice::fGetPort() const {
  return _Port->PortNo;
}

void THxCustomCommDevice::fSetPort(int Value) {
  _Port->Close();
  _Port->fSetPortNo(Value);
}

void THxCustomCommDevice::fSetDeviceName(const std::string& Path) {
  _Port->Close();
  _Port->fSetDeviceName(Path);
}

THxCustomCommDevice::TBaudRate THxCustomCommDevice::fGetBaud() const {
  for (int i = 0; i < 15; ++i)
    if (BAUD_RATES[i] == _Port->Dcb.BaudRate)
      return static_cast<TBaudRate>(i);
  return br115200;
}

void THxCustomCommDevice::fSetBaud(TBaudRate Value) {
  _Port->Close();
  _Port->Dcb.BaudRate = Value <= br256000 ? BAUD_RATES[Value] : 115200;
}

THxCustomCommDevice::TParity THxCustomCommDevice::fGetParity() const {
  return _Port->Dcb.Parity <= ptSpaceParity ? static_cast<TParity>(_Port->Dcb.Parity) : ptNoParity;
}

void THxCustomCommDevice::fSetParity(TParity Value) {
  _Port->Close();
  _Port->Dcb.Parity = Value <= ptSpaceParity ? Value : 0;
}

int THxCustomCommDevice::fGetByteSize() const {
  return _Port->Dcb.ByteSize;
}

void THxCustomCommDevice::fSetByteSize(int Value) {
  const auto clamped = static_cast<std::uint8_t>(std::clamp(Value, 0, 255));
  _Port->Close();
  _Port->Dcb.ByteSize = clamped;
}

THxCustomCommDevice::TStopBits THxCustomCommDevice::fGetStopBits() const {
  return _Port->Dcb.StopBits <= sbTwoStopBit ? static_cast<TStopBits>(_Port->Dcb.StopBits)
                                             : sbOneStopBit;
}

void THxCustomCommDevice::fSetStopBits(TStopBits Value) {
  _Port->Close();
  _Port->Dcb.StopBits = Value == sbOne_5_StopBits || Value == sbTwoStopBit ? Value : 0;
}

THxCustomCommDevice::TFlowControl THxCustomCommDevice::fGetFlCtrl() const {
  switch (_Port->fGetFCtrl()) {
  case TComm32::fcRtsCts: return fcRtsCts;
  case TComm32::fcXonXoff: return fcXonXoff;
  case TComm32::fcTranXonXoff: return fcTranXonXoff;
  case TComm32::fcRtsCtsXonXoff: return fcRtsCtsXonXoff;
  default: return fcNone;
  }
}

void THxCustomCommDevice::fSetFlCtrl(TFlowControl Value) {
  static constexpr TComm32::TFlowControl MODES[] = {TComm32::fcNone, TComm32::fcRtsCts,
                                                    TComm32::fcXonXoff, TComm32::fcTranXonXoff,
                                                    TComm32::fcRtsCtsXonXoff};
  _Port->fSetFCtrl(Value <= fcRtsCtsXonXoff ? MODES[Value] : TComm32::fcNone);
}

int THxCustomCommDevice::fGetAutAns() const {
  return _Port->AutoAnswer;
}

void THxCustomCommDevice::fSetAutAns(int Value) {
  _Port->AutoAnswer = static_cast<std::uint8_t>(std::clamp(Value, 0, 255));
}

long THxCustomCommDevice::fGetInBufSize() const {
  return _Port->InQueue->BufSize;
}
void THxCustomCommDevice::fSetInBufSize(long Value) {
  _ResizeQueue(*_Port->InQueue, Value);
}
long THxCustomCommDevice::fGetOutBufSize() const {
  return _Port->OutQueue->BufSize;
}
void THxCustomCommDevice::fSetOutBufSize(long Value) {
  _ResizeQueue(*_Port->OutQueue, Value);
}

void THxCustomCommDevice::_ResizeQueue(TCommQueue& Queue, long Value) {
  // The port's threads use the queue while it is open: close it around the
  // resize and open it again, whether or not the resize succeeded.
  const bool wasOpen = _Port->Active;
  if (wasOpen)
    _Port->Close();
  try {
    Queue.fSetBufSize(static_cast<std::int32_t>(std::clamp<long>(Value, INT32_MIN, INT32_MAX)));
  } catch (...) {
    if (wasOpen)
      _Port->Open();
    throw;
  }
  if (wasOpen)
    _Port->Open();
}

long THxCustomCommDevice::fGetHwInSize() const {
  return static_cast<long>(_Port->HwInSize);
}

void THxCustomCommDevice::fSetHwInSize(long Value) {
  _Port->Close();
  _Port->HwInSize = static_cast<std::uint32_t>(Value);
}

long THxCustomCommDevice::fGetHwOutSize() const {
  return static_cast<long>(_Port->HwOutSize);
}

void THxCustomCommDevice::fSetHwOutSize(long Value) {
  _Port->Close();
  _Port->HwOutSize = static_cast<std::uint32_t>(Value);
}

long THxCustomCommDevice::fGetQSize() const {
  return _Package->QueueSize();
}
void THxCustomCommDevice::fSetQSize(long Value) {
  _Package->fSetQSize(static_cast<unsigned long>(Value));
}
long THxCustomCommDevice::fGetPkgSz() const {
  return _Package->PackageSize();
}
void THxCustomCommDevice::fSetPkgSz(long Value) {
  _Package->fSetPkgSz(static_cast<unsigned long>(Value));
}
TCommPackageType THxCustomCommDevice::fGetPkgType() const {
  return _Package->PackageType();
}
void THxCustomCommDevice::fSetPkgType(TCommPackageType Value) {
  _Package->fSetPkgType(Value);
}
long THxCustomCommDevice::fGetPkgInterval() const {
  return static_cast<long>(_Package->PackageInterval());
}
void THxCustomCommDevice::fSetPkgInterval(long Value) {
  _Package->fSetPkgInterval(static_cast<unsigned long>(Value));
}

void THxCustomCommDevice::fSetUsePackage(bool Value) {
  const bool active = fGetActive();
  _UsePackage = Value;
  fSetActive(active);
}

void THxCustomCommDevice::fSetFrameSettings(const THxCommFrameSettings* Value) {
  if (!Value)
    return;
  _FrameSettings->fSetFrameHead(Value->fGetFrameHead());
  _FrameSettings->fSetFrameTail(Value->fGetFrameTail());
  _FrameSettings->fSetFrameCtrl(Value->fGetFrameCtrl());
}

bool THxCustomCommDevice::fGetActive() const {
  return _UsePackage ? _Port->Active && _Package->Active() : _Port->Active.load();
}

void THxCustomCommDevice::fSetActive(bool Value) {
  const bool packaging = _UsePackage && Value;
  if (Value != _Port->Active) {
    if (Value)
      _Port->Open();
    else
      _Port->Close();
  }
  if (_Package->Active() != packaging)
    _Package->fSetActive(packaging);
}

int THxCustomCommDevice::fGetHandle() const {
  return _Port->Handle;
}
TCommQueue* THxCustomCommDevice::fGetInQueue() const {
  return _Port->InQueue.get();
}
TCommQueue* THxCustomCommDevice::fGetOutQueue() const {
  return _Port->OutQueue.get();
}

std::uint8_t THxCustomCommDevice::fGetModemStatus() const {
  return static_cast<std::uint8_t>((_Port->ModemStatus >> 4) & 0x0F);
}
bool THxCustomCommDevice::fGetCTS() const {
  return _Port->ModemStatus & platform::MS_CTS_ON;
}
bool THxCustomCommDevice::fGetDSR() const {
  return _Port->ModemStatus & platform::MS_DSR_ON;
}
bool THxCustomCommDevice::fGetRING() const {
  return _Port->ModemStatus & platform::MS_RING_ON;
}
bool THxCustomCommDevice::fGetRLSD() const {
  return _Port->ModemStatus & platform::MS_RLSD_ON;
}
bool THxCustomCommDevice::fGetDTR() const {
  return _Port->fGetDTR();
}
void THxCustomCommDevice::fSetDTR(bool Value) {
  _Port->fSetDTR(Value);
}
bool THxCustomCommDevice::fGetRTS() const {
  return _Port->fGetRTS();
}
void THxCustomCommDevice::fSetRTS(bool Value) {
  _Port->fSetRTS(Value);
}
bool THxCustomCommDevice::fGetDisableWrite() const {
  return _Port->DisableWrite;
}
void THxCustomCommDevice::fSetDisableWrite(bool Value) {
  _Port->DisableWrite = Value;
}
