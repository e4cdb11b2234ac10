// SIGTERM, SIGINT and SIGHUP (the terminal or session went away) as something
// an event loop can watch.
#pragma once

namespace platform {

// Installs handlers for SIGTERM, SIGINT and SIGHUP (once) and returns a descriptor
// that becomes readable when one arrives; -1 when it cannot be made.
int TerminationSignalFd();
// Takes what the arrived signals left on the descriptor.
void ConsumeTerminationSignals(int fd);

} // namespace platform
