// The window library on Windows: vexil-agent-gui.dll beside the program,
// where the installer's feature "Debug window" puts it with the Qt DLLs it
// needs (Qt Gui, Qt Widgets and the platform plugin).
#include "app/windows.h"

#include "platform/win32.h"

#include <string>

namespace {

std::string errorText(DWORD error) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                     FORMAT_MESSAGE_IGNORE_INSERTS,
                 nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string said = text ? text : "";
  LocalFree(text);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.'))
    said.pop_back();
  return said + " (error " + std::to_string(error) + ")";
}

} // namespace

TAgentWindows* LoadAgentWindows(std::string& Error) {
  wchar_t program[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  std::wstring file(program, length);
  file = file.substr(0, file.find_last_of(L'\\') + 1) + L"vexil-agent-gui.dll";
  if (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
    Error = "vexil-agent-gui.dll is not beside vexil-agent.exe";
    return nullptr;
  }
  // Its DLLs from its own folder first; kept loaded for the rest of the
  // run: its windows live that long.
  const HMODULE library = LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!library) {
    Error = "vexil-agent-gui.dll could not be loaded: " + errorText(GetLastError());
    return nullptr;
  }
  if (auto entry = reinterpret_cast<TAgentWindowsEntry>(
          reinterpret_cast<void*>(GetProcAddress(library, "vexil_agent_windows"))))
    return entry();
  Error = "vexil-agent-gui.dll has no entry point";
  return nullptr;
}

std::string AgentWindowsAdvice(const std::string& Why) {
  return "-d shows the debug window, which comes with the installer's feature \"Debug window\" (" +
         Why + "); add it (msiexec /i vexil-agent-<version>.msi ADDLOCAL=DebugWindow), or run " +
         "without -d";
}
