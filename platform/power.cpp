#include "platform/power.h"

#include <spawn.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

extern char** environ;

namespace platform {

namespace {

// Runs the stand-in command and waits for it.
void runCommand(const char* program, const char* argument) {
  char* const argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) {
    std::fprintf(stderr, "vexil: cannot run VEXIL_POWER_COMMAND %s\n", program);
    return;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// systemd's manager: PowerOff() is immediate (no services stopped), a
// reboot.target start is the orderly reboot.
bool viaSystemd(PowerAction action) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_system(&bus) < 0)
    return false;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  int rc;
  if (action == PowerAction::PowerOff)
    rc = sd_bus_call_method(bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                            "org.freedesktop.systemd1.Manager", "PowerOff", &error, &reply, "");
  else
    rc = sd_bus_call_method(bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                            "org.freedesktop.systemd1.Manager", "StartUnit", &error, &reply, "ss",
                            "reboot.target", "replace-irreversibly");
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_unref(bus);
  return rc >= 0;
}

} // namespace

void DoPowerAction(PowerAction action) {
  if (const char* command = std::getenv("VEXIL_POWER_COMMAND"); command && *command) {
    runCommand(command, action == PowerAction::PowerOff ? "poweroff" : "reboot");
    return;
  }
  if (viaSystemd(action))
    return;
  sync();
  reboot(action == PowerAction::PowerOff ? RB_POWER_OFF : RB_AUTOBOOT);
}

} // namespace platform
