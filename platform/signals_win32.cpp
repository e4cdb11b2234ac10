#include "platform/signals.h"

#include <mutex>

#include "platform/service.h"
#include "platform/win32.h"

namespace platform {

namespace {

std::mutex handlerLock;
std::function<void()> handler;
// Set when the handler is removed: the run is over.
HANDLE runOver = CreateEventA(nullptr, TRUE, FALSE, nullptr);

BOOL WINAPI onConsoleControl(DWORD control) {
  switch (control) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT: RequestTermination(); return TRUE;
  case CTRL_LOGOFF_EVENT:
    // A user logging off ends no service: the event is for every process,
    // services too.
    if (RunsAsService())
      return TRUE;
    [[fallthrough]];
  case CTRL_CLOSE_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    // The process ends when this returns: the run gets the few seconds the
    // system allows to close its line.
    RequestTermination();
    WaitForSingleObject(runOver, 4000);
    return TRUE;
  default: return FALSE;
  }
}

} // namespace

void SetTerminationHandler(std::function<void()> OnRequest) {
  static std::once_flag once;
  std::call_once(once, [] { SetConsoleCtrlHandler(onConsoleControl, TRUE); });
  std::lock_guard lock(handlerLock);
  handler = std::move(OnRequest);
  if (handler)
    ResetEvent(runOver);
  else
    SetEvent(runOver);
}

void RequestTermination() {
  std::lock_guard lock(handlerLock);
  if (handler)
    handler();
}

} // namespace platform
