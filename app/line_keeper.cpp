#include "app/line_keeper.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/serial.h"

#ifndef _WIN32
#include <QSocketNotifier>
#endif

namespace {

std::string pathOf(int Port) {
  return platform::ResolveDeviceName("COM" + std::to_string(Port));
}

#ifdef _WIN32
// Windows gives a port to one program at a time: one that another holds
// fails to open, with its own cause.
std::string takenCause(int) {
  return "";
}
#else

// Why port n must not be used because it is a kernel console, "" when it may.
// The real /sys and /dev always count; VEXIL_CONSOLE_ROOT (for tests) names
// a further tree whose consoles count too, so it can only add consoles,
// never hide the machine's own.
std::string consoleCause(int Port) {
  const char* allow = std::getenv("VEXIL_ALLOW_CONSOLE");
  if (allow && !std::strcmp(allow, "1"))
    return "";
  const std::string path = pathOf(Port);
  std::string console = platform::KernelConsoleOf(path);
  const char* root = std::getenv("VEXIL_CONSOLE_ROOT");
  if (console.empty() && root && *root)
    console = platform::KernelConsoleOf(path, root);
  return console.empty()
             ? ""
             : "the kernel's console " + console + ", not used (VEXIL_ALLOW_CONSOLE=1 allows it)";
}

// Why port n must be left alone ("" when it may be opened): a kernel
// console, or a terminal that a login session uses (a getty's prompt, a
// shell), whose bytes the reports would mix with.
std::string takenCause(int Port) {
  std::string cause = consoleCause(Port);
  if (cause.empty())
    if (const std::string session = platform::TtySessionOf(pathOf(Port)); !session.empty())
      cause = "in use by " + session;
  return cause;
}
#endif

} // namespace

#ifdef _WIN32
struct TLineKeeper::OpenWatch {};
void TLineKeeper::_WatchOpens() {}
#else
struct TLineKeeper::OpenWatch {
  explicit OpenWatch(const std::string& Path) : Opens(Path) {}
  platform::DeviceOpenWatch Opens;
  std::unique_ptr<QSocketNotifier> Notifier;
};

void TLineKeeper::_WatchOpens() {
  _OpenWatch = std::make_unique<OpenWatch>(pathOf(_Com.fGetPort()));
  if (_OpenWatch->Opens.Fd() < 0)
    return; // (no inotify: a session is noticed when it hangs the line up)
  _OpenWatch->Notifier =
      std::make_unique<QSocketNotifier>(_OpenWatch->Opens.Fd(), QSocketNotifier::Read);
  QObject::connect(_OpenWatch->Notifier.get(), &QSocketNotifier::activated, this, [this] {
    if (_OpenWatch && _OpenWatch->Opens.TakeOpens())
      for (auto& look : _TakenLooks)
        look->start();
  });
}
#endif

TLineKeeper::TLineKeeper(THxCommDevice& Com, std::function<void(const std::string&)> Say,
                         std::function<void(const std::string&)> Status)
    : _Com(Com), _Say(std::move(Say)), _Status(std::move(Status)) {
  if (!_Status)
    _Status = [](const std::string&) {};
  _RetryTimer.setInterval(RETRY_MS);
  _PreferTimer.setInterval(PREFER_MS);
  QObject::connect(&_RetryTimer, &QTimer::timeout, this, [this] { _Retry(); });
  QObject::connect(&_PreferTimer, &QTimer::timeout, this, [this] { _PreferCom2(); });
  for (const int ms : TAKEN_LOOKS_MS) {
    auto look = std::make_unique<QTimer>();
    look->setSingleShot(true);
    look->setInterval(ms);
    QObject::connect(look.get(), &QTimer::timeout, this, [this] { _LookWhetherTaken(); });
    _TakenLooks.push_back(std::move(look));
  }
}

TLineKeeper::~TLineKeeper() = default;

// Another process opened the line: one that made a login session of it
// (a getty, which as root passes the exclusive open) gets it to itself.
void TLineKeeper::_LookWhetherTaken() {
  if (Lost() || !_Com.fGetActive())
    return;
  if (const std::string cause = takenCause(_Com.fGetPort()); !cause.empty())
    _LineTaken(cause);
}

void TLineKeeper::_LineTaken(const std::string& Cause) {
  const std::string where = Describe(_Com.fGetPort());
  _Say("left " + where + ": " + Cause + "; no reports go there until it ends; trying COM2 and " +
       "COM1 every " + std::to_string(RETRY_MS / 1000) + " s");
  _Status(where + ": " + Cause + ": waiting");
  _Leave();
}

std::string TLineKeeper::Advice() const {
  const auto named = [this](const char* what) { return _Causes.find(what) != std::string::npos; };
  std::string advice;
  if (named("login session"))
    advice = "end the login session on the line (for a getty: systemctl stop "
             "serial-getty@TTY.service)";
  if (named(platform::DescribeOpenError(ENOENT).c_str()) ||
      named(platform::DescribeOpenError(ENODEV).c_str()))
    advice += (advice.empty() ? "" : ", or ") +
              std::string("check the cable or adapter, or point VEXIL_PORT_DIR at the ports");
  return advice.empty() ? "check the ports named above" : advice;
}

