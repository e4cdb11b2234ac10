// The Windows build has no debug window (it would need Qt Widgets): -d keeps
// its other meaning, commands are shown and not carried out, and the lines
// the window would show are written to the console instead.
#include <cstdio>

#include "app/windows.h"
#include "platform/service.h"

namespace {

class TConsoleView final : public TForm1View {
public:
  explicit TConsoleView(TForm1& Form) : _Form(Form) { _Form.View = this; }
  ~TConsoleView() override { _Form.View = nullptr; }
  void Append(TPane Pane, const std::string& Line) override {
    std::fprintf(stderr, "%s %s\n", Pane == pnMemo ? "load:" : "inventory:", Line.c_str());
    std::fflush(stderr);
  }
  void Clear(TPane) override {}
  void Hide() override {}

private:
  TForm1& _Form;
};

class TConsoleWindows final : public TAgentWindows {
public:
  std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) override {
    return std::make_unique<QCoreApplication>(argc, argv);
  }
  std::unique_ptr<TForm1View> ShowWindow(TForm1& Form) override {
    std::fprintf(stderr, "vexil-agent: the debug window is not part of this build; its lines "
                         "are written here\n");
    return std::make_unique<TConsoleView>(Form);
  }
  void ShowError(const std::string& Text) override { platform::SayLine("vexil-agent: " + Text); }
};

} // namespace

TAgentWindows* LoadAgentWindows(std::string&) {
  static TConsoleWindows windows;
  return &windows;
}
