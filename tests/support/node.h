// A vexil-agent on one end of a virtual cable, for the controller's tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ctl/virtual_line.h"
#include "tests/support/child.h"

// A vexil-agent on one end of a virtual cable; the other end is the
// controller's side. Its power actions are recorded in its folder's
// power.log, one word a line.
struct Node {
  VirtualLine cable;
  ChildProcess agent;
  std::filesystem::path ports;
  Node(const std::filesystem::path& dir, const std::string& name) : ports(dir / name) {
    std::string error;
    EXPECT_TRUE(cable.Create(error)) << error;
    std::filesystem::create_directories(ports);
    std::filesystem::create_symlink(cable.End(0), ports / "COM2");
    const std::filesystem::path recorder = ports / "record-power";
    std::ofstream(recorder) << "#!/bin/sh\necho \"$1\" >> '" << (ports / "power.log").string()
                            << "'\n";
    std::filesystem::permissions(recorder, std::filesystem::perms::owner_all);
    // (Ahead of the test's own load where it may: a node whose reader the
    // suite starves past its 50 ms package silence joins two commands the
    // controller kept apart. Without root, nice says so and runs it as is.)
    agent.pid =
        SpawnChild("/usr/bin/nice", {"-n", "-10", VEXIL_AGENT_PATH},
                   {"VEXIL_PORT_DIR=" + ports.string(), "VEXIL_POWER_COMMAND=" + recorder.string(),
                    "QT_QPA_PLATFORM=offscreen", "PATH=/usr/bin:/bin", "LANG=C"},
                   (ports / "out").string(), (ports / "err").string());
  }
  const std::string& Far() const { return cable.End(1); }
  std::string PowerLog() const { return ReadWholeFile((ports / "power.log").string()); }
};
