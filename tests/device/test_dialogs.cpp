// The settings dialog and the about box, driven as a user would, with message
// boxes and links caught by the hooks instead of shown.
#include <QApplication>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "device/Hxcommdevice.h"
#include "device/Unit_hxcomm32_about.h"
#include "device/Unit_hxcommdevice_settings.h"
#include "platform/codepage.h"
#include "platform/serial_sim.h"
#include "tests/support/lang_guard.h"
#include "tests/support/port_dir.h"

using namespace platform;
using Dev = THxCustomCommDevice;
using Settings = TForm_HxCommDevice_Settings;
using TLumaroFuncs::TAppLang;

namespace {

class Dialog : public ::testing::Test {
protected:
  void SetUp() override {
    SetMessageBoxHook([this](const TMessageBoxCall& call) { boxes.push_back(call); });
    SetOpenUrlHook([this](const QString& url) { urls.push_back(url); });
    sim = line.Create("COM2");
  }
  void TearDown() override {
    SetMessageBoxHook(nullptr);
    SetOpenUrlHook(nullptr);
  }
  // The dialog's result after OK: 0 while it stays open.
  int pressOK(Settings& d) {
    d.setResult(0);
    d.BnOK->setFocus();
    d.BnOKClick(&d);
    return d.result();
  }
  QString english(Settings::TText t) { return QString(Settings::TEXTS[t][2]); }

  LangGuard lang{TAppLang::ltEnglish};
  PortDir ports{"COM1", "COM2", "COM3"};
  SimLine line;
  std::shared_ptr<SimPort> sim;
  std::vector<TMessageBoxCall> boxes;
  std::vector<QString> urls;
  THxCommDevice dev{nullptr};
};

} // namespace

TEST_F(Dialog, RunTimeShowsOnlyOkAndCancelCentred) {
  Settings d(nullptr, &dev, false);
  EXPECT_TRUE(d.BnAbout->isHidden());
  EXPECT_TRUE(d.BnDefault->isHidden());
  EXPECT_EQ(d.BnOK->x(), (393 - 75) / 2 - 60);
  EXPECT_EQ(d.BnCancel->x(), (393 - 75) / 2 + 60);
  EXPECT_TRUE(d.BnOK->isDefault());
  EXPECT_EQ(d.windowTitle(), "COM port Setup");
  EXPECT_EQ(d.CbPort->currentText(), "COM2");
  EXPECT_EQ(d.CbSelBaud->currentText(), "115200");
  EXPECT_EQ(d.CbByteSize->currentText(), "8");
  EXPECT_EQ(d.EditInBufSize->text(), "8192");

  dev.ComponentState = csDesigning;
  Settings designing(nullptr, &dev, false);
  EXPECT_FALSE(designing.BnAbout->isHidden());
  EXPECT_FALSE(designing.BnDefault->isHidden());
  EXPECT_EQ(designing.BnAbout->x(), 8);
  EXPECT_EQ(designing.BnDefault->x(), 152);
  EXPECT_EQ(designing.BnOK->x(), 232);
  EXPECT_EQ(designing.BnCancel->x(), 312);
}

TEST_F(Dialog, AutoAnswerMustBeAWholeNumberUpTo255) {
  for (const char* bad : {"256", "-1", "abc", "", "  ", "1.5", "0x10"}) {
    Settings d(nullptr, &dev, false);
    d.EditAutoAns->setText(bad);
    boxes.clear();
    EXPECT_EQ(pressOK(d), 0) << bad;
    ASSERT_EQ(boxes.size(), 1u) << bad;
    EXPECT_EQ(boxes[0].Text, english(Settings::txErrAutoAns));
    EXPECT_EQ(boxes[0].Title, "COM port Setup");
    EXPECT_EQ(boxes[0].Icon, TMsgIcon::Error);
    EXPECT_EQ(d.focusWidget(), d.EditAutoAns);
  }
  for (const char* good : {"255", " 7 "}) {
    Settings d(nullptr, &dev, false);
    d.EditAutoAns->setText(good);
    boxes.clear();
    EXPECT_EQ(pressOK(d), TForm::mrOk) << good;
    EXPECT_TRUE(boxes.empty());
  }
  EXPECT_EQ(dev.fGetAutAns(), 7);
}

TEST_F(Dialog, BufferSizesRunFrom4096To16MiB) {
  Settings d(nullptr, &dev, false);
  d.EditInBufSize->setText("4095");
  EXPECT_EQ(pressOK(d), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, english(Settings::txErrInBuf));
  d.EditInBufSize->setText("16777217");
  EXPECT_EQ(pressOK(d), 0);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[1].Text, english(Settings::txErrInBuf));
  d.EditInBufSize->setText("4096");
  d.EditOutBufSize->setText("2147483647");
  EXPECT_EQ(pressOK(d), 0);
  ASSERT_EQ(boxes.size(), 3u);
  EXPECT_EQ(boxes[2].Text, english(Settings::txErrOutBuf));
  EXPECT_EQ(dev.fGetInBufSize(), 8192) << "nothing applied while a value is refused";
  d.EditOutBufSize->setText("100000");
  EXPECT_EQ(pressOK(d), TForm::mrOk);
  EXPECT_EQ(dev.fGetInBufSize(), 4096);
  EXPECT_EQ(dev.fGetOutBufSize(), 100000);
}

