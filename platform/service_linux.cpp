#include "platform/service.h"

#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>

namespace platform {

namespace {

// Status lines are one line of text for the manager.
std::string oneLine(std::string text) {
  for (char& c : text)
    if (c == '\n')
      c = ' ';
  return text;
}

} // namespace

void ConnectServiceManager() {}

void SayLine(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
}

bool StartedByServiceManager() {
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket && *socket;
}

bool RunsAsService() {
  return StartedByServiceManager();
}

void NotifyReady(const std::string& status) {
  sd_notify(0, ("READY=1\nSTATUS=" + oneLine(status)).c_str());
}

void NotifyStatus(const std::string& status) {
  sd_notify(0, ("STATUS=" + oneLine(status)).c_str());
}

std::uint64_t WatchdogIntervalMs() {
  std::uint64_t usec = 0;
  return sd_watchdog_enabled(0, &usec) > 0 ? usec / 1000 : 0;
}

void NotifyWatchdog() {
  sd_notify(0, "WATCHDOG=1");
}

void NotifyStopped(int) {}

} // namespace platform
