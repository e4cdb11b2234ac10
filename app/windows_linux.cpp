#include "app/windows.h"

#include <dlfcn.h>

#include <filesystem>

namespace fs = std::filesystem;

TAgentWindows* LoadAgentWindows(std::string& Error) {
  std::error_code ec;
  const fs::path beside = fs::read_symlink("/proc/self/exe", ec).parent_path();
  std::string reasons;
  for (const fs::path& file :
       {beside / "vexil-agent-gui.so", fs::path(VEXIL_WINDOWS_DIR) / "vexil-agent-gui.so"}) {
    if (!fs::exists(file, ec))
      continue;
    void* library = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      reasons += std::string(reasons.empty() ? "" : "; ") + dlerror();
      continue;
    }
    // Kept loaded for the rest of the run: its windows live that long.
    if (auto entry = reinterpret_cast<TAgentWindowsEntry>(dlsym(library, "vexil_agent_windows")))
      return entry();
    reasons += std::string(reasons.empty() ? "" : "; ") + file.string() + " has no entry point";
  }
  Error = reasons.empty() ? "not installed" : reasons;
  return nullptr;
}

std::string AgentWindowsAdvice(const std::string& Why) {
  return "-d shows the debug window, which comes with the package vexil-agent-gui (" + Why +
         "); install it (apt install vexil-agent-gui), or run without -d";
}
