// What the forms and the headless agent share of the framework, none of it
// a window: timers as the forms use them, and the end of the run on a
// termination signal.
#pragma once

#include <QObject>
#include <QTimer>

#include <algorithm>
#include <functional>

// A timer as the forms use it: enabling one that already runs keeps its
// count-down; a new interval starts the count-down again.
class TTimer {
public:
  TTimer(QObject* Parent, int IntervalMs, bool Enabled, std::function<void()> OnTimer);

  bool Enabled() const { return _Timer.isActive(); }
  void fSetEnabled(bool Value);
  int Interval() const { return _Timer.interval(); }
  void fSetInterval(int Ms);
  // Milliseconds to the next tick of a running timer (0 when due).
  int RemainingMs() const { return std::max(_Timer.remainingTime(), 0); }
  // Counts down the whole interval again from now.
  void Restart() { _Timer.start(); }

private:
  QTimer _Timer;
};

// SIGTERM, SIGINT and SIGHUP (on Windows: Ctrl-C, the console closing, the
// service manager's stop) run OnSignal on Context's thread, so a service
// manager or Ctrl-C ends a program the way its own Exit does.
void OnTerminationSignals(QObject* Context, std::function<void()> OnSignal);

// Keeps Qt's start-up notice about a missing XDG_RUNTIME_DIR (normal for a
// service or a plain shell) off standard error; every other message passes.
void FilterQtStartupNotices();
