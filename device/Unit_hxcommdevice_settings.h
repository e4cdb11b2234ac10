// The modal dialog in which a user edits a comm device's line settings.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "device/Hxcommdevice.h"
#include "device/forms.h"

class TForm_HxCommDevice_Settings : public TForm {
public:
  TForm_HxCommDevice_Settings(TComponent* AOwner, THxCustomCommDevice* ADevice,
                              bool AActivateAfter);

  void BnOKClick(TObject* Sender);
  void BnCancelClick(TObject* Sender);
  void BnDefaultClick(TObject* Sender);
  void BnAboutClick(TObject* Sender);

  QGroupBox* GboxBase;
  QLabel* lbPort;
  QComboBox* CbPort;
  QLabel* lbBaud;
  QComboBox* CbSelBaud;
  QLabel* lbCheck;
  QComboBox* CbParity;
  QLabel* lbBits;
  QComboBox* CbByteSize;
  QLabel* lbStops;
  QComboBox* CbStopBits;
  QGroupBox* GBoxModem;
  QLabel* lbFlow;
  QComboBox* CbFlow;
  QLabel* lbAAns;
  QLineEdit* EditAutoAns;
  QGroupBox* GBoxBuffer;
  QLabel* lbInbs;
  QLineEdit* EditInBufSize;
  QLabel* lbOutbs;
  QLineEdit* EditOutBufSize;
  QPushButton* BnAbout;
  QPushButton* BnDefault;
  QPushButton* BnOK;
  QPushButton* BnCancel;

  // The texts of the dialog, one row per use: simplified Chinese (GBK),
  // traditional Chinese (stored as GBK), English.
  enum TText {
    txOK,
    txCancel,
    txCaption,
    txPort,
    txBaud,
    txParity,
    txByteSize,
    txStopBits,
    txFlow,
    txParity0,
    txParity1,
    txParity2,
    txParity3,
    txParity4,
    txFlow0,
    txFlow1,
    txFlow2,
    txFlow3,
    txErrPort,
    txErrBaud,
    txErrByteSize,
    txErrParity,
    txErrStopBits,
    txErrFlow,
    txAbout,
    txDefault,
    txGboxBase,
    txGBoxModem,
    txGBoxBuffer,
    txAutoAns,
    txInBuf,
    txOutBuf,
    txErrAutoAns,
    txErrInBuf,
    txErrOutBuf,
    txCount
  };
  static const char* const TEXTS[txCount][3];
  static AnsiString Text(TText Index);

  // Esc and the window's close button cancel, with modal result 2.
  void reject() override;

private:
  struct TSettings {
    int PortNo;
    int ByteSize;
    int AutoAnswer;
    long InBufSize;
    long OutBufSize;
    THxCustomCommDevice::TBaudRate Baud;
    THxCustomCommDevice::TParity Parity;
    THxCustomCommDevice::TStopBits StopBits;
    THxCustomCommDevice::TFlowControl FlowControl;
  };

  // Writes every setting in order, then Active; with IgnoreErrors each write
  // is tried whatever the ones before it did.
  void _Apply(const TSettings& S, bool Active, bool IgnoreErrors);
  bool _Fail(QWidget* Control, TText Message);

  THxCustomCommDevice* Device;
  bool SavedActive = false;
  bool ActivateAfter;
  TSettings SavedSettings{};
};
