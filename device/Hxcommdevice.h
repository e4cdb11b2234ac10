// The comm device component: one serial port with its packager, published as
// properties, with the engine's notifications carried to the thread that
// created the component.
#pragma once

#include <QObject>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "comm/Tcomm32.h"
#include "comm/Tcommpkg.h"
#include "platform/component.h"

class THxCustomCommDevice;

// The packager's frame bytes, published as an object of their own.
class THxCommFrameSettings : public TObject {
public:
  explicit THxCommFrameSettings(LumaroComm32::TCommPackage* Package) : _Package(Package) {}

  unsigned char fGetFrameHead() const { return _Package->FrameHead; }
  void fSetFrameHead(unsigned char Value) { _Package->FrameHead = Value; }
  unsigned char fGetFrameTail() const { return _Package->FrameTail; }
  void fSetFrameTail(unsigned char Value) { _Package->FrameTail = Value; }
  unsigned char fGetFrameCtrl() const { return _Package->FrameCtrl; }
  void fSetFrameCtrl(unsigned char Value) { _Package->FrameCtrl = Value; }
  bool fGetDblFrMark() const { return _Package->DoubleFrameMark(); }
  void fSetDblFrMark(bool Value) { _Package->fSetDblFrameMark(Value); }

  LumaroComm32::TCommPackage* Package() const { return _Package; }

private:
  LumaroComm32::TCommPackage* _Package;
};

class THxCustomCommDevice : public TComponent {
public:
  enum TBaudRate : std::uint8_t {
    br110,
    br300,
    br600,
    br1200,
    br2400,
    br4800,
    br9600,
    br14400,
    br19200,
    br38400,
    br56000,
    br57600,
    br115200,
    br128000,
    br256000,
  };
  enum TParity : std::uint8_t {
    ptNoParity,
    ptOddParity,
    ptEvenParity,
    ptMarkParity,
    ptSpaceParity
  };
  enum TStopBits : std::uint8_t { sbOneStopBit, sbOne_5_StopBits, sbTwoStopBit };
  enum TFlowControl : std::uint8_t { fcNone, fcRtsCts, fcXonXoff, fcTranXonXoff, fcRtsCtsXonXoff };

  // Window-message numbers of the two notification kinds, kept as the Qt
  // event types that carry them.
  static constexpr int WM_COMMNOTIFY = 0x0402;
  static constexpr int WM_PACKAGENOTIFY = 0x0403;

  static const std::uint32_t BAUD_RATES[15];

  explicit THxCustomCommDevice(TComponent* AOwner);
  ~THxCustomCommDevice() override;

  virtual long Read(void* Buffer, long Size);
  virtual long Write(const void* Buffer, long Size);
  virtual int Command(const char* Text);
  virtual bool ReadPackage(void* Buffer);
  virtual bool WritePackage(const void* Buffer);
  virtual long ReadPackage(void* Buffer, unsigned long Size);
  virtual long WritePackage(const void* Buffer, unsigned long Size);
  virtual void PurgeRead(bool Abort);
  virtual void PurgeWrite(bool Abort);
  virtual void ResetModem();
  virtual void InitModem();
  virtual bool EscapeCommFunction(unsigned long Function);
  virtual void EvCommNotify(TObject* Sender, int NotifyType);
  virtual void EvPackageNotify(TObject* Sender, int NotifyType);
  virtual void EvAfterOpen(TObject* Sender);
  virtual void EvBeforeClose(TObject* Sender);
  // Creates the settings dialog for this component, shows it modally and
  // destroys it; true when the user left it with OK.
  virtual bool SettingsDialog(TComponent* AOwner, bool ActivateAfter);
  // The settings dialog is part of the window library, which sets this when
  // it is loaded; without it SettingsDialog shows nothing and returns false.
  using TSettingsDialogFn = bool (*)(THxCustomCommDevice& Device, TComponent* AOwner,
                                     bool ActivateAfter);
  static void SetSettingsDialog(TSettingsDialogFn Fn);
  virtual AnsiString ClassName() const { return "THxCustomCommDevice"; }

