// The agent's windows come from a library of their own (the package
// vexil-agent-gui; on Windows the installer's feature "Debug window"),
// loaded only when a window is to be shown: the agent's normal run links no
// GUI library.
#pragma once

#include <QCoreApplication>

#include <memory>
#include <string>

#include "app/Unit1.h"

class TAgentWindows {
public:
  virtual ~TAgentWindows() = default;
  // The application object of a process with windows.
  virtual std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) = 0;
  // The debug window of Form, shown; it sets Form.View while it lives.
  virtual std::unique_ptr<TForm1View> ShowWindow(TForm1& Form) = 0;
  // A modal message box.
  virtual void ShowError(const std::string& Text) = 0;
};

// The library's entry point.
extern "C" TAgentWindows* vexil_agent_windows();
using TAgentWindowsEntry = TAgentWindows* (*)();

// Loads the window library: vexil-agent-gui.so beside the program (a build
// tree), else in the library folder the package installs it to; on Windows
// vexil-agent-gui.dll beside the program. nullptr with the reason when it
// is not there or cannot be loaded.
TAgentWindows* LoadAgentWindows(std::string& Error);
// What -d says when the library is missing for that reason: what to install.
std::string AgentWindowsAdvice(const std::string& Why);
