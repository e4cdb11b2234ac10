#include "device/Unit_hxcomm32_about.h"

#include <QMouseEvent>
#include <QPainter>

#include <cstdio>

#include "base/Hx_base.h"
#include "device/maker.h"

const char* const TForm_HXComm32_About::TEXTS[txCount][3] = {
    // CaptionPrefix: 关于  / 關於
    {"\xB9\xD8\xD3\xDA ", "\xEA\x50\xEC\xB6 ", "About "},
    // CaptionSuffix: …… / ……
    {"\xA1\xAD\xA1\xAD", "\xA1\xAD\xA1\xAD", "..."},
    // PmtUser: 用户: / 用戶:
    {"\xD3\xC3\xBB\xA7:", "\xD3\xC3\x91\xF4:", "User:"},
    // PmtOrgn: 单位: / 單位:
    {"\xB5\xA5\xCE\xBB:", "\x86\xCE\xCE\xBB:", "Orgn:"},
    // Version: 版本: 1.3.3.5 / 版本: 1.3.3.5
    {"\xB0\xE6\xB1\xBE: 1.3.3.5", "\xB0\xE6\xB1\xBE: 1.3.3.5", "Version: 1.3.3.5"},
    // BnOK: 确定 / 確定
    {"\xC8\xB7\xB6\xA8", "\xB4\x5F\xB6\xA8", "OK"},
};

AnsiString TForm_HXComm32_About::Text(TText Index) {
  return TLumaroFuncs::LangText(TEXTS[Index][0], TEXTS[Index][1], TEXTS[Index][2]);
}

AnsiString TForm_HXComm32_About::MailLink() {
  return AnsiString("mailto:") + VexilMaker::Email;
}

namespace {

// A label that runs a handler when clicked.
class TLinkLabel : public QLabel {
public:
  TLinkLabel(QWidget* parent, std::function<void()> onClick)
      : QLabel(parent), _OnClick(std::move(onClick)) {}

protected:
  void mouseReleaseEvent(QMouseEvent* e) override {
    if (e->button() == Qt::LeftButton && rect().contains(e->position().toPoint()))
      _OnClick();
  }

private:
  std::function<void()> _OnClick;
};

QLabel* label(QWidget* parent, int left, int top, const AnsiString& text) {
  auto* l = new QLabel(parent);
  l->move(left, top);
  l->setText(QtText(text));
  l->adjustSize();
  return l;
}

// The component's icon: a serial plug drawn once, 32 x 32.
QPixmap componentIcon() {
  QPixmap icon(32, 32);
  icon.fill(Qt::transparent);
  QPainter p(&icon);
  p.setRenderHint(QPainter::Antialiasing);
  p.setBrush(QColor(0x2E, 0x5C, 0x8A));
  p.setPen(Qt::NoPen);
  p.drawRoundedRect(3, 8, 26, 16, 4, 4);
  p.setBrush(Qt::white);
  for (int i = 0; i < 4; ++i)
    p.drawEllipse(QPointF(8.5 + i * 5, 13.5), 1.6, 1.6);
  for (int i = 0; i < 3; ++i)
    p.drawEllipse(QPointF(11 + i * 5, 19), 1.6, 1.6);
  return icon;
}

} // namespace

