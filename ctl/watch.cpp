// watch: every package of each line as it arrives, decoded, and what
// happens to the lines.
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <memory>

#include "ctl/control.h"
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
    "LINE is COM<n>, a device path, rfc2217://HOST:PORT or socket://HOST:PORT. A line\n"
    "that the exporter holds (by its NAME in the lines file, its address, or another\n"
    "path to the same device) is watched through the exporter; several watchers at once\n"
    "are fine. A line that cannot be opened at first is said, and watch ends.\n";

namespace {

void Print(const std::string& name, bool json, bool named, const VexilCtl::Piece& piece) {
  const std::string out =
      json ? VexilCtl::FormatJson(name, piece) : VexilCtl::FormatText(named ? name : "", piece);
  std::printf("%s\n", out.c_str());
  std::fflush(stdout);
}

// A line that an exporter holds, watched through its control socket: the
// stream of what the line carries, decoded here as if the line were ours.
class ExporterStream {
public:
  ExporterStream(Loop& loop, int fd, std::string name, bool json, bool named)
      : loop_(loop), name_(std::move(name)), json_(json), named_(named),
        watch_(std::make_unique<Loop::Watch>(loop, fd, [this] { readable(); })) {
    watch_->Read(true);
  }

private:
  void readable() {
    char buf[4096];
    const ssize_t n = recv(watch_->Fd(), buf, sizeof buf, 0);
    if (n <= 0) {
      if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        std::fprintf(stderr, "vexil-ctl: %s: the exporter stopped; watch ends\n", name_.c_str());
        watch_->Read(false);
        loop_.Stop(1);
      }
      return;
    }
    buffer_.append(buf, static_cast<std::size_t>(n));
    for (std::size_t end; (end = buffer_.find('\n')) != std::string::npos;) {
      const std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      take(line);
    }
  }

  void take(const std::string& line) {
    const auto space = line.find(' ');
    const std::string kind = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    std::string bytes;
    if (kind == "piece" && FromHex(rest, bytes)) {
      for (const auto& piece : VexilCtl::SplitPackage(bytes))
        Print(name_, json_, named_, piece);
    } else if (kind == "event") {
      const std::string event = rest.substr(0, rest.find(' '));
      const std::string why =
          rest.find(' ') == std::string::npos ? "" : rest.substr(rest.find(' ') + 1);
      if (event == "down")
        std::fprintf(stderr, "vexil-ctl: %s: line not open: %s (at the exporter)\n", name_.c_str(),
                     why.c_str());
      else
        std::fprintf(stderr, "vexil-ctl: %s: line %s%s (at the exporter)\n", name_.c_str(),
                     event.c_str(), why.empty() ? "" : (" (" + why + ")").c_str());
      if (json_) {
        std::printf("%s\n", VexilCtl::FormatJsonEvent(name_, event, why).c_str());
        std::fflush(stdout);
      }
    } else if (kind == "end") {
      std::fprintf(stderr, "vexil-ctl: %s: %s; watch ends\n", name_.c_str(), rest.c_str());
      loop_.Stop(1);
    }
  }

  Loop& loop_;
  std::string name_;
  bool json_, named_;
  std::string buffer_;
  std::unique_ptr<Loop::Watch> watch_;
};

} // namespace

int Watch(const Args& args) {
  bool json = false;
  std::vector<std::string> names;
  for (const auto& a : args)
    if (a == "--json")
      json = true;
    else
      names.push_back(a);
  if (names.empty()) {
    std::fputs(WATCH_HELP, stderr);
    return 2;
  }
  Loop loop;
  loop.StopOnSignals();
  const bool named = names.size() > 1 || json;
  std::vector<std::unique_ptr<Line>> lines;
  std::vector<std::unique_ptr<ExporterStream>> streams;
  std::vector<Address> own;
  for (const auto& name : names) {
    // A line the exporter holds is watched through it, by its name in the
    // lines file or its address.
    ControlAnswer answer;
    std::string message;
    const int fd = WatchThroughExporter(ControlSocketPath(), name, answer, message);
    if (fd >= 0) {
      std::fprintf(stderr, "vexil-ctl: %s: watched through the exporter, which holds it\n",
                   name.c_str());
      streams.push_back(std::make_unique<ExporterStream>(loop, fd, name, json, named));
      continue;
    }
    if (answer == ControlAnswer::Failed) {
      std::fprintf(stderr, "vexil-ctl: %s: %s\n", name.c_str(), message.c_str());
      return 1;
    }
    Address address;
    std::string error;
    if (!ParseAddress(name, address, error)) {
      std::fprintf(stderr, "vexil-ctl: %s%s\n", error.c_str(),
                   answer == ControlAnswer::NotWatched ? " (nor a line the exporter holds)" : "");
      return 2;
    }
    own.push_back(address);
  }
  for (const auto& address : own) {
    const std::string name = address.Text;
    Line::Events events;
    events.Piece = [name, json, named](const VexilCtl::Piece& piece) {
      Print(name, json, named, piece);
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
      line->Start(true, false);
  return loop.Run();
}

} // namespace vexilctl
