// The figures the agent uses: the system's own unless a test installs others.
#include <atomic>

#include "platform/sysfigures.h"

namespace platform {

namespace {

std::atomic<SystemFigures*> installed{nullptr};

} // namespace

SystemFigures& Figures() {
  SystemFigures* f = installed.load();
  return f ? *f : NativeSystemFigures();
}

SystemFigures* SetSystemFigures(SystemFigures* figures) {
  return installed.exchange(figures);
}

} // namespace platform
