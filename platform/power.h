// Powering the node off or rebooting it.
#pragma once

#include <string>

namespace platform {

enum class PowerAction { PowerOff, Reboot };

// Power off is forced (processes are killed, services are not stopped):
// systemd's PowerOff over D-Bus, else sync() and reboot(2). Reboot is
// orderly: systemd's reboot.target, else logind's Reboot; when both fail
// nothing more is done (a forced reboot is not what was asked for).
// When VEXIL_POWER_COMMAND is set, that program runs with the single
// argument "poweroff" or "reboot" instead, and nothing else happens: every
// test, benchmark and demo sets it.
// Blocks until the request is answered; returns "" on success, else what
// failed and why (the D-Bus error's name and message, or the errno text).
std::string DoPowerAction(PowerAction action);

} // namespace platform
