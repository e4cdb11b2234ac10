// Powering a Windows node off or rebooting it: the shutdown privilege, then
// InitiateShutdown, else ExitWindowsEx. VEXIL_POWER_COMMAND stands in for
// both, as on Linux.
#include "platform/power.h"
#include "platform/service.h"
#include "platform/win32.h"

#include <cstdlib>

namespace platform {

namespace {

std::string lastError(const std::string& what) {
  return what + " failed (error " + std::to_string(GetLastError()) + ")";
}

// Runs the stand-in command with its one argument and waits for it.
std::string runCommand(const char* program, const char* argument) {
  std::string line = std::string("\"") + program + "\" " + argument;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process))
    return lastError(std::string("cannot run VEXIL_POWER_COMMAND ") + program + ": CreateProcess");
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, WIN32_INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return code == 0 ? "" : std::string(program) + " exited with status " + std::to_string(code);
}

// The shutdown privilege for this process; "" when it is held.
std::string enableShutdownPrivilege() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
    return lastError("OpenProcessToken");
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  std::string failed;
  if (!LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid))
    failed = lastError("LookupPrivilegeValue SeShutdownPrivilege");
  // Success with ERROR_NOT_ALL_ASSIGNED means the privilege was not granted.
  else if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr) ||
           GetLastError() == ERROR_NOT_ALL_ASSIGNED)
    failed = lastError("AdjustTokenPrivileges SeShutdownPrivilege");
  CloseHandle(token);
  return failed;
}

} // namespace

std::string DoPowerAction(PowerAction action) {
  const bool off = action == PowerAction::PowerOff;
  if (const char* command = std::getenv("VEXIL_POWER_COMMAND"); command && *command)
    return runCommand(command, off ? "poweroff" : "reboot");
  if (std::string failed = enableShutdownPrivilege(); !failed.empty())
    return failed;
  // A planned shutdown, at once. The programs of users' sessions are closed
  // without being asked, so that none can keep the node up: ExitWindowsEx's
  // EWX_FORCE does nothing where Terminal Services runs (every Windows
  // Server). Services still stop in order.
  const DWORD reason =
      SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_MINOR_OTHER | SHTDN_REASON_FLAG_PLANNED;
  const DWORD error = InitiateShutdownW(nullptr, nullptr, 0,
                                        (off ? SHUTDOWN_POWEROFF : SHUTDOWN_RESTART) |
                                            SHUTDOWN_FORCE_OTHERS | SHUTDOWN_GRACE_OVERRIDE,
                                        reason);
  if (error == ERROR_SUCCESS)
    return "";
  SayLine("vexil-agent: InitiateShutdown failed (error " + std::to_string(error) +
          "); asking ExitWindowsEx instead");
  if (!ExitWindowsEx(off ? EWX_POWEROFF | EWX_FORCE : EWX_REBOOT | EWX_FORCEIFHUNG, reason))
    return lastError("ExitWindowsEx");
  return "";
}

} // namespace platform
