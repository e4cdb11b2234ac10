// Keeps the agent on a working line: opens COM2, else COM1, never a kernel
// console nor a login session's terminal; when the line is lost (adapter
// pulled, other end hung up) closes it and tries COM2 then COM1 every 2 s;
// while on COM1 moves back to COM2 as soon as COM2 opens. Lives on the
// window thread.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "device/Hxcommdevice.h"

class TLineKeeper : public QObject {
public:
  static constexpr int RETRY_MS = 2000;
  static constexpr int PREFER_MS = 5000;
  // After another process opened the line: when to look whether it made a
  // login session of it (a getty sets its terminal up within milliseconds;
  // the second look is for one that is slow to).
  static constexpr int TAKEN_LOOKS_MS[] = {300, 2000};

  // Say gets each line for standard error (without the program's name),
  // Status the state in a few words for the service manager.
  TLineKeeper(THxCommDevice& Com, std::function<void(const std::string&)> Say,
              std::function<void(const std::string&)> Status = {});
  ~TLineKeeper() override;

  // The service manager's status line while no line could be opened yet.
  static constexpr const char* WAITING_STATUS = "no serial line: waiting for COM2 or COM1";

  // COM2, else COM1. False when neither opens; FailureText() then gives the
  // comm error's text followed by each port's own cause.
  bool OpenFirst();
  std::string FailureText() const { return _Failure; }
  // After a failed OpenFirst, whose text the caller said: tries COM2 and
  // COM1 every 2 s, says each new cause once, and calls OnFirstLine once a
  // line opens.
  void WaitForLine();
  // The service manager's status line while waiting: WAITING_STATUS and
  // each port's cause.
  std::string WaitingStatus() const;
  std::function<void()> OnFirstLine;
  // The port's notifications, on the window thread: a lost line is handled.
  void PortNotify(int NotifyType);
  // No more retries (the run ends).
  void Stop();

  // What to do about the causes of the last failure to open either port.
  std::string Advice() const;

  // "COM2 (/dev/vexil/COM2)".
  static std::string Describe(int Port);
  bool Lost() const { return _RetryTimer.isActive(); }

private:
  // Opens port n with the agent's settings; false with the cause.
  bool _Open(int n, std::string& Cause);
  // COM2, else COM1; false with the failure text.
  bool _OpenEither(std::string& Failure);
  void _LineLost();
  // Leaves the open line to a session that took it (cause says whose).
  void _LineTaken(const std::string& Cause);
  // Closes the line and retries every 2 s.
  void _Leave();
  void _Retry();
  void _PreferCom2();
  // Watches the open line for another process's opens, and looks then
  // whether it became a login session's.
  void _WatchOpens();
  void _LookWhetherTaken();

  THxCommDevice& _Com;
  std::function<void(const std::string&)> _Say;
  std::function<void(const std::string&)> _Status;
  QTimer _RetryTimer;
  QTimer _PreferTimer;
  std::vector<std::unique_ptr<QTimer>> _TakenLooks;
  struct OpenWatch;
  std::unique_ptr<OpenWatch> _OpenWatch;
  std::string _Failure;
  // Each port's cause of the last failure.
  std::string _Causes;
  // The last failure said while retrying.
  std::string _Said;
  bool _Waiting = false;
  // The message of the comm error that stopped the last port tried.
  std::string _FailureMessage;
};
