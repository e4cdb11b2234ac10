#include "device/timers.h"

#include <QSocketNotifier>

#include "platform/signals.h"

TTimer::TTimer(QObject* Parent, int IntervalMs, bool Enabled, std::function<void()> OnTimer)
    : _Timer(Parent) {
  _Timer.setInterval(IntervalMs);
  QObject::connect(&_Timer, &QTimer::timeout, std::move(OnTimer));
  if (Enabled)
    _Timer.start();
}

void TTimer::fSetEnabled(bool Value) {
  if (!Value)
    _Timer.stop();
  else if (!_Timer.isActive()) // QTimer::start would restart a running count-down
    _Timer.start();
}

void TTimer::fSetInterval(int Ms) {
  const bool running = _Timer.isActive();
  _Timer.setInterval(Ms);
  if (running)
    _Timer.start(); // a new interval restarts the count-down
}

void OnTerminationSignals(QObject* Context, std::function<void()> OnSignal) {
#ifdef _WIN32
  // The request comes on a thread of the system's: the handler runs on
  // Context's.
  platform::SetTerminationHandler(
      [Context, OnSignal] { QMetaObject::invokeMethod(Context, OnSignal, Qt::QueuedConnection); });
  QObject::connect(Context, &QObject::destroyed, [] { platform::SetTerminationHandler(nullptr); });
#else
  const int fd = platform::TerminationSignalFd();
  if (fd < 0)
    return;
  auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, Context);
  QObject::connect(notifier, &QSocketNotifier::activated, Context, [fd, OnSignal] {
    platform::ConsumeTerminationSignals(fd);
    OnSignal();
  });
#endif
}

namespace {
QtMessageHandler previousHandler = nullptr;
void filterNotices(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
    return;
  if (previousHandler)
    previousHandler(type, context, message);
}
} // namespace

void FilterQtStartupNotices() {
  previousHandler = qInstallMessageHandler(filterNotices);
}
