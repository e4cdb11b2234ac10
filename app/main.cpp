// vexil-agent: reports this node's inventory and load over a serial line and
// powers it off or reboots it on the controller's command.
//
//   vexil-agent        run hidden (no display needed)
//   vexil-agent -d     show the debug window; commands are only logged
//
// Settings come from the environment: VEXIL_PORT_DIR (where COM<n> lives),
// VEXIL_POWER_COMMAND (a program run instead of powering off or rebooting).
#include <QCoreApplication>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/Unit1.h"
#include "app/windows.h"
#include "platform/serial.h"
#include "platform/service.h"
#include "vexil/version.h"

namespace {

const char USAGE[] =
    "usage: vexil-agent [-d]\n"
    "       vexil-agent --help | --version\n"
    "\n"
    "Reports this node over a serial line to the controller at the other end: an\n"
    "inventory report (processors, memory, disks, addresses, host name, OS) 3 s after\n"
    "start and then every 5 s, and a load report (memory and processor use) every 5 s\n"
    "from 13 s on. Powers the node off on AA xx C1 EE and reboots it on AA xx C2 EE.\n"
    "The line is COM2, else COM1, at 19200 baud, 8N1; a lost line is taken up again.\n"
    "\n"
#ifdef _WIN32
    "  -d          show every report and packet on the console; commands are only\n"
    "              shown, never carried out\n"
#else
    "  -d          show the debug window (needs a display and the package\n"
    "              vexil-agent-gui): every report and packet is logged there, and\n"
    "              commands are only logged, never carried out\n"
#endif
    "  -h, --help  print this text and exit\n"
    "  --version   print the version and exit\n"
    "\n"
    "Environment:\n"
#ifndef _WIN32
    "  VEXIL_PORT_DIR        where COM<n> is found, as links to ttys (otherwise\n"
    "                        /dev/vexil/COM<n>, else /dev/ttyS<n-1>)\n"
#endif
    "  VEXIL_POWER_COMMAND   a program run with 'poweroff' or 'reboot' instead of\n"
    "                        acting: set it wherever the machine must stay up\n"
#ifdef _WIN32
    "\n"
    "As a service: the installer registers and starts the service vexil-agent\n"
    "(sc query vexil-agent, sc stop vexil-agent).\n"
    "Exit status: 0 after a clean end (also on Ctrl-C, Ctrl-Break, the console\n"
    "closing, the service's stop), 1 when neither port opens (as a service it waits\n"
    "for one instead).\n";
#else
    "  VEXIL_ALLOW_CONSOLE   1 lets the agent use a port that is the kernel's console\n"
    "  LC_ALL, LC_MESSAGES, LANG   the language of messages (zh_CN, zh_TW, English)\n"
    "\n"
    "As a service: systemctl enable --now vexil-agent (the unit is\n"
    "/lib/systemd/system/vexil-agent.service, its settings /etc/default/vexil-agent;\n"
    "logs: journalctl -u vexil-agent).\n"
    "Exit status: 0 after a clean end (also on SIGTERM, SIGINT, SIGHUP), 1 when\n"
    "neither port opens (as a service it waits for one instead).\n";
#endif

// How long the end of the run waits for a power program that still runs:
// one that hangs is left to the service manager, which ends what the unit
// left behind.
constexpr int POWER_WAIT_AT_EXIT_MS = 1500;

int run(int argc, char** argv);

} // namespace

int main(int argc, char** argv) {
  // Asked what the agent is: answer and touch nothing (no line, no timer).
  for (int i = 1; i < argc; ++i) {
    // (Windows users ask with /? and -?.)
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")
#ifdef _WIN32
        || !std::strcmp(argv[i], "/?") || !std::strcmp(argv[i], "-?")
#endif
    ) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("vexil-agent %s\n", VEXIL_VERSION);
      return 0;
    }
  }
  // Windows' service manager waits for the service to connect: at once.
  platform::ConnectServiceManager();
  const int status = run(argc, argv);
  platform::NotifyStopped(status);
  return status;
}

namespace {

// What stopped the start, said on standard error and in the service
// manager's status line (systemctl status shows it).
void failedStart(const std::string& why) {
  platform::SayLine("vexil-agent: " + why);
  platform::NotifyStatus("not started: " + why);
}

int run(int argc, char** argv) {
  const bool debug = HasDebugSwitch(argc, argv);
  const bool platformChosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
  if (!debug && !platformChosen)
    qputenv("QT_QPA_PLATFORM", "offscreen"); // hidden for the whole run
  FilterQtStartupNotices();
  // Windows only for -d: their library is loaded then, and never otherwise.
  // What is missing on the node is said first: the package, then a display.
  TAgentWindows* windows = nullptr;
  if (debug) {
    std::string why;
    windows = LoadAgentWindows(why);
    if (!windows) {
      failedStart(AgentWindowsAdvice(why));
      return 1;
    }
#ifndef _WIN32
    if (!platformChosen && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
      failedStart("-d shows the debug window, which needs a display, and neither DISPLAY nor "
                  "WAYLAND_DISPLAY is set; run it in a desktop session, or without -d");
      return 1;
    }
#endif
  }
  const std::unique_ptr<QCoreApplication> app =
      windows ? windows->MakeApplication(argc, argv)
              : std::make_unique<QCoreApplication>(argc, argv);

  TForm1 form;
  // SIGTERM, SIGINT and SIGHUP end the run the way Exit does.
  OnTerminationSignals(&form, [&form] { form.Button1Click(nullptr); });

  AnsiString error;
  if (!form.FormCreate(error)) {
    const std::string text = error + "; " + form.Lines->Advice();
    // By hand the run ends here. A service waits for a line instead: a
    // node without one (yet) is no failure to restart over and over.
    const bool ends = debug || !platform::StartedByServiceManager();
    if (windows)
      windows->ShowError(text);
    else if (ends)
      failedStart(text);
    else
      platform::SayLine("vexil-agent: " + text);
    if (ends)
      return 1;
    form.Lines->WaitForLine();
    platform::NotifyReady(form.Lines->WaitingStatus());
  } else {
    const std::string sending = "sending on " + TLineKeeper::Describe(form.com->fGetPort());
    platform::SayLine("vexil-agent: " + sending +
                      (debug ? ", debug window on: commands are only logged" : ""));
    // The line is open and the report timers run: ready.
    platform::NotifyReady(sending);
  }
  // The keep-alive comes from the window thread's own event loop, so a
  // stuck loop is noticed.
  QTimer watchdog;
  if (const auto ms = platform::WatchdogIntervalMs()) {
    QObject::connect(&watchdog, &QTimer::timeout, [] { platform::NotifyWatchdog(); });
    watchdog.start(static_cast<int>(std::max<std::uint64_t>(ms / 3, 1)));
  }
  form.debugMode = debug ? 1 : 0;
  std::unique_ptr<TForm1View> window;
  if (windows)
    window = windows->ShowWindow(form);
  app->exec();
  form.FormClose();
  if (!WaitForPowerAction(POWER_WAIT_AT_EXIT_MS)) {
    // The line is closed and its threads joined; only the power program's
    // waiter is left, and waiting for it could take for ever.
    platform::SayLine("vexil-agent: the power program still runs; ending without it");
    std::fflush(nullptr);
    platform::NotifyStopped(0);
    std::_Exit(0);
  }
  return 0;
}

} // namespace
