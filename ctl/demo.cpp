// demo: the agent and the controller on a virtual line, nothing left behind.
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "ctl/control.h"
#include "ctl/lines/line.h"
#include "ctl/verbs.h"
#include "ctl/virtual_line.h"

extern char** environ;

namespace fs = std::filesystem;

namespace vexilctl {

const char DEMO_HELP[] =
    "usage: vexil-ctl demo\n"
    "Starts vexil-agent on a virtual serial line (a pty pair), watches the other end,\n"
    "sends a USB change and a reboot command after the first load report (the agent's\n"
    "power actions go to a recorder that only prints), and ends after about 20 s or\n"
    "on Ctrl-C, leaving nothing behind.\n";

namespace {

std::string agentPath() {
  if (const char* p = std::getenv("VEXIL_AGENT"); p && *p)
    return p;
  const fs::path self = fs::read_symlink("/proc/self/exe").parent_path();
  for (const fs::path& p : {self / "vexil-agent", self / ".." / "app" / "vexil-agent"})
    if (fs::exists(p))
      return fs::canonical(p).string();
  return "vexil-agent";
}

} // namespace

int Demo(const Args&) {
  // A directory nobody can have made beforehand: the recorder in it is run.
  std::string pattern = (fs::temp_directory_path() / "vexil-demo-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::fprintf(stderr, "vexil-ctl: cannot make a directory in %s: %s\n",
                 fs::temp_directory_path().c_str(), std::strerror(errno));
    return 1;
  }
  const fs::path dir = pattern;
  fs::create_directories(dir / "ports");
  struct Cleanup {
    fs::path dir;
    ~Cleanup() { fs::remove_all(dir); }
  } cleanup{dir};

  VirtualLine cable;
  std::string error;
  if (!cable.Create(error)) {
    std::fprintf(stderr, "vexil-ctl demo: %s\n", error.c_str());
    return 1;
  }
  fs::create_symlink(cable.End(0), dir / "ports" / "COM2");
  const fs::path recorder = dir / "power-recorder";
  const fs::path asked = dir / "power-asked";
  std::ofstream(recorder) << "#!/bin/sh\n"
                          << "echo \"recorder: the agent asked to $1 (nothing was done)\"\n"
                          << "echo \"$1\" >> '" << asked.string() << "'\n";
  fs::permissions(recorder, fs::perms::owner_all);

  std::printf("demo: virtual line %s <-> %s\n", cable.End(0).c_str(), cable.End(1).c_str());
  std::printf("demo: starting vexil-agent on COM2 -> %s, power actions go to a recorder\n",
              cable.End(0).c_str());
  std::fflush(stdout);
  Loop loop;
  loop.StopOnSignals(); // before the agent starts: it gets the default mask back
  const std::string agent = agentPath();
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "VEXIL_", 6) != 0)
      env.push_back(*e);
  env.push_back("VEXIL_PORT_DIR=" + (dir / "ports").string());
  env.push_back("VEXIL_POWER_COMMAND=" + recorder.string());
  std::vector<char*> envp;
  for (auto& e : env)
    envp.push_back(e.data());
  envp.push_back(nullptr);
  char* agentArgv[] = {const_cast<char*>(agent.c_str()), nullptr};
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, agent.c_str(), nullptr, &attr, agentArgv, envp.data());
  posix_spawnattr_destroy(&attr);
  if (spawned != 0) {
    std::fprintf(stderr, "vexil-ctl demo: cannot start %s: %s\n", agent.c_str(),
                 std::strerror(spawned));
    return 1;
  }

  Address address;
  ParseAddress(cable.End(1), address, error);
  std::unique_ptr<Line> line;
  bool commandsSent = false;
  Loop::Timer second(loop, [&] {
    std::printf("controller: sending reboot (AA CC C2 EE)\n");
    std::fflush(stdout);
    line->Send(CommandBytes("reboot"), 3, [](bool ok, const std::string& why) {
      if (!ok)
        std::printf("controller: %s\n", why.c_str());
    });
  });
  Line::Events events;
  events.Piece = [&](const VexilCtl::Piece& piece) {
    std::printf("controller: %s\n", VexilCtl::FormatText("", piece).c_str());
    if (piece.Type == VexilCtl::Piece::Load && !commandsSent) {
      commandsSent = true;
      std::printf("controller: sending a USB change (AA CC B1 EE)\n");
      line->Send(CommandBytes("usb"), 3, [](bool ok, const std::string& why) {
        if (!ok)
          std::printf("controller: %s\n", why.c_str());
      });
      second.Start(0.5);
    }
    std::fflush(stdout);
  };
  events.State = [&](const std::string& event, const std::string& why) {
    if (event == "failed") {
      std::fprintf(stderr, "vexil-ctl demo: %s\n", why.c_str());
      loop.Stop(1);
    }
  };
  line = Line::Make(loop, address, "demo", std::move(events));
  line->Start(false);
  std::printf("demo: watching the other end as the controller (the first report comes after "
              "about 3 s, the first load report after about 13 s)\n");
  std::fflush(stdout);
  Loop::Timer end(loop, [&] { loop.Stop(0); });
  end.Start(20);
  loop.Run();
  line.reset();

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  std::ifstream in(asked);
  const std::string what((std::istreambuf_iterator<char>(in)), {});
  std::printf("demo: the agent ended with status %d; the recorder was asked to: %s\n",
              WIFEXITED(status) ? WEXITSTATUS(status) : -1,
              what.empty() ? "nothing" : what.substr(0, what.find_last_not_of('\n') + 1).c_str());
  return what.find("reboot") != std::string::npos ? 0 : 1;
}

} // namespace vexilctl
