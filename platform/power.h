// Powering the node off or rebooting it.
#pragma once

namespace platform {

enum class PowerAction { PowerOff, Reboot };

// Power off is forced (processes are killed, services are not stopped);
// reboot is orderly. Through systemd over D-Bus, falling back to sync() and
// reboot(2). When VEXIL_POWER_COMMAND is set, that program runs with the
// single argument "poweroff" or "reboot" instead, and nothing else happens:
// every test, benchmark and demo sets it. Results are not reported.
void DoPowerAction(PowerAction action);

} // namespace platform
