#include "device/forms.h"

#include <QDesktopServices>
#include <QFontDatabase>
#include <QLabel>
#include <QMessageBox>
#include <QUrl>

#include <mutex>

#include "base/Hx_base.h"
#include "platform/codepage.h"

using TLumaroFuncs::AppLang;

namespace {

std::mutex hookLock;
std::function<void(const TMessageBoxCall&)> messageBoxHook;
std::function<void(const QString&)> openUrlHook;

} // namespace

QString QtText(const AnsiString& Text) {
  return QString::fromStdString(platform::ToUtf8(Text, AppLang.Charset()));
}

QFont LangFont(int PointSize) {
  const QString named = QtText(AnsiString(AppLang.FontName()));
  QString family = named;
  if (!QFontDatabase::hasFamily(named)) {
    // The nearest face: one that writes the language's script.
    const int charset = AppLang.Charset();
    const QStringList families =
        charset == 134   ? QFontDatabase::families(QFontDatabase::SimplifiedChinese)
        : charset == 136 ? QFontDatabase::families(QFontDatabase::TraditionalChinese)
                         : QStringList();
    family = families.isEmpty() ? QFontDatabase::systemFont(QFontDatabase::GeneralFont).family()
                                : families.first();
  }
  QFont font(family);
  font.setPointSize(PointSize > 0 ? PointSize : AppLang.FontSize());
  return font;
}

void FitLabel(QLabel* Label, int MaxWidth) {
  Label->adjustSize();
  QFont f = Label->font();
  for (int stretch : {QFont::SemiCondensed, QFont::Condensed, QFont::ExtraCondensed}) {
    if (Label->width() <= MaxWidth)
      return;
    f.setStretch(stretch);
    Label->setFont(f);
    Label->adjustSize();
  }
  while (Label->width() > MaxWidth && f.pointSize() > 6) {
    f.setPointSize(f.pointSize() - 1);
    Label->setFont(f);
    Label->adjustSize();
  }
}

void SetMessageBoxHook(std::function<void(const TMessageBoxCall&)> Hook) {
  std::lock_guard lock(hookLock);
  messageBoxHook = std::move(Hook);
}

void SetOpenUrlHook(std::function<void(const QString&)> Hook) {
  std::lock_guard lock(hookLock);
  openUrlHook = std::move(Hook);
}

void ShowMessageBox(QWidget* Owner, const QString& Text, const QString& Title, TMsgIcon Icon) {
  std::function<void(const TMessageBoxCall&)> hook;
  {
    std::lock_guard lock(hookLock);
    hook = messageBoxHook;
  }
  if (hook) {
    hook({Owner, Text, Title, Icon});
    return;
  }
  const auto icon = Icon == TMsgIcon::Error     ? QMessageBox::Critical
                    : Icon == TMsgIcon::Warning ? QMessageBox::Warning
                                                : QMessageBox::Information;
  QMessageBox box(icon, Title, Text, QMessageBox::Ok, Owner);
  box.exec();
}

void OpenUrl(const QString& Target) {
  std::function<void(const QString&)> hook;
  {
    std::lock_guard lock(hookLock);
    hook = openUrlHook;
  }
  if (hook)
    hook(Target);
  else
    QDesktopServices::openUrl(QUrl(Target)); // failures are not reported, as with the shell
}

TForm::TForm(TComponent* AOwner)
    : QDialog(dynamic_cast<QWidget*>(static_cast<QObject*>(AOwner))), _Owner(AOwner) {
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
  setAttribute(Qt::WA_DeleteOnClose, false);
}
