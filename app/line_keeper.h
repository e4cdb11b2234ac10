// Keeps the agent on a working line: opens COM2, else COM1, never a kernel
// console; when the line is lost (adapter pulled, other end hung up) closes
// it and tries COM2 then COM1 every 2 s; while on COM1 moves back to COM2 as
// soon as COM2 opens. Lives on the window thread.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <string>

#include "device/Hxcommdevice.h"

class TLineKeeper : public QObject {
public:
  static constexpr int RETRY_MS = 2000;
  static constexpr int PREFER_MS = 5000;

  // Say gets each line for standard error (without the program's name),
  // Status the state in a few words for the service manager.
  TLineKeeper(THxCommDevice& Com, std::function<void(const std::string&)> Say,
              std::function<void(const std::string&)> Status = {});

  // COM2, else COM1. False when neither opens; FailureText() then gives the
  // comm error's text followed by each port's own cause.
  bool OpenFirst();
  std::string FailureText() const { return _Failure; }
  // The port's notifications, on the window thread: a lost line is handled.
  void PortNotify(int NotifyType);
  // No more retries (the run ends).
  void Stop();

  // "COM2 (/dev/vexil/COM2)".
  static std::string Describe(int Port);
  bool Lost() const { return _RetryTimer.isActive(); }

private:
  // Opens port n with the agent's settings; false with the cause.
  bool _Open(int n, std::string& Cause);
  void _LineLost();
  void _Retry();
  void _PreferCom2();

  THxCommDevice& _Com;
  std::function<void(const std::string&)> _Say;
  std::function<void(const std::string&)> _Status;
  QTimer _RetryTimer;
  QTimer _PreferTimer;
  std::string _Failure;
  // The message of the comm error that stopped the last port tried.
  std::string _FailureMessage;
};
