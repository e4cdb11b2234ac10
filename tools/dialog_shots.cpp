// Renders the settings dialog in the three languages and the about box to
// PNG files, for a person to look at:
//   xvfb-run -a build/default/tools/dialog-shots docs [--as-locale]
// (The Windows build's, under Wine on Xvfb: tests/windows/run.py, into
// docs/windows.)
#include <QApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/Unit1.h"
#include "app/Unit1_window.h"
#include "base/Hx_base.h"
#include "platform/serial_sim.h"
#include "device/Hxcommdevice.h"
#include "device/Unit_hxcomm32_about.h"
#include "device/Unit_hxcommdevice_settings.h"

using TLumaroFuncs::AppLang;
using TLumaroFuncs::TAppLang;

namespace {

// The whole window as the screen shows it, frame and title included.
bool shoot(QWidget& w, const std::string& path) {
  w.show();
  for (int i = 0; i < 20; ++i)
    QApplication::processEvents();
  QPixmap shot;
  if (QScreen* screen = w.screen(); screen && (QGuiApplication::platformName() == "xcb" ||
                                               QGuiApplication::platformName() == "windows"))
    shot = screen->grabWindow(0, w.frameGeometry().x(), w.frameGeometry().y(),
                              w.frameGeometry().width(), w.frameGeometry().height());
  // A screen with nothing drawn on it yet (Xvfb without a compositor can
  // give one): the widget's own rendering instead.
  const auto blank = [](const QPixmap& p) {
    const QImage image = p.toImage();
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if (image.pixel(x, y) != image.pixel(0, 0))
          return false;
    return true;
  };
  if (shot.isNull() || blank(shot))
    shot = w.grab();
  w.hide();
  const bool ok = shot.save(QString::fromStdString(path));
  std::printf("%s %s\n", ok ? "wrote" : "could not write", path.c_str());
  return ok;
}

} // namespace

int main(int argc, char** argv) {
  // The debug window below never acts on a command, but nothing here may
  // ever reach a power action.
  if (qEnvironmentVariableIsEmpty("VEXIL_POWER_COMMAND"))
    qputenv("VEXIL_POWER_COMMAND", "/bin/true");
  QApplication app(argc, argv);
  const std::string dir = argc > 1 ? argv[1] : ".";
  bool ok = true;
  const std::pair<TAppLang::TLangType, const char*> langs[] = {
      {TAppLang::ltEnglish, "en"}, {TAppLang::ltGbk, "zh-gbk"}, {TAppLang::ltBig5, "zh-big5"}};
  // With --as-locale: the dialogs only, in the language the process's
  // locale gave, which is said ("language: zh-gbk").
  const bool asLocale = argc > 2 && std::string(argv[2]) == "--as-locale";
  THxCommDevice device(nullptr);
  for (const auto& [type, name] : langs) {
    if (asLocale) {
      if (AppLang.LangType() != type &&
          !(type == TAppLang::ltEnglish && AppLang.LangType() != TAppLang::ltGbk &&
            AppLang.LangType() != TAppLang::ltBig5))
        continue;
      std::printf("language: %s\n", name);
    } else {
      AppLang.fSetLangType(type);
    }
    TForm_HxCommDevice_Settings settings(nullptr, &device, false);
    ok = shoot(settings, dir + "/settings-" + name + ".png") && ok;
    device.ComponentState = csDesigning;
    TForm_HxCommDevice_Settings designing(nullptr, &device, false);
    ok = shoot(designing, dir + "/settings-designing-" + name + ".png") && ok;
    device.ComponentState = 0;
    TForm_HXComm32_About about(nullptr, device.ClassName());
    ok = shoot(about, dir + "/about-" + name + ".png") && ok;
  }
  if (asLocale)
    return ok ? 0 : 1;
  AppLang.fSetLangType(TAppLang::ltEnglish);

  // The agent's debug window after a few reports and one command, on a
  // simulated line (no port and no power action is touched).
  {
    platform::SimLine line;
    auto sim = line.Create("COM2");
    TForm1 form;
    TForm1Window window(form);
    AnsiString error;
    if (!form.FormCreate(error)) {
      std::printf("could not open the simulated line: %s\n", error.c_str());
      return 1;
    }
    form.debugMode = 1;
    form.Timer2Timer(nullptr);
    form.Timer2Timer(nullptr);
    form.Timer1Timer(nullptr);
    sim->Inject("\xAA\xCC\xC2\xEE");
    for (int i = 0; i < 40; ++i) {
      QApplication::processEvents();
      QThread::msleep(10);
    }
    ok = shoot(window, dir + "/debug-window.png") && ok;
    form.FormClose();
  }
  return ok ? 0 : 1;
}
