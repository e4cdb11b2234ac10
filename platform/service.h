// Talking to the service manager that started the process (systemd with
// Type=notify): readiness, a status line for `systemctl status`, and the
// watchdog's keep-alive. Without one (NOTIFY_SOCKET unset) nothing happens.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Whether a service manager started the process and listens (NOTIFY_SOCKET).
bool StartedByServiceManager();
// READY=1 together with a status line.
void NotifyReady(const std::string& status);
// A new status line.
void NotifyStatus(const std::string& status);
// The period in which the manager expects a keep-alive, in milliseconds; 0
// when it watches nothing.
std::uint64_t WatchdogIntervalMs();
// WATCHDOG=1: the process is alive.
void NotifyWatchdog();

} // namespace platform
