// watch: every package of each line as it arrives, decoded, and what
// happens to the lines.
#include <cstdio>
#include <memory>

#include "ctl/lines/line.h"
#include "ctl/verbs.h"

namespace vexilctl {

const char WATCH_HELP[] =
    "usage: vexil-ctl watch [--json] LINE...\n"
    "Opens each line (a local one at 19200 baud, 8N1; an RFC 2217 port set to the same)\n"
    "and prints every package from the agent as it arrives: inventory and load reports\n"
    "decoded, anything else as a hex dump with the reason; stray bytes are shown apart\n"
    "and the reports after them still decode. With several lines each output names its\n"
    "line. --json prints one JSON object a line. A line that is lost (cable or adapter\n"
    "pulled, console server gone) is said on standard error ({\"event\":\"lost\"} with\n"
    "--json) and opened again, after 1 s at first and at most 30 s apart, until it is\n"
    "back. Runs until interrupted (Ctrl-C, SIGTERM, SIGHUP).\n"
    "LINE is COM<n>, a device path, rfc2217://HOST:PORT or socket://HOST:PORT.\n";

int Watch(const Args& args) {
  bool json = false;
  std::vector<Address> addresses;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
      continue;
    }
    Address address;
    std::string error;
    if (!ParseAddress(a, address, error)) {
      std::fprintf(stderr, "vexil-ctl: %s\n", error.c_str());
      return 2;
    }
    addresses.push_back(address);
  }
  if (addresses.empty()) {
    std::fputs(WATCH_HELP, stderr);
    return 2;
  }
  Loop loop;
  loop.StopOnSignals();
  const bool named = addresses.size() > 1 || json;
  std::vector<std::unique_ptr<Line>> lines;
  for (const auto& address : addresses) {
    const std::string name = address.Text;
    Line::Events events;
    events.Piece = [name, json, named](const VexilCtl::Piece& piece) {
      const std::string out =
          json ? VexilCtl::FormatJson(name, piece) : VexilCtl::FormatText(named ? name : "", piece);
      std::printf("%s\n", out.c_str());
      std::fflush(stdout);
    };
    auto opened = std::make_shared<bool>(false);
    events.State = [&loop, name, json, opened](const std::string& event, const std::string& why) {
      if (event == "open") {
        *opened = true;
      } else if (event == "failed" && !*opened) {
        // Not even the first open: nothing to watch.
        std::fprintf(stderr, "vexil-ctl: %s\n", why.c_str());
        loop.Stop(1);
      } else if (json && (event == "lost" || event == "back")) {
        std::printf("%s\n", VexilCtl::FormatJsonEvent(name, event, why).c_str());
        std::fflush(stdout);
      }
    };
    lines.push_back(Line::Make(loop, address, name, std::move(events)));
  }
  for (auto& line : lines)
    if (!loop.Stopped())
      line->Start(true);
  return loop.Run();
}

} // namespace vexilctl
