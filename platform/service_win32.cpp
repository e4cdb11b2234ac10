#include "platform/service.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/signals.h"
#include "platform/win32.h"

#include <shlobj.h>

namespace platform {

namespace {

// Set once the process knows whether it runs as a service.
HANDLE decided = CreateEventA(nullptr, TRUE, FALSE, nullptr);
std::mutex statusLock;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
// The run said it is ready (perhaps before the service manager connected).
bool ready = false;
// Runs StartServiceCtrlDispatcher, which returns when the service reports
// that it stopped, or at once for a process started by hand.
std::thread dispatcher;

void report(DWORD state, DWORD waitHintMs = 0, DWORD exitCode = NO_ERROR, DWORD serviceCode = 0) {
  std::lock_guard lock(statusLock);
  if (!statusHandle)
    return;
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode;
  status.dwServiceSpecificExitCode = serviceCode;
  status.dwCheckPoint =
      state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : status.dwCheckPoint + 1;
  status.dwWaitHint = waitHintMs;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD, LPVOID, LPVOID) {
  switch (control) {
  case SERVICE_CONTROL_STOP:
  case SERVICE_CONTROL_SHUTDOWN:
    // Ended as SIGTERM ends it on Linux: the line closes, the threads are
    // joined, then the service reports that it stopped.
    report(SERVICE_STOP_PENDING, 10000);
    RequestTermination();
    return NO_ERROR;
  case SERVICE_CONTROL_INTERROGATE: return NO_ERROR;
  default: return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

void WINAPI serviceMain(DWORD, LPSTR*) {
  bool running;
  {
    std::lock_guard lock(statusLock);
    statusHandle = RegisterServiceCtrlHandlerExA("", onControl, nullptr);
    running = ready;
  }
  if (running)
    report(SERVICE_RUNNING);
  else
    report(SERVICE_START_PENDING, 30000); // opening the line may take a while
  SetEvent(decided);
  // The run goes on in the process's main thread.
}

// The log of a process without standard error, opened at its first line.
class TServiceLog {
public:
  void Write(const std::string& line) {
    std::lock_guard lock(_Lock);
    if (!_Tried) {
      _Tried = true;
      _Open(line.substr(0, line.find(':')));
    }
    if (!_File)
      return;
    const std::time_t now = std::time(nullptr);
    char when[32] = "";
    if (const std::tm* local = std::localtime(&now))
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S ", local);
    std::fprintf(_File, "%s%s\n", when, line.c_str());
    std::fflush(_File);
  }

private:
  void _Open(const std::string& program) {
    char data[MAX_PATH];
    if (program.empty() ||
        SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data) != S_OK)
      return;
    const std::string folder = std::string(data) + "\\Vexil";
    CreateDirectoryA(folder.c_str(), nullptr);
    const std::string log = folder + "\\" + program + ".log";
    WIN32_FILE_ATTRIBUTE_DATA file;
    if (GetFileAttributesExA(log.c_str(), GetFileExInfoStandard, &file) &&
        (file.nFileSizeHigh != 0 || file.nFileSizeLow > (1u << 20)))
      MoveFileExA(log.c_str(), (log + ".old").c_str(), MOVEFILE_REPLACE_EXISTING);
    _File = std::fopen(log.c_str(), "a");
  }

  std::mutex _Lock;
  std::FILE* _File = nullptr; // kept open to the end of the process
  bool _Tried = false;
};

} // namespace

void ConnectServiceManager() {
  static std::once_flag once;
  std::call_once(once, [] {
    dispatcher = std::thread([] {
      static char name[] = "";
      SERVICE_TABLE_ENTRYA table[] = {{name, serviceMain}, {nullptr, nullptr}};
      // Fails for a process that no service manager started: at once on
      // Windows, after 10 s under Wine; the run does not wait for it.
      if (!StartServiceCtrlDispatcherA(table))
        SetEvent(decided);
    });
  });
}

void SayLine(const std::string& line) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle && handle != INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "%s\n", line.c_str());
    return;
  }
  static TServiceLog log;
  log.Write(line);
}

bool StartedByServiceManager() {
  ConnectServiceManager();
  WaitForSingleObject(decided, WIN32_INFINITE);
  std::lock_guard lock(statusLock);
  return statusHandle != nullptr;
}

void NotifyReady(const std::string&) {
  {
    std::lock_guard lock(statusLock);
    ready = true;
  }
  report(SERVICE_RUNNING);
}

// A service's state has no text; the status lines are for systemd.
void NotifyStatus(const std::string&) {}

std::uint64_t WatchdogIntervalMs() {
  return 0;
}

void NotifyWatchdog() {}

void NotifyStopped(int exitStatus) {
  if (!dispatcher.joinable())
    return;
  bool service;
  {
    std::lock_guard lock(statusLock);
    service = statusHandle != nullptr;
  }
  if (!service) {
    // Not a service, or not known yet: the process ends without the answer.
    dispatcher.detach();
    return;
  }
  if (exitStatus == 0)
    report(SERVICE_STOPPED);
  else
    report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(exitStatus));
  dispatcher.join();
}

} // namespace platform
