// A request to end the run, as something an event loop can watch: SIGTERM,
// SIGINT and SIGHUP (the terminal or session went away) on POSIX; on Windows
// the console's Ctrl-C, Ctrl-Break and close, and the service manager's stop
// and shutdown.
#pragma once

#include <functional>

namespace platform {

#ifndef _WIN32
// Installs handlers for SIGTERM, SIGINT and SIGHUP (once) and returns a descriptor
// that becomes readable when one arrives; -1 when it cannot be made.
int TerminationSignalFd();
// Takes what the arrived signals left on the descriptor.
void ConsumeTerminationSignals(int fd);
#else
// Calls OnRequest, on a thread of the system's, at every request to end the
// run; null stops that and tells a console that closes that the run is over
// (the system ends the process as soon as the console handler returns).
void SetTerminationHandler(std::function<void()> OnRequest);
// A request to end the run, as the console's Ctrl-C makes one (the service
// manager's stop control).
void RequestTermination();
#endif

} // namespace platform
