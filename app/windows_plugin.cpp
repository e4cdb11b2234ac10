// The window library's entry point: what the agent asks of it when it is to
// show a window (-d). Built as vexil-agent-gui.so (.dll on Windows); the
// agent, the component and the engine it uses are the agent's own, found in
// the program.
#include <QApplication>

#include <cstdio>
#include <cstdlib>

#include "app/Unit1_window.h"
#include "app/windows.h"
#include "device/forms.h"

namespace {

QtMessageHandler previous = nullptr;

class TWindows final : public TAgentWindows {
public:
  std::unique_ptr<QCoreApplication> MakeApplication(int& argc, char** argv) override {
    // Qt aborts when it cannot reach the display: say so in words, and end
    // with status 1 as any other failed start does.
    previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext& context, const QString& message) {
          if (type == QtFatalMsg) {
#ifdef _WIN32
            std::fprintf(stderr,
                         "vexil-agent: -d shows the debug window, which needs a desktop, and "
                         "Qt could not show one (%s); run it in a desktop session, or without "
                         "-d\n",
                         qPrintable(message));
#else
            std::fprintf(stderr,
                         "vexil-agent: -d shows the debug window, which needs a display, and "
                         "none could be reached (DISPLAY=%s, WAYLAND_DISPLAY=%s); run it in a "
                         "desktop session, or without -d\n",
                         qgetenv("DISPLAY").constData(), qgetenv("WAYLAND_DISPLAY").constData());
#endif
            std::fflush(stderr);
            std::_Exit(1);
          }
          if (previous)
            previous(type, context, message);
        });
    auto app = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(previous);
    return app;
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

#ifdef _WIN32
#define VEXIL_ENTRY __declspec(dllexport)
#else
#define VEXIL_ENTRY __attribute__((visibility("default")))
#endif

extern "C" VEXIL_ENTRY TAgentWindows* vexil_agent_windows() {
  static TWindows windows;
  return &windows;
}
