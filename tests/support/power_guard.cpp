// Linked into every test program: tests run only with a power command that
// stands in for the real power actions (the test presets and the Windows run
// set VEXIL_POWER_COMMAND). Without it a test that reaches a power action
// could power this machine off, so the program stops before the first test.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace {

class PowerGuard : public ::testing::Environment {
public:
  void SetUp() override {
    const char* command = std::getenv("VEXIL_POWER_COMMAND");
    if (!command || !*command) {
      std::fputs("VEXIL_POWER_COMMAND is not set: no test runs, as one could power this machine "
                 "off (run them with ctest --preset or ./dev.sh test)\n",
                 stderr);
      std::_Exit(2);
    }
  }
};

[[maybe_unused]] ::testing::Environment* const guard =
    ::testing::AddGlobalTestEnvironment(new PowerGuard);

} // namespace
