#include "platform/power.h"

#include <spawn.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace platform {

namespace {

// Runs the stand-in command and waits for it.
std::string runCommand(const char* program, const char* argument) {
  char* const argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
  pid_t pid = 0;
  if (const int rc = posix_spawnp(&pid, program, nullptr, nullptr, argv, environ); rc != 0)
    return std::string("cannot run VEXIL_POWER_COMMAND ") + program + ": " + std::strerror(rc);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR)
      return std::string("cannot wait for ") + program + ": " + std::strerror(errno);
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
    return std::string(program) + " exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return std::string(program) + " was ended by signal " + std::to_string(WTERMSIG(status));
  return "";
}

// One method call on the system bus; "" on success, else the error.
template <typename... Args>
std::string callSystemBus(const char* service, const char* path, const char* interface,
                          const char* method, const char* types, Args... args) {
  sd_bus* bus = nullptr;
  if (const int rc = sd_bus_open_system(&bus); rc < 0)
    return std::string("cannot reach the system bus: ") + std::strerror(-rc);
  sd_bus_error error = SD_BUS_ERROR_NULL;
  sd_bus_message* reply = nullptr;
  const int rc =
      sd_bus_call_method(bus, service, path, interface, method, &error, &reply, types, args...);
  std::string result;
  if (rc < 0) {
    result = std::string(interface) + "." + method + ": ";
    if (sd_bus_error_is_set(&error))
      result += std::string(error.name) + ": " + (error.message ? error.message : "");
    else
      result += std::strerror(-rc);
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_unref(bus);
  return result;
}

} // namespace

std::string DoPowerAction(PowerAction action) {
  const bool off = action == PowerAction::PowerOff;
  if (const char* command = std::getenv("VEXIL_POWER_COMMAND"); command && *command)
    return runCommand(command, off ? "poweroff" : "reboot");
  if (off) {
    // PowerOff() is immediate: no services are stopped.
    std::string failed = callSystemBus("org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                       "org.freedesktop.systemd1.Manager", "PowerOff", "");
    if (failed.empty())
      return "";
    sync();
    reboot(RB_POWER_OFF);
    return failed + "; reboot(2): " + std::strerror(errno);
  }
  // The orderly reboot: services are stopped first.
  std::string failed = callSystemBus("org.freedesktop.systemd1", "/org/freedesktop/systemd1",
                                     "org.freedesktop.systemd1.Manager", "StartUnit", "ss",
                                     "reboot.target", "replace-irreversibly");
  if (failed.empty())
    return "";
  const std::string logind = callSystemBus("org.freedesktop.login1", "/org/freedesktop/login1",
                                           "org.freedesktop.login1.Manager", "Reboot", "b", 0);
  if (logind.empty())
    return "";
  return failed + "; " + logind;
}

} // namespace platform