TEST_F(Dialog, PortMissingFromTheListSelectsNothing) {
  dev.fSetPort(57);
  Settings d(nullptr, &dev, false);
  EXPECT_EQ(d.CbPort->currentIndex(), -1);
  EXPECT_EQ(pressOK(d), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "Must select COM Port");
  EXPECT_EQ(d.focusWidget(), d.CbPort);
}

TEST_F(Dialog, EnterMovesAlongTheFieldsThenApplies) {
  Settings d(nullptr, &dev, false);
  d.show();
  QApplication::setActiveWindow(&d);
  d.CbPort->setFocus();
  QTest::keyClick(d.CbPort, Qt::Key_Return);
  EXPECT_EQ(d.focusWidget(), d.CbSelBaud);
  EXPECT_EQ(d.result(), 0);
  EXPECT_TRUE(boxes.empty());
  d.EditAutoAns->setFocus();
  d.EditAutoAns->setText("9");
  QTest::keyClick(d.EditAutoAns, Qt::Key_Return);
  EXPECT_EQ(d.focusWidget(), d.EditInBufSize);
  d.EditOutBufSize->setFocus();
  QTest::keyClick(d.EditOutBufSize, Qt::Key_Return);
  EXPECT_EQ(d.result(), TForm::mrOk) << "Enter in the last field validates and applies";
  EXPECT_EQ(dev.fGetAutAns(), 9);
}

TEST_F(Dialog, TranXonXoffShowsAsXonXoffAndIsWrittenSo) {
  dev.fSetFlCtrl(Dev::fcTranXonXoff);
  Settings d(nullptr, &dev, false);
  EXPECT_EQ(d.CbFlow->currentIndex(), 2);
  EXPECT_EQ(pressOK(d), TForm::mrOk);
  EXPECT_EQ(dev.fGetFlCtrl(), Dev::fcXonXoff);
}

TEST_F(Dialog, PortThatCannotOpenRestoresEverything) {
  dev.fSetActive(true);
  sim->Fail("Open");
  dev.fSetActive(false);
  // Opened active in spirit: ActivateAfter asks for an open port.
  Settings d(nullptr, &dev, true);
  d.CbSelBaud->setCurrentIndex(6); // 9600
  d.CbParity->setCurrentIndex(2);
  d.EditAutoAns->setText("12");
  d.EditInBufSize->setText("5000");
  EXPECT_EQ(pressOK(d), 0) << "the dialog stays open";
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].Text, "Cannot open COM port");
  EXPECT_EQ(boxes[0].Owner, &d);
  EXPECT_EQ(d.focusWidget(), d.CbPort);
  EXPECT_EQ(dev.fGetBaud(), Dev::br115200);
  EXPECT_EQ(dev.fGetParity(), Dev::ptNoParity);
  EXPECT_EQ(dev.fGetAutAns(), 0);
  EXPECT_EQ(dev.fGetInBufSize(), 8192);
  EXPECT_FALSE(dev.fGetActive());
  EXPECT_EQ(d.CbSelBaud->currentIndex(), 6) << "the user's entries stay";
}

TEST_F(Dialog, ActivateAfterBothWays) {
  {
    Settings d(nullptr, &dev, false);
    EXPECT_EQ(pressOK(d), TForm::mrOk);
    EXPECT_FALSE(dev.fGetActive());
  }
  {
    Settings d(nullptr, &dev, true);
    EXPECT_EQ(pressOK(d), TForm::mrOk);
    EXPECT_TRUE(dev.fGetActive());
  }
  {
    Settings d(nullptr, &dev, false);
    EXPECT_EQ(pressOK(d), TForm::mrOk);
    EXPECT_TRUE(dev.fGetActive()) << "an active component stays active";
  }
}

TEST_F(Dialog, CancelAndDefaults) {
  dev.ComponentState = csDesigning;
  Settings d(nullptr, &dev, false);
  d.CbSelBaud->setCurrentIndex(0);
  d.EditAutoAns->setText("44");
  d.BnDefaultClick(&d);
  EXPECT_EQ(d.CbSelBaud->currentText(), "115200");
  EXPECT_EQ(d.CbByteSize->currentText(), "8");
  EXPECT_EQ(d.EditAutoAns->text(), "0");
  EXPECT_EQ(d.EditOutBufSize->text(), "8192");
  QTest::keyClick(&d, Qt::Key_Escape);
  EXPECT_EQ(d.result(), TForm::mrCancel);
}