  // Published properties.
  int fGetPort() const;
  void fSetPort(int Value);
  // Not published: a device path instead of a port number ("/dev/ttyUSB0");
  // closes the port like the other line settings. Any length: the whole
  // path is opened.
  void fSetDeviceName(const std::string& Path);
  std::string fGetDeviceName() const { return _Port->fGetDeviceName(); }
  TBaudRate fGetBaud() const;
  void fSetBaud(TBaudRate Value);
  TParity fGetParity() const;
  void fSetParity(TParity Value);
  int fGetByteSize() const;
  void fSetByteSize(int Value);
  TStopBits fGetStopBits() const;
  void fSetStopBits(TStopBits Value);
  TFlowControl fGetFlCtrl() const;
  void fSetFlCtrl(TFlowControl Value);
  int fGetAutAns() const;
  void fSetAutAns(int Value);
  bool SyncEvents() const { return _SyncEvents; }
  void fSetSyncEvents(bool Value) { _SyncEvents = Value; }
  long fGetInBufSize() const;
  void fSetInBufSize(long Value);
  long fGetOutBufSize() const;
  void fSetOutBufSize(long Value);
  long fGetHwInSize() const;
  void fSetHwInSize(long Value);
  long fGetHwOutSize() const;
  void fSetHwOutSize(long Value);
  long fGetQSize() const;
  void fSetQSize(long Value);
  long fGetPkgSz() const;
  void fSetPkgSz(long Value);
  LumaroComm32::TCommPackageType fGetPkgType() const;
  void fSetPkgType(LumaroComm32::TCommPackageType Value);
  long fGetPkgInterval() const;
  void fSetPkgInterval(long Value);
  bool UsePackage() const { return _UsePackage; }
  void fSetUsePackage(bool Value);
  THxCommFrameSettings* FrameSettings() const { return _FrameSettings.get(); }
  void fSetFrameSettings(const THxCommFrameSettings* Value);

  // Run-time properties.
  bool fGetActive() const;
  void fSetActive(bool Value);
  int fGetHandle() const;
  LumaroComm32::TCommQueue* fGetInQueue() const;
  LumaroComm32::TCommQueue* fGetOutQueue() const;
  std::uint8_t fGetModemStatus() const;
  bool fGetCTS() const;
  bool fGetDSR() const;
  bool fGetRING() const;
  bool fGetRLSD() const;
  bool fGetDTR() const;
  void fSetDTR(bool Value);
  bool fGetRTS() const;
  void fSetRTS(bool Value);
  bool fGetDisableWrite() const;
  // Why the last open failed (an errno value), 0 after a good open.
  int fGetLastOpenError() const { return _Port->LastOpenError; }
  // Why the open line stopped working for good (an errno value), 0 while it
  // works; the owner closes the component and opens it again later.
  int fGetLineLost() const { return _Port->LineLost; }
  // Bytes the driver has taken since the last open.
  std::uint64_t fGetBytesSent() const { return _Port->BytesSent; }
  void fSetDisableWrite(bool Value);

  TCommNotifyEvent OnCommNotify;
  TCommNotifyEvent OnPackage;
  TNotifyEvent AfterOpen;
  TNotifyEvent BeforeClose;

protected:
  // For derived components that need the port itself.
  LumaroComm32::TComm32& Port() const { return *_Port; }

private:
  class _TNotifier;
  struct _TPending {
    int Message;
    TObject* Sender;
    int NotifyType;
  };

  void _EvComm(TObject* Sender, int NotifyType);
  void _EvPackage(TObject* Sender, int NotifyType);
  void _EvAfterOpen(TObject* Sender);
  void _EvBeforeClose(TObject* Sender);
  void _Post(int Message, TObject* Sender, int NotifyType);
  void _EvNotifyProc();
  // Resizes a byte queue with the port's threads kept out of it.
  void _ResizeQueue(LumaroComm32::TCommQueue& Queue, long Value);

  std::unique_ptr<LumaroComm32::TComm32> _Port;
  std::unique_ptr<LumaroComm32::TCommPackage> _Package;
  std::unique_ptr<THxCommFrameSettings> _FrameSettings;
  bool _UsePackage = false;
  std::atomic<bool> _SyncEvents{true};
  // Lives in the creating thread; a posted event takes every pending
  // notification, oldest first. _Posted: one is on its way.
  _TNotifier* _Notifier;
  std::mutex _PendingLock;
  std::deque<_TPending> _Pending;
  bool _Posted = false;
};

// The component as an application places it: everything published.
class THxCommDevice : public THxCustomCommDevice {
public:
  explicit THxCommDevice(TComponent* AOwner) : THxCustomCommDevice(AOwner) {}
  AnsiString ClassName() const override { return "THxCommDevice"; }
};
