// The exporter's local control socket: other vexil-ctl processes reach a
// line the exporter holds through it, so that no program ever takes a line
// that another one holds. One request a connection, one answer:
//   send LINE COMMAND TIMEOUT_MS DEADLINE_MS  ->  ok | unknown | error WHY
//   watch LINE  ->  ok, then a text line for each thing the line carries
//                   ("piece HEX", "event lost WHY", "event back", "end WHY"),
//                   | unknown | error WHY
// LINE is a watched line's NAME or its address; DEADLINE_MS is when the
// sender gives up (CLOCK_MONOTONIC, in milliseconds): nothing is sent after
// it, nor after the sender hung up.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "ctl/lines/loop.h"

namespace vexilctl {

class Line;

// $VEXIL_CONTROL_SOCKET, else /run/vexil/control.sock.
std::string ControlSocketPath();

class ControlServer {
public:
  // What a watch request is given: a sink for text lines, kept until the
  // returned token goes; nullptr when the exporter does not hold the line.
  using WatchLine = std::function<std::shared_ptr<void>(
      const std::string& line, std::function<void(const std::string&)> sink)>;

  // Told of each power or USB command that went out.
  using Sent = std::function<void(Line* line, const std::string& command)>;

  // Listens at path (mode 0660, group dialout where that group exists);
  // nullptr with the reason when it cannot, or when another exporter
  // answers there. find maps a request's LINE to a line, or nullptr.
  static std::unique_ptr<ControlServer> Open(Loop& loop, const std::string& path,
                                             std::function<Line*(const std::string&)> find,
                                             WatchLine watch, std::string& error, Sent sent = {});
  ~ControlServer();

private:
  struct Client;
  ControlServer(Loop& loop, std::string path, int fd, std::function<Line*(const std::string&)> find,
                WatchLine watch, Sent sent);
  void accept();
  void serve(const std::shared_ptr<Client>& c);
  void watchFor(const std::shared_ptr<Client>& c, const std::string& name);

  Loop& loop_;
  std::string path_;
  std::function<Line*(const std::string&)> find_;
  WatchLine watch_;
  Sent sent_;
  std::unique_ptr<Loop::Watch> listen_;
  Loop::Timer acceptAgain_;
  std::vector<std::shared_ptr<Client>> clients_;
};

// What asking an exporter came to.
enum class ControlAnswer {
  NoExporter, // nothing listens: open the line yourself
  NotWatched, // an exporter runs but does not hold this line
  Sent,
  Failed, // message says why
};

// Asks the exporter at path to send command (poweroff, reboot, usb) on line
// within timeoutS. Blocks (this is the send verb's whole work).
ControlAnswer SendThroughExporter(const std::string& path, const std::string& line,
                                  const std::string& command, double timeoutS,
                                  std::string& message);

// Asks the exporter at path for line's stream. Connected with the answer
// "ok": the descriptor to read the stream from; -1 otherwise, with answer
// NoExporter, NotWatched or Failed (message says why).
int WatchThroughExporter(const std::string& path, const std::string& line, ControlAnswer& answer,
                         std::string& message);

// Puts command (poweroff, reboot, usb) on line for who ("user root (uid
// 0), PID 1234"), by deadlineMs on the CLOCK_MONOTONIC clock of a budget of
// timeoutMs, in its turn among the line's commands, and says in the log
// whether it went. done(ok, why) runs on the loop once it is decided,
// possibly at once. The command's ticket for Line::CancelSend; 0 when its
// time had run out and nothing was queued.
std::uint64_t SendCommand(Line& line, const std::string& command, const std::string& who,
                          double deadlineMs, double timeoutMs,
                          std::function<void(bool ok, const std::string& why)> done);
// CLOCK_MONOTONIC in milliseconds: the clock of SendCommand's deadline.
double MonotonicMs();

// Bytes as hex digits and back (false for text that is none).
std::string ToHex(const std::string& bytes);
bool FromHex(const std::string& hex, std::string& bytes);

// The packet of a command name ("" for an unknown one).
std::string CommandBytes(const std::string& command);

} // namespace vexilctl
