// What the exporter knows of each line, and its Prometheus text exposition.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ctl/reports.h"

namespace VexilCtl {

// A node counts as up while its last report is at most this old.
constexpr double NODE_UP_SECONDS = 15.0;

struct LineState {
  std::string Line;
  bool Open = false;
  // Wall-clock seconds of the last report of each kind; 0 before the first.
  double LastInventory = 0, LastLoad = 0;
  // The same on the monotonic clock, for the node's freshness: a wall clock
  // set back or forward must not keep a silent node up or put a live one
  // down.
  double LastSeen = -1;
  std::uint64_t Inventories = 0, Loads = 0;
  std::map<std::string, std::uint64_t> Bad; // by BadReasons() name
  bool HasInventory = false, HasLoad = false;
  InventoryReport Inv;
  LoadReport Ld;
  // Why the line is not open, when it is not ("" when no reason is known).
  std::string Problem;
  // The last power command that went out ("poweroff" or "reboot"), and
  // when on the monotonic clock; forgotten once the node reports again
  // after a silence.
  std::string PowerCommand;
  double PowerCommandAt = -1;

  // Counts one piece of a package that arrived at wall-clock second now,
  // monotonic second mono (the wall clock's when not given).
  void Take(const Piece& piece, double now, double mono = -1);
};

// Whether a node is up at monotonic second mono: a report came within
// NODE_UP_SECONDS.
bool NodeUp(const LineState& line, double mono);

// A node that heard a power command goes quiet within this long of it.
constexpr double POWER_ACTS_WITHIN_SECONDS = 60.0;
// A node that reboots reports again within this long of the command.
constexpr double REBOOT_WITHIN_SECONDS = 600.0;

// The node's power as its reports and the commands that went out tell it:
// On only while its reports are fresh; after a power-off, PoweringOff
// until they stop, then Off; after a reboot, PoweringOn while it is quiet;
// Unknown when it went quiet with no command to say why.
enum class Power { On, PoweringOff, Off, PoweringOn, Unknown };
Power PowerOf(const LineState& line, double mono);
// "On", "PoweringOff", "Off", "PoweringOn", "Unknown".
const char* PowerName(Power power);

// The text exposition (format 0.0.4) of every line at wall-clock second now,
// monotonic second mono (the wall clock's when not given).
std::string FormatMetrics(const std::vector<LineState>& lines, double now, double mono = -1);

// The exporter's own series: vexil_exporter_build_info{version,revision} 1
// and the process_* metrics every exporter has, read from procRoot
// ("/proc/self" for this process) at wall-clock second now.
std::string FormatExporterMetrics(const std::string& version, const std::string& revision,
                                  const std::string& procRoot = "/proc/self");

// A label value as the format wants it: UTF-8 as given (bytes that are no
// UTF-8 as \xHH), with backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& bytes);

// A report's text without the spaces around it (the agent pads some).
std::string Trimmed(const std::string& text);

// The agent's disk size text (" 160.0G", gigabytes of 10^9 bytes) in bytes;
// -1 when it is no number.
double DiskSizeBytes(const std::string& text);

} // namespace VexilCtl