std::string TLineKeeper::Describe(int Port) {
  return "COM" + std::to_string(Port) + " (" + pathOf(Port) + ")";
}

bool TLineKeeper::_Open(int n, std::string& Cause) {
  Cause = takenCause(n);
  if (!Cause.empty()) {
    _FailureMessage = LumaroComm32::EComm32Error(LumaroComm32::EComm32Error::ecOpenPort).Message;
    return false;
  }
  try {
    _Com.fSetPort(n);
    _Com.fSetActive(true);
    _Com.fSetPkgType(LumaroComm32::cptFrameTimeout);
    _Com.fSetUsePackage(true);
    _WatchOpens();
    return true;
  } catch (const Exception& e) {
    _FailureMessage = e.Message;
    const int error = _Com.fGetLastOpenError();
    Cause = error ? platform::DescribeOpenError(error) : e.Message;
    try {
      _Com.fSetActive(false);
    } catch (const Exception&) {
    }
    return false;
  }
}

bool TLineKeeper::_OpenEither(std::string& Failure) {
  std::string cause2, cause1;
  if (_Open(2, cause2))
    return true;
  if (_Open(1, cause1)) {
    _PreferTimer.start();
    return true;
  }
  // The comm error's own text first (in the application's language), then
  // what stopped each port.
  Failure = _FailureMessage + ": neither COM2 (" + pathOf(2) + ": " + cause2 + ") nor COM1 (" +
            pathOf(1) + ": " + cause1 + ") could be opened";
  _Causes = "COM2 (" + pathOf(2) + "): " + cause2 + "; COM1 (" + pathOf(1) + "): " + cause1;
  return false;
}

std::string TLineKeeper::WaitingStatus() const {
  return std::string(WAITING_STATUS) + "; " + _Causes;
}

bool TLineKeeper::OpenFirst() {
  return _OpenEither(_Failure);
}

void TLineKeeper::WaitForLine() {
  _Waiting = true;
  _Said = _Failure; // the caller said it
  _RetryTimer.start();
}

void TLineKeeper::PortNotify(int NotifyType) {
  if ((NotifyType & platform::EV_ERR) && _Com.fGetLineLost() != 0 && !Lost())
    _LineLost();
}

void TLineKeeper::_LineLost() {
  const int port = _Com.fGetPort();
  // A getty's start hangs the line up: then the session is the cause, not
  // the cable.
  if (const std::string cause = takenCause(port); !cause.empty()) {
    _LineTaken(cause);
    return;
  }
  _Say("line lost on " + Describe(port) + ": " + platform::DescribeLineLoss(_Com.fGetLineLost()) +
       "; trying COM2 and COM1 every " + std::to_string(RETRY_MS / 1000) + " s");
  _Status("line lost on " + Describe(port) + ", retrying");
  _Leave();
}

void TLineKeeper::_Leave() {
  _PreferTimer.stop();
  _OpenWatch.reset();
  for (auto& look : _TakenLooks)
    look->stop();
  try {
    _Com.fSetActive(false); // threads joined, descriptor closed
  } catch (const Exception&) {
    // A thread that outlives the wait is joined later; the line is closed.
  }
  _RetryTimer.start();
}

void TLineKeeper::_Retry() {
  std::string failure;
  if (!_OpenEither(failure)) {
    // Said once for each new cause, not at every try.
    // The status names the same causes as the journal.
    if (failure != _Said) {
      _Say(failure);
      _Status(WaitingStatus());
    }
    _Said = failure;
    return;
  }
  _RetryTimer.stop();
  _Said.clear();
  const int n = _Com.fGetPort();
  _Say("sending on " + Describe(n) + (_Waiting ? "" : " again"));
  _Status("sending on " + Describe(n));
  if (_Waiting && OnFirstLine)
    OnFirstLine();
  _Waiting = false;
}

void TLineKeeper::_PreferCom2() {
  if (_Com.fGetPort() == 2) {
    _PreferTimer.stop();
    return;
  }
  // A look first, so that COM1 is only left for a COM2 that opens.
  if (!takenCause(2).empty() || !platform::OpenSerialDevice("\\\\.\\COM2"))
    return;
  std::string cause;
  if (_Open(2, cause)) {
    _PreferTimer.stop();
    _Say("moved to " + Describe(2) + " from " + Describe(1));
    _Status("sending on " + Describe(2));
  } else if (!_Open(1, cause)) {
    // Neither now: retried like a lost line.
    _Say("COM2 did not open (" + cause + ") and COM1 no longer does; trying both every " +
         std::to_string(RETRY_MS / 1000) + " s");
    _Status("no line, retrying");
    _PreferTimer.stop();
    _RetryTimer.start();
  }
}

void TLineKeeper::Stop() {
  _RetryTimer.stop();
  _PreferTimer.stop();
  _OpenWatch.reset();
  for (auto& look : _TakenLooks)
    look->stop();
}
