// What the forms of the system need from the GUI framework: a form base on
// QDialog, the code-page text boundary, the language's font, message boxes
// and opening links. Message boxes and links go through one function each,
// so that tests can see them without a modal loop or a browser.
#pragma once

#include <QDialog>
#include <QFont>
#include <QString>
#include <QTimer>

#include <functional>

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

// A timer as the forms use it: enabling one that already runs keeps its
// count-down; a new interval starts the count-down again.
class TTimer {
public:
  TTimer(QObject* Parent, int IntervalMs, bool Enabled, std::function<void()> OnTimer);

  bool Enabled() const { return _Timer.isActive(); }
  void fSetEnabled(bool Value);
  int Interval() const { return _Timer.interval(); }
  void fSetInterval(int Ms);

private:
  QTimer _Timer;
};

// SIGTERM and SIGINT run onSignal on the thread of the event loop (a
// self-pipe watched by the loop), so a service manager or Ctrl-C ends a
// program the way its own Exit does.
void OnTerminationSignals(QObject* Context, std::function<void()> OnSignal);

// Keeps Qt's start-up notice about a missing XDG_RUNTIME_DIR (normal for a
// service or a plain shell) off standard error; every other message passes.
void FilterQtStartupNotices();