TForm_HXComm32_About::TForm_HXComm32_About(TComponent* AOwner, const AnsiString& ClassName)
    : TForm(AOwner) {
  setObjectName("Form_HXComm32_About");
  setFont(LangFont());
  setFixedSize(266, 132);

  Image1 = new QLabel(this);
  Image1->setPixmap(componentIcon());
  Image1->setGeometry(16, 32, 32, 32);
  Image1->setObjectName("Image1");

  LabelCaption = label(this, 72, 8, ClassName);
  LabelCaption->setFont(LangFont(12));
  LabelCaption->adjustSize();
  LabelVersion = label(this, 184, 16, Text(txVersion));
  LabelCo = label(this, 80, 32, VexilMaker::Name);

  const auto link = [this](int top, const AnsiString& text, const AnsiString& hint,
                           std::function<void()> onClick) {
    auto* l = new TLinkLabel(this, std::move(onClick));
    l->move(80, top);
    l->setText(QtText(text));
    l->setToolTip(QtText(hint));
    l->setCursor(Qt::PointingHandCursor);
    QFont f = font();
    f.setUnderline(true);
    l->setFont(f);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, QColor(0, 0, 255));
    l->setPalette(pal);
    l->adjustSize();
    return l;
  };
  LabelHomepage =
      link(46, VexilMaker::HomePage, VexilMaker::HomePage, [this] { LabelHomepageClick(this); });
  LabelEmail = link(60, VexilMaker::Email, MailLink(), [this] { LabelEmailClick(this); });

  Bevel1 = new QFrame(this);
  Bevel1->setGeometry(0, 80, 266, 2);
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Sunken);

  setWindowTitle(QtText(Text(txCaptionPrefix) + ClassName + Text(txCaptionSuffix)));

  TLumaroFuncs::TSysInfo info;
  char os[TLumaroFuncs::TSysInfo::TEXT_SIZE * 2 + 64];
  std::snprintf(os, sizeof os, "%s %d.%02d.%04d %s", info.OsName(), info.MajorVersion(),
                info.MinorVersion(), info.BuildNumber(), info.CSDVersion());
  LabelOSVer = label(this, 8, 86, os);
  LabelPmtUser = label(this, 8, 100, Text(txPmtUser));
  LabelPmtOrgn = label(this, 8, 114, Text(txPmtOrgn));
  LabelUser = label(this, 40, 100, info.RegisteredOwner());
  LabelUserOrg = label(this, 40, 114, info.RegisteredOrganization());

  BnOK = new QPushButton(this);
  BnOK->setGeometry(184, 102, 75, 25);
  BnOK->setCursor(Qt::PointingHandCursor);
  BnOK->setDefault(true);
  BnOK->setText(QtText(Text(txOK)));
  QObject::connect(BnOK, &QPushButton::clicked, this, [this] { BnOKClick(this); });

  // Keep every text inside the window and clear of its neighbour, whatever
  // face stands in for the one the box was laid out with.
  FitLabel(LabelCaption, LabelVersion->x() - LabelCaption->x() - 4);
  FitLabel(LabelVersion, width() - LabelVersion->x() - 4);
  for (QLabel* l : {LabelCo, LabelHomepage, LabelEmail})
    FitLabel(l, width() - l->x() - 4);
  FitLabel(LabelOSVer, width() - LabelOSVer->x() - 4);
  for (QLabel* l : {LabelUser, LabelUserOrg})
    FitLabel(l, BnOK->x() - l->x() - 4);

  const std::pair<QWidget*, const char*> names[] = {
      {LabelCaption, "LabelCaption"}, {LabelVersion, "LabelVersion"},
      {LabelCo, "LabelCo"},           {LabelHomepage, "LabelHomepage"},
      {LabelEmail, "LabelEmail"},     {Bevel1, "Bevel1"},
      {LabelOSVer, "LabelOSVer"},     {LabelPmtUser, "LabelPmtUser"},
      {LabelPmtOrgn, "LabelPmtOrgn"}, {LabelUser, "LabelUser"},
      {LabelUserOrg, "LabelUserOrg"}, {BnOK, "BnOK"}};
  for (const auto& [w, n] : names)
    w->setObjectName(n);
}

void TForm_HXComm32_About::LabelHomepageClick(TObject*) {
  OpenUrl(QString(VexilMaker::HomePage));
}

void TForm_HXComm32_About::LabelEmailClick(TObject*) {
  OpenUrl(QtText(MailLink()));
}

void TForm_HXComm32_About::BnOKClick(TObject*) {
  done(mrOk);
}
