// Talking to the service manager that started the process: systemd with
// Type=notify (readiness, a status line for `systemctl status`, the
// watchdog's keep-alive), or Windows' service control manager (the service's
// state: starting, running, stopping, stopped). Without one (NOTIFY_SOCKET
// unset, or started by hand on Windows) nothing happens.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Connects to the service manager, if one started the process, without
// waiting for the answer: Windows' service control manager waits for this
// from the start of a service (systemd: nothing to do).
void ConnectServiceManager();
// One line of the program's messages ("vexil-agent: line lost ..."), to
// standard error, which systemd's journal keeps. A Windows service has no
// standard error: there each line goes, with its time, to
// <ProgramData>\Vexil\<first word of the line>.log (the one before kept as
// .log.old once it passes 1 MB).
void SayLine(const std::string& line);
// Whether a service manager started the process and listens (NOTIFY_SOCKET;
// on Windows this waits for the connection's answer).
bool StartedByServiceManager();
// Whether a service manager is known to run the process, without waiting
// for an answer (Windows: the service control manager has connected).
bool RunsAsService();
// READY=1 together with a status line.
void NotifyReady(const std::string& status);
// A new status line.
void NotifyStatus(const std::string& status);
// The period in which the manager expects a keep-alive, in milliseconds; 0
// when it watches nothing.
std::uint64_t WatchdogIntervalMs();
// WATCHDOG=1: the process is alive.
void NotifyWatchdog();
// The run is over with this exit status (Windows: the service is stopped;
// systemd sees the process end).
void NotifyStopped(int exitStatus);

} // namespace platform
