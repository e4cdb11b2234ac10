// send: one command packet on one line, through the exporter that holds the
// line when one does, else on the line itself.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "ctl/control.h"
#include "ctl/lines/line.h"
#include "ctl/reports.h"
#include "ctl/verbs.h"
#include "platform/serial.h"

namespace vexilctl {

namespace {
// How often a send looks again at a line another sender holds.
constexpr double BUSY_RETRY_S = 0.02;
} // namespace

const char SEND_HELP[] =
    "usage: vexil-ctl send [--timeout SECONDS] LINE poweroff|reboot|usb\n"
    "Sends one command packet (AA CC C1 EE, AA CC C2 EE or AA CC B1 EE) and exits 0\n"
    "once every byte has gone out on the line. When they have not within the time\n"
    "limit (3 s unless --timeout says otherwise), exits 1 saying how many went out:\n"
    "the other end does not read, or flow control holds the line.\n"
    "When a vexil-ctl exporter holds the line, the command goes through its control\n"
    "socket ($VEXIL_CONTROL_SOCKET, else /run/vexil/control.sock; root and the dialout\n"
    "group may use it), and LINE may also be the line's NAME in the exporter's lines\n"
    "file. Otherwise send opens the line itself.\n";

int Send(const Args& args) {
  std::vector<std::string> words;
  double timeout = 3.0;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--timeout" && i + 1 < args.size()) {
      char* end = nullptr;
      timeout = std::strtod(args[++i].c_str(), &end);
      if (*end || !(timeout > 0 && timeout <= 3600)) {
        std::fprintf(stderr,
                     "vexil-ctl: --timeout takes seconds, more than 0 and at most 3600, not '%s'\n",
                     args[i].c_str());
        return 2;
      }
    } else {
      words.push_back(args[i]);
    }
  }
  if (words.size() != 2) {
    std::fputs(SEND_HELP, stderr);
    return 2;
  }
  const std::string& lineText = words[0];
  const std::string& command = words[1];
  const std::string bytes = CommandBytes(command);
  if (bytes.empty()) {
    std::fprintf(stderr, "vexil-ctl: unknown command '%s': use poweroff, reboot or usb\n",
                 command.c_str());
    return 2;
  }
  const std::string said = command + " (" + VexilCtl::HexDump(bytes) + ")";

  // The exporter first: a line it holds is reached only through it.
  std::string message;
  switch (SendThroughExporter(ControlSocketPath(), lineText, command, timeout, message)) {
  case ControlAnswer::Sent:
    std::printf("sent %s on %s through the exporter\n", said.c_str(), lineText.c_str());
    return 0;
  case ControlAnswer::Failed:
    std::fprintf(stderr, "vexil-ctl: %s: %s\n", lineText.c_str(), message.c_str());
    return 1;
  case ControlAnswer::NoExporter:
  case ControlAnswer::NotWatched: break;
  }

  Address address;
  if (!ParseAddress(lineText, address, message)) {
    std::fprintf(stderr, "vexil-ctl: %s\n", message.c_str());
    return 2;
  }
  Loop loop;
  loop.StopOnSignals();
  std::unique_ptr<Line> line;
  // The time limit covers opening the line too (a console server that is
  // slow to answer): past it nothing is sent.
  const double deadline = loop.Now() + timeout;
  std::string busy; // why the line could not be had yet
  Loop::Timer late(loop, [&] {
    std::fprintf(stderr,
                 "vexil-ctl: %s: the line did not open within %.2f s%s%s; the command was not "
                 "sent\n",
                 address.Describe().c_str(), timeout, busy.empty() ? "" : ": ", busy.c_str());
    loop.Stop(1);
  });
  late.Start(timeout);
  // After its command, the line stays ours for the node's package gap, so
  // that the next sender's command (which waits for the line meanwhile)
  // cannot run into this one at the node.
  Loop::Timer hold(loop, [&] { loop.Stop(0); });
  std::function<void()> open;
  Loop::Timer again(loop, [&] { open(); });
  Line::Events events;
  bool given = false; // the command was handed to the line, which tells its end
  events.State = [&](const std::string& event, const std::string& why) {
    if (given)
      return;
    if (event == "failed") {
      // Another sender holds the line for its command: wait for it.
      if (why.find(platform::DescribeOpenError(EBUSY)) != std::string::npos &&
          loop.Now() + BUSY_RETRY_S < deadline) {
        busy = why;
        again.Start(BUSY_RETRY_S);
        return;
      }
      late.Stop();
      std::fprintf(stderr, "vexil-ctl: %s\n", why.c_str());
      loop.Stop(1);
    } else if (event == "usable") {
      // Connected: the command goes at once, without waiting for the settle.
      late.Stop();
      given = true;
      line->Send(
          bytes, std::max(0.001, deadline - loop.Now()),
          [&](bool ok, const std::string& why) {
            if (ok) {
              std::printf("sent %s on %s\n", said.c_str(), lineText.c_str());
              std::fflush(stdout);
              hold.Start(Line::COMMAND_GAP_S);
              return;
            }
            std::fprintf(stderr, "vexil-ctl: %s: %s\n", address.Describe().c_str(), why.c_str());
            loop.Stop(1);
          },
          timeout);
    }
  };
  open = [&] {
    line = Line::Make(loop, address, lineText, events);
    line->Start(false);
  };
  open();
  const int status = loop.Run();
  line.reset(); // nothing goes out once the run is over
  return status;
}

} // namespace vexilctl
