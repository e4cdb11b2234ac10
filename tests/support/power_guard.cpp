// Linked into every test program: tests run only sealed from the machine.
// - A power command that stands in for the real power actions (the test
//   presets and the Windows run set VEXIL_POWER_COMMAND): without it a test
//   that reaches a power action could power this machine off.
// - A control socket that is not the packaged exporter's: vexil-ctl send
//   asks the exporter at VEXIL_CONTROL_SOCKET (else /run/vexil/control.sock)
//   first, so a test's "send COM3 reboot" would otherwise reach the nodes of
//   an exporter this machine runs.
// Without either, the program stops before its first test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

class PowerGuard : public ::testing::Environment {
public:
  void SetUp() override {
    const char* command = std::getenv("VEXIL_POWER_COMMAND");
    if (!command || !*command)
      refuse("VEXIL_POWER_COMMAND is not set: no test runs, as one could power this machine off");
    const char* control = std::getenv("VEXIL_CONTROL_SOCKET");
    if (!control || !*control)
      refuse("VEXIL_CONTROL_SOCKET is not set: no test runs, as a test's command could reach "
             "the exporter this machine runs (/run/vexil/control.sock)");
    if (std::strcmp(control, "/run/vexil/control.sock") == 0)
      refuse("VEXIL_CONTROL_SOCKET is /run/vexil/control.sock, the packaged exporter's: no test "
             "runs, as a test's command could reach that exporter's nodes");
  }

private:
  [[noreturn]] static void refuse(const char* why) {
    std::fprintf(stderr, "%s (run the tests with ctest --preset or ./dev.sh test)\n", why);
    std::_Exit(2);
  }
};

[[maybe_unused]] ::testing::Environment* const guard =
    ::testing::AddGlobalTestEnvironment(new PowerGuard);

} // namespace
