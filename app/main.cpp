// vexil-agent: reports this node's inventory and load over a serial line and
// powers it off or reboots it on the controller's command.
//
//   vexil-agent        run hidden (no display needed)
//   vexil-agent -d     show the debug window; commands are only logged
//
// Settings come from the environment: VEXIL_PORT_DIR (where COM<n> lives),
// VEXIL_POWER_COMMAND (a program run instead of powering off or rebooting).
#include <QApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/Unit1.h"
#include "platform/serial.h"
#include "platform/service.h"

int main(int argc, char** argv) {
  const bool debug = HasDebugSwitch(argc, argv);
  const bool platformChosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
  if (!debug && !platformChosen) {
    qputenv("QT_QPA_PLATFORM", "offscreen"); // hidden for the whole run
  } else if (debug && !platformChosen && qEnvironmentVariableIsEmpty("DISPLAY") &&
             qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
    std::fprintf(stderr, "vexil-agent: -d shows the debug window, which needs a display, and "
                         "neither DISPLAY nor WAYLAND_DISPLAY is set; run it in a desktop "
                         "session, or without -d\n");
    return 1;
  }
  FilterQtStartupNotices();
  QApplication app(argc, argv);

  TForm1 form;
  // SIGTERM, SIGINT and SIGHUP end the run the way Exit does.
  OnTerminationSignals(&form, [&form] { form.Button1Click(nullptr); });

  AnsiString error;
  if (!form.FormCreate(error)) {
    const std::string text =
        error + "; check the cable or adapter, or point VEXIL_PORT_DIR at the ports";
    if (debug)
      ShowMessageBox(nullptr, QString::fromStdString(text), QStringLiteral("vexil-agent"),
                     TMsgIcon::Error);
    else
      std::fprintf(stderr, "vexil-agent: %s\n", text.c_str());
    return 1; // a service manager must see the failure
  }
  const std::string sending = "sending on " + TLineKeeper::Describe(form.com->fGetPort());
  std::fprintf(stderr, "vexil-agent: %s%s\n", sending.c_str(),
               debug ? ", debug window on: commands are only logged" : "");
  // The line is open and the report timers run: ready. The keep-alive comes
  // from the window thread's own event loop, so a stuck loop is noticed.
  platform::NotifyReady(sending);
  QTimer watchdog;
  if (const auto ms = platform::WatchdogIntervalMs()) {
    QObject::connect(&watchdog, &QTimer::timeout, [] { platform::NotifyWatchdog(); });
    watchdog.start(static_cast<int>(std::max<std::uint64_t>(ms / 3, 1)));
  }
  form.debugMode = debug ? 1 : 0;
  if (debug)
    form.show();
  app.exec();
  form.FormClose();
  WaitForPowerAction();
  return 0;
}
