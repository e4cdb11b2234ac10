// vexil-ctl: the controller's end of the lines.
//
//   vexil-ctl watch [--json] LINE...
//   vexil-ctl send [--timeout S] LINE poweroff|reboot|usb
//   vexil-ctl exporter [--listen ADDR:PORT] [--lines FILE] [LINE...]
//   vexil-ctl demo
//
// Lines in (ctl/lines: a device, a console server's RFC 2217 or raw TCP
// port, all on one event loop), reports decoded (reports.*), metrics or
// JSON out (metrics.*, watch, exporter), commands in through the
// exporter's control socket (control.*, send).
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <cstring>

#include "ctl/verbs.h"
#include "vexil/version.h"

namespace {

const char USAGE[] =
    "usage: vexil-ctl watch [--json] LINE...\n"
    "       vexil-ctl send [--timeout SECONDS] LINE poweroff|reboot|usb\n"
    "       vexil-ctl exporter [--listen ADDR:PORT]... [--lines FILE] [--web.config.file FILE]\n"
    "                          [LINE...]\n"
    "       vexil-ctl demo\n"
    "       vexil-ctl --version\n"
    "LINE is COM<n>, a device path (/dev/ttyUSB0), rfc2217://HOST:PORT or socket://HOST:PORT;\n"
    "for watch and send also a NAME from the lines file of the exporter that holds the line.\n"
    "'vexil-ctl COMMAND --help' tells more.\n";

} // namespace

int main(int argc, char** argv) {
  using namespace vexilctl;
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    std::fputs(USAGE, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (!std::strcmp(argv[1], "--version")) {
    std::printf("vexil-ctl %s\n", VEXIL_VERSION);
    return 0;
  }
  const std::string verb = argv[1];
  int (*run)(const Args&) = nullptr;
  const char* help = nullptr;
  if (verb == "watch")
    run = Watch, help = WATCH_HELP;
  else if (verb == "send")
    run = Send, help = SEND_HELP;
  else if (verb == "exporter")
    run = Exporter, help = EXPORTER_HELP;
  else if (verb == "demo")
    run = Demo, help = DEMO_HELP;
  if (!run) {
    std::fprintf(stderr, "vexil-ctl: unknown command '%s'\n%s", argv[1], USAGE);
    return 2;
  }
  const Args args(argv + 2, argv + argc);
  for (const auto& a : args)
    if (a == "--help" || a == "-h") {
      std::fputs(help, stdout);
      return 0;
    }
  // A line is a descriptor: a controller with thousands of lines needs more
  // than the usual soft limit of 1024.
  if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  signal(SIGPIPE, SIG_IGN); // a peer gone shows as an error where it is written
  return run(args);
}
