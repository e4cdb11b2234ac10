// The window library's entry point: what the agent asks of it when it is to
// show a window (-d). Built as vexil-agent-gui.so; the agent, the component
// and the engine it uses are the agent's own, found in the program.
#include <QApplication>

#include "app/Unit1_window.h"
#include "app/windows.h"
#include "device/forms.h"

namespace {

class TWindows final : public TAgentWindows {
public:
  std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) override {
    return std::make_unique<QApplication>(argc, argv);
  }
  std::unique_ptr<TForm1View> ShowWindow(TForm1& Form) override {
    auto window = std::make_unique<TForm1Window>(Form);
    window->show();
    return window;
  }
  void ShowError(const std::string& Text) override {
    ShowMessageBox(nullptr, QString::fromStdString(Text), QStringLiteral("vexil-agent"),
                   TMsgIcon::Error);
  }
};

} // namespace

extern "C" __attribute__((visibility("default"))) TAgentWindows* vexil_agent_windows() {
  static TWindows windows;
  return &windows;
}
