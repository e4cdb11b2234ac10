// The exporter's local control socket: other vexil-ctl processes reach a
// line the exporter holds through it, so that no program ever takes a line
// that another one holds. One request a connection, one answer:
//   send LINE COMMAND TIMEOUT_MS DEADLINE_MS  ->  ok | unknown | error WHY
// LINE is a watched line's NAME or its address; DEADLINE_MS is when the
// sender gives up (CLOCK_MONOTONIC, in milliseconds): nothing is sent after
// it, nor after the sender hung up.
#pragma once

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
  // Listens at path (mode 0660, group dialout where that group exists);
  // nullptr with the reason when it cannot, or when another exporter
  // answers there. find maps a request's LINE to a line, or nullptr.
  static std::unique_ptr<ControlServer> Open(Loop& loop, const std::string& path,
                                             std::function<Line*(const std::string&)> find,
                                             std::string& error);
  ~ControlServer();

private:
  struct Client;
  ControlServer(Loop& loop, std::string path, int fd,
                std::function<Line*(const std::string&)> find);
  void accept();
  void serve(const std::shared_ptr<Client>& c);

  Loop& loop_;
  std::string path_;
  std::function<Line*(const std::string&)> find_;
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

// The packet of a command name ("" for an unknown one).
std::string CommandBytes(const std::string& command);

} // namespace vexilctl
