// The about box of the comm device component.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QPushButton>

#include <functional>

#include "device/forms.h"

class TForm_HXComm32_About : public TForm {
public:
  TForm_HXComm32_About(TComponent* AOwner, const AnsiString& ClassName);

  void LabelHomepageClick(TObject* Sender);
  void LabelEmailClick(TObject* Sender);
  void BnOKClick(TObject* Sender);

  QLabel* Image1;
  QLabel* LabelCaption;
  QLabel* LabelVersion;
  QLabel* LabelCo;
  QLabel* LabelHomepage;
  QLabel* LabelEmail;
  QFrame* Bevel1;
  QLabel* LabelOSVer;
  QLabel* LabelPmtUser;
  QLabel* LabelPmtOrgn;
  QLabel* LabelUser;
  QLabel* LabelUserOrg;
  QPushButton* BnOK;

  enum TText { txCaptionPrefix, txCaptionSuffix, txPmtUser, txPmtOrgn, txVersion, txOK, txCount };
  static const char* const TEXTS[txCount][3];
  static AnsiString Text(TText Index);
  // The maker's texts: the same in every language.
  static AnsiString MailLink();
};
