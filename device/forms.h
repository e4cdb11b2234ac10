// What the forms of the system need from the GUI framework: a form base on
// QDialog, the code-page text boundary, the language's font, message boxes
// and opening links. Message boxes and links go through one function each,
// so that tests can see them without a modal loop or a browser.
#pragma once

#include <QDialog>
#include <QFont>
#include <QString>

#include <functional>

#include "device/timers.h"
#include "platform/component.h"
#include "platform/rtl.h"

// Text of the system (8-bit, in the code page of AppLang's character set) as
// Qt shows it. The only place where texts become Unicode.
QString QtText(const AnsiString& Text);

// AppLang's face, character set and size: the named face when the system has
// it, else the nearest face for the language's script.
QFont LangFont(int PointSize = 0);

// Narrows a label's font (condensed, then smaller) until its text fits in
// maxWidth pixels: the forms keep their fixed positions whatever face the
// system substitutes for the one they were laid out with.
void FitLabel(class QLabel* Label, int MaxWidth);

enum class TMsgIcon { Information, Warning, Error };

struct TMessageBoxCall {
  QWidget* Owner;
  QString Text;
  QString Title;
  TMsgIcon Icon;
};

// Shows a modal message box with one OK button.
void ShowMessageBox(QWidget* Owner, const QString& Text, const QString& Title, TMsgIcon Icon);
// Opens a web page or mailto: link with the desktop's handler.
void OpenUrl(const QString& Target);

// Tests: see message boxes and opened links instead of showing them. An
// empty hook restores the real behaviour.
void SetMessageBoxHook(std::function<void(const TMessageBoxCall&)> Hook);
void SetOpenUrlHook(std::function<void(const QString&)> Hook);

// A form: a dialog window with a modal result (1 OK, 2 Cancel).
class TForm : public QDialog, public TObject {
public:
  static constexpr int mrOk = 1;
  static constexpr int mrCancel = 2;

  explicit TForm(TComponent* AOwner);
  TComponent* Owner() const { return _Owner; }

private:
  TComponent* _Owner;
};
