#include "app/line_keeper.h"

#include <cstdlib>
#include <cstring>

#include "platform/serial.h"

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

TLineKeeper::TLineKeeper(THxCommDevice& Com, std::function<void(const std::string&)> Say,
                         std::function<void(const std::string&)> Status)
    : _Com(Com), _Say(std::move(Say)), _Status(std::move(Status)) {
  if (!_Status)
    _Status = [](const std::string&) {};
  _RetryTimer.setInterval(RETRY_MS);
  _PreferTimer.setInterval(PREFER_MS);
  QObject::connect(&_RetryTimer, &QTimer::timeout, this, [this] { _Retry(); });
  QObject::connect(&_PreferTimer, &QTimer::timeout, this, [this] { _PreferCom2(); });
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
  _Say("line lost on " + Describe(port) + ": " + platform::DescribeLineLoss(_Com.fGetLineLost()) +
       "; trying COM2 and COM1 every " + std::to_string(RETRY_MS / 1000) + " s");
  _Status("line lost on " + Describe(port) + ", retrying");
  _PreferTimer.stop();
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
    if (failure != _Said) {
      _Say(failure);
      if (_Waiting)
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
}
