#include "platform/service.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <thread>

#include "platform/signals.h"
#include "platform/win32.h"

#include <aclapi.h>
#include <sddl.h>
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

// What the service manager does when the service fails (its process ends
// without reporting SERVICE_STOPPED, or reports an error): start it again
// after 10 s, twice, then after 60 s each time; the count starts afresh
// after a day without failures. Set at every start, the installer's first
// included, so that a service registered by hand gets them too.
void setFailureActions(const char* name) {
  const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  const SC_HANDLE service =
      manager ? OpenServiceA(manager, name, SERVICE_CHANGE_CONFIG | SERVICE_START) : nullptr;
  SC_ACTION actions[] = {
      {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSA failure{};
  failure.dwResetPeriod = 24 * 3600;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  if (!service || !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure))
    SayLine(std::string("vexil-agent: the service's restart after a failure could not be set (") +
            "error " + std::to_string(GetLastError()) + "); it stays down if it fails");
  // An end with an error status counts as a failure too. (Not every
  // service manager knows the setting: Wine's refuses it.)
  SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
  if (service)
    ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors);
  if (service)
    CloseServiceHandle(service);
  if (manager)
    CloseServiceHandle(manager);
}

// Whether a handle's file or folder is this process's to write: no
// reparse point (a link or junction someone planted), and owned by SYSTEM,
// the Administrators or the process's own user.
bool ownedByUs(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (GetSecurityInfo(h, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                      nullptr, &sd) != ERROR_SUCCESS)
    return false;
  bool ours = IsWellKnownSid(owner, WinLocalSystemSid) ||
              IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
  HANDLE token = nullptr;
  if (!ours && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    char buffer[256];
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size))
      ours = EqualSid(owner, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
    CloseHandle(token);
  }
  LocalFree(sd);
  return ours;
}

// The log of a process without standard error, opened at its first line:
// in ProgramData\Vexil, a folder only SYSTEM and the Administrators may
// write (made so, or made so again), never through a link or into a file
// someone else made; kept to about 1 MB, the one before as .old.
class TServiceLog {
public:
  void Write(const std::string& line) {
    std::lock_guard lock(_Lock);
    if (!_Tried) {
      _Tried = true;
      _Program = line.substr(0, line.find(':'));
      _Open();
    }
    if (_File == INVALID_HANDLE_VALUE)
      return;
    const std::time_t now = std::time(nullptr);
    char when[32] = "";
    if (const std::tm* local = std::localtime(&now))
      std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S ", local);
    const std::string text = when + line + "\r\n";
    DWORD written = 0;
    WriteFile(_File, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    _RotateIfFull();
  }

private:
  static constexpr LONGLONG LOG_MAX = 1 << 20;

  void _Open() {
    char data[MAX_PATH];
    if (_Program.empty() ||
        SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data) != S_OK)
      return;
    const std::string folder = std::string(data) + "\\Vexil";
    // SYSTEM and the Administrators: everything; users: read.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(
            "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;BU)", SDDL_REVISION_1, &sd, nullptr))
      return;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
    CreateDirectoryA(folder.c_str(), &attributes);
    const HANDLE dir =
        CreateFileA(folder.c_str(), READ_CONTROL | WRITE_DAC,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const bool trusted = dir != INVALID_HANDLE_VALUE && ownedByUs(dir);
    if (trusted) {
      // A folder made before (by an older version) gets the same rights.
      BOOL present = FALSE, defaulted = FALSE;
      PACL dacl = nullptr;
      if (GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present)
        SetSecurityInfo(dir, SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, dacl, nullptr);
    }
    if (dir != INVALID_HANDLE_VALUE)
      CloseHandle(dir);
    LocalFree(sd);
    if (!trusted)
      return; // a link, or someone else's folder: no log rather than theirs
    _Path = folder + "\\" + _Program + ".log";
    _OpenFile();
    _RotateIfFull();
  }

  // Past the limit, the log becomes .old and a new one starts.
  void _RotateIfFull() {
    LARGE_INTEGER size{};
    if (_File == INVALID_HANDLE_VALUE || !GetFileSizeEx(_File, &size) || size.QuadPart <= LOG_MAX)
      return;
    CloseHandle(_File);
    _File = INVALID_HANDLE_VALUE;
    MoveFileExA(_Path.c_str(), (_Path + ".old").c_str(), MOVEFILE_REPLACE_EXISTING);
    _OpenFile();
  }

  // The log file, to append to; one that is a link or someone else's is
  // moved aside (the link itself, never what it names) for a new one.
  void _OpenFile() {
    for (int attempt = 0; attempt < 2; ++attempt) {
      _File = CreateFileA(_Path.c_str(), FILE_APPEND_DATA | READ_CONTROL | SYNCHRONIZE,
                          FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (_File == INVALID_HANDLE_VALUE || ownedByUs(_File))
        return;
      CloseHandle(_File);
      _File = INVALID_HANDLE_VALUE;
      if (!MoveFileExA(_Path.c_str(), (_Path + ".refused").c_str(), MOVEFILE_REPLACE_EXISTING))
        return;
    }
  }

  std::mutex _Lock;
  HANDLE _File = INVALID_HANDLE_VALUE; // kept open to the end of the process
  std::string _Program, _Path;
  bool _Tried = false;
};