TEST_F(Dialog, CaptionsInTheThreeLanguages) {
  {
    LangGuard gbk(TAppLang::ltGbk);
    Settings d(nullptr, &dev, false);
    EXPECT_EQ(d.windowTitle(), QString::fromUtf8("端口设置"));
    EXPECT_EQ(d.BnOK->text(), QString::fromUtf8("确定"));
    EXPECT_EQ(d.CbParity->itemText(3), QString::fromUtf8("Mark (标记)"));
    EXPECT_EQ(d.GBoxModem->title(), QString::fromUtf8("调制解调器选项"));
  }
  {
    LangGuard big5(TAppLang::ltBig5);
    Settings d(nullptr, &dev, false);
    // Shown through Big5: the GBK-stored traditional texts were converted.
    EXPECT_EQ(Settings::Text(Settings::txCaption), ConvertCodePage("序列埠設置", "UTF-8", "CP950"));
    EXPECT_EQ(d.windowTitle(), QString::fromUtf8("序列埠設置"));
    EXPECT_EQ(d.lbPort->text(), QString::fromUtf8("序 列 埠"));
    EXPECT_EQ(d.CbFlow->itemText(3), QString::fromUtf8("RTS/CTS & Xon/Xoff (硬&軟)"));
    EXPECT_EQ(d.font().pointSize(), 9);
    d.EditAutoAns->setText("x");
    pressOK(d);
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().Text, QString::fromUtf8("自動回應必須是 0 - 255 的整數"));
  }
  Settings d(nullptr, &dev, false);
  EXPECT_EQ(d.BnCancel->text(), "&Cancel");
  EXPECT_EQ(d.lbFlow->text(), "Flow Control");
}

TEST_F(Dialog, SettingsDialogOfTheComponentIsModal) {
  QTimer::singleShot(0, [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = dynamic_cast<Settings*>(w); d && d->isVisible())
        d->BnOKClick(d);
  });
  EXPECT_TRUE(dev.SettingsDialog(nullptr, false));
  QTimer::singleShot(0, [] {
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* d = dynamic_cast<Settings*>(w); d && d->isVisible())
        d->BnCancelClick(d);
  });
  EXPECT_FALSE(dev.SettingsDialog(nullptr, false));
}

// The caption in its 12 points, left of the version. (Under Wine without a
// display the fonts are measured by its null driver, far too wide: there
// the caption is only seen to be made to fit.)
static void expectCaptionFits(const TForm_HXComm32_About& about) {
#ifndef _WIN32
  EXPECT_EQ(about.LabelCaption->font().pointSize(), 12);
#endif
  EXPECT_LE(about.LabelCaption->x() + about.LabelCaption->width(), about.LabelVersion->x());
}

TEST(AboutBox, TextsLinksAndSystemLine) {
  std::vector<QString> urls;
  SetOpenUrlHook([&](const QString& url) { urls.push_back(url); });
  {
    LangGuard english(TAppLang::ltEnglish);
    TForm_HXComm32_About about(nullptr, "THxCommDevice");
    EXPECT_EQ(about.windowTitle(), "About THxCommDevice...");
    EXPECT_EQ(about.BnOK->text(), "OK");
    EXPECT_EQ(about.LabelCaption->text(), "THxCommDevice");
    expectCaptionFits(about);
    EXPECT_EQ(about.LabelVersion->text(), "Version: 1.3.3.5");
    EXPECT_EQ(about.LabelCo->text(), "Vexil node tools");
    EXPECT_EQ(about.LabelEmail->text(), "support@vexil.example.org");
    EXPECT_EQ(about.LabelEmail->toolTip(), "mailto:support@vexil.example.org");
    EXPECT_EQ(about.LabelHomepage->toolTip(), "https://vexil.example.org/");
#ifdef _WIN32
    EXPECT_TRUE(about.LabelOSVer->text().startsWith("Windows "))
        << about.LabelOSVer->text().toStdString();
#else
    EXPECT_TRUE(about.LabelOSVer->text().startsWith("Linux "));
#endif
    about.show();
    QTest::mouseClick(about.LabelHomepage, Qt::LeftButton);
    QTest::mouseClick(about.LabelEmail, Qt::LeftButton);
    EXPECT_EQ(urls, (std::vector<QString>{"https://vexil.example.org/",
                                          "mailto:support@vexil.example.org"}));
    about.BnOKClick(&about);
    EXPECT_EQ(about.result(), TForm::mrOk);
  }
  {
    LangGuard gbk(TAppLang::ltGbk);
    TForm_HXComm32_About about(nullptr, "THxCommDevice");
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8("关于 THxCommDevice……"));
    EXPECT_EQ(about.BnOK->text(), QString::fromUtf8("确定"));
    expectCaptionFits(about);
  }
  {
    LangGuard big5(TAppLang::ltBig5);
    TForm_HXComm32_About about(nullptr, "THxCommDevice");
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8("關於 THxCommDevice……"));
    EXPECT_EQ(about.LabelPmtUser->text(), QString::fromUtf8("用戶:"));
    EXPECT_EQ(about.LabelHomepage->text(), "https://vexil.example.org/");
  }
  SetOpenUrlHook(nullptr);
}