TServiceLog& serviceLog() {
  static TServiceLog log;
  return log;
}

// A line as an event of the program's Event Log source (the installer
// registers it, the program's message table has its one message, "%1"): an
// error where something failed or was refused, a warning for a lost line.
void reportEvent(const std::string& line) {
  static const HANDLE source = RegisterEventSourceA(nullptr, "vexil-agent");
  if (!source)
    return;
  const auto has = [&](const char* word) { return line.find(word) != std::string::npos; };
  const WORD type = has("failed") || has("refused") || has("could not") ? EVENTLOG_ERROR_TYPE
                    : has("lost") || has("left ")                       ? EVENTLOG_WARNING_TYPE
                                                                        : EVENTLOG_INFORMATION_TYPE;
  const std::string text =
      line.substr(line.find(": ") == std::string::npos ? 0 : line.find(": ") + 2);
  const char* strings[] = {text.c_str()};
  constexpr DWORD MESSAGE = 1; // the message table's VEXIL_MESSAGE
  ReportEventA(source, type, 0, MESSAGE, nullptr, 1, 0, strings, nullptr);
}

// The text of the last state, also for a service manager that connects
// after the run said it is ready.
std::mutex statusTextLock;
std::string statusText;

// A service's state has no text of its own (sc query shows the state
// only): the text goes into the service's log, each change once, where
// systemd would show it in `systemctl status`.
void logStatus(const std::string& text, bool running) {
  {
    std::lock_guard lock(statusTextLock);
    if (!running && text == statusText)
      return;
    statusText = text;
  }
  if (RunsAsService())
    serviceLog().Write("vexil-agent: " + std::string(running ? "service running: " : "status: ") +
                       text);
}

// The run was ready before the service manager connected.
void logReadyState() {
  std::string text;
  {
    std::lock_guard lock(statusTextLock);
    text = statusText;
  }
  logStatus(text, true);
}

void WINAPI serviceMain(DWORD argc, LPSTR* argv) {
  bool running;
  {
    std::lock_guard lock(statusLock);
    statusHandle = RegisterServiceCtrlHandlerExA("", onControl, nullptr);
    running = ready;
  }
  if (running) {
    report(SERVICE_RUNNING);
    logReadyState();
  } else
    report(SERVICE_START_PENDING, 30000); // opening the line may take a while
  SetEvent(decided);
  // (Once the start is reported: the service manager may hold its database
  // until then.)
  if (argc > 0 && argv && argv[0])
    setFailureActions(argv[0]);
  // The run goes on in the process's main thread.
}

} // namespace

bool RunsAsService() {
  std::lock_guard lock(statusLock);
  return statusHandle != nullptr;
}

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
  serviceLog().Write(line);
  reportEvent(line);
}

bool StartedByServiceManager() {
  ConnectServiceManager();
  WaitForSingleObject(decided, WIN32_INFINITE);
  std::lock_guard lock(statusLock);
  return statusHandle != nullptr;
}

void NotifyReady(const std::string& status) {
  {
    std::lock_guard lock(statusLock);
    ready = true;
  }
  report(SERVICE_RUNNING);
  logStatus(status, true);
}

void NotifyStatus(const std::string& status) {
  logStatus(status, false);
}

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
  SayLine("vexil-agent: stopped" +
          (exitStatus == 0 ? std::string() : " with status " + std::to_string(exitStatus)));
  if (exitStatus == 0)
    report(SERVICE_STOPPED);
  else
    report(SERVICE_STOPPED, 0, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(exitStatus));
  dispatcher.join();
}

} // namespace platform
