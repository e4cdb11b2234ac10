#include "ctl/metrics.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"

#include <sys/resource.h>
#include <unistd.h>

namespace VexilCtl {

namespace {

// Appends one family's HELP and TYPE lines.
void family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

// Whole numbers as such, others as the shortest text that reads back as the
// same double.
std::string number(double v) {
  if (v == std::floor(v) && std::fabs(v) < 1e15)
    return std::to_string(static_cast<long long>(v));
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// name{line="...",extra} value
void sample(std::string& out, const char* name, const LineState& l, const std::string& extra,
            const std::string& value) {
  out += name;
  out += "{line=\"";
  out += LabelValue(l.Line);
  out += '"';
  if (!extra.empty()) {
    out += ',';
    out += extra;
  }
  out += "} ";
  out += value;
  out += '\n';
}

std::string label(const char* name, const std::string& value) {
  return std::string(name) + "=\"" + LabelValue(value) + "\"";
}

} // namespace

std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  const auto last = s.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : s.substr(first, last - first + 1);
}

bool NodeUp(const LineState& l, double mono) {
  return l.LastSeen >= 0 && mono - l.LastSeen <= NODE_UP_SECONDS;
}

Power PowerOf(const LineState& l, double mono) {
  const bool fresh = NodeUp(l, mono);
  // The node was up when the command went, and went quiet soon after: it
  // heard and acted.
  const bool acted = !l.PowerCommand.empty() && l.LastSeen >= l.PowerCommandAt - NODE_UP_SECONDS &&
                     l.LastSeen <= l.PowerCommandAt + POWER_ACTS_WITHIN_SECONDS;
  if (l.PowerCommand == "poweroff") {
    if (fresh)
      return mono - l.PowerCommandAt <= POWER_ACTS_WITHIN_SECONDS ? Power::PoweringOff : Power::On;
    return acted ? Power::Off : Power::Unknown;
  }
  if (l.PowerCommand == "reboot" && !fresh && acted &&
      mono - l.PowerCommandAt <= REBOOT_WITHIN_SECONDS)
    return Power::PoweringOn;
  return fresh ? Power::On : Power::Unknown;
}

const char* PowerName(Power power) {
  switch (power) {
  case Power::On: return "On";
  case Power::PoweringOff: return "PoweringOff";
  case Power::Off: return "Off";
  case Power::PoweringOn: return "PoweringOn";
  case Power::Unknown: break;
  }
  return "Unknown";
}

void LineState::Take(const Piece& piece, double now, double mono) {
  if (piece.Type == Piece::Inventory || piece.Type == Piece::Load) {
    if (mono < 0)
      mono = now;
    // Back after a silence that began after the command: the command is
    // done with (a node powered on again, or rebooted).
    if (!PowerCommand.empty() && mono > PowerCommandAt &&
        (LastSeen < 0 || mono - LastSeen > NODE_UP_SECONDS))
      PowerCommand.clear();
    LastSeen = mono;
  }
  switch (piece.Type) {
  case Piece::Inventory:
    ++Inventories;
    LastInventory = now;
    HasInventory = true;
    Inv = piece.Inv;
    break;
  case Piece::Load:
    ++Loads;
    LastLoad = now;
    HasLoad = true;
    Ld = piece.Ld;
    break;
  default: ++Bad[piece.Reason]; break;
  }
}

std::string LabelValue(const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char c : ShowBytes(bytes, false)) {
    if (c == '\\')
      out += "\\\\";
    else if (c == '"')
      out += "\\\"";
    else if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

double DiskSizeBytes(const std::string& text) {
  const std::string t = Trimmed(text);
  if (t.size() < 2 || t.back() != 'G')
    return -1;
  char* end = nullptr;
  const double g = std::strtod(t.c_str(), &end);
  return end == t.c_str() + t.size() - 1 && g >= 0 ? g * 1e9 : -1;
}

// While a node is not up its figures are left out, so that Prometheus marks
// them stale instead of keeping a dead node's last load; vexil_node_up and the
// last-report times stay.
std::string FormatMetrics(const std::vector<LineState>& lines, double now, double mono) {
  if (mono < 0)
    mono = now;
  std::string out;
  out.reserve(1024 + lines.size() * 3000);
  family(out, "vexil_line_open", "gauge",
         "Whether the serial line's device is open (1) or not (0).");
  for (const auto& l : lines)
    sample(out, "vexil_line_open", l, "", l.Open ? "1" : "0");
  family(out, "vexil_node_up", "gauge",
         "Whether the node on the line sent a report within the last 15 seconds.");
  for (const auto& l : lines)
    sample(out, "vexil_node_up", l, "", NodeUp(l, mono) ? "1" : "0");
  family(out, "vexil_node_power_state", "gauge",
         "The node's power (1 for the state it is in) as its reports and the power commands "
         "sent tell: On while it reports, PoweringOff and Off after a power-off, PoweringOn "
         "while it reboots, Unknown when it went quiet with no command to say why.");
  for (const auto& l : lines) {
    const Power state = PowerOf(l, mono);
    for (Power p : {Power::On, Power::PoweringOff, Power::Off, Power::PoweringOn, Power::Unknown})
      sample(out, "vexil_node_power_state", l, std::string("state=\"") + PowerName(p) + "\"",
             p == state ? "1" : "0");
  }
  family(out, "vexil_last_report_timestamp_seconds", "gauge",
         "When the last report of each kind arrived, in seconds since the epoch.");
  for (const auto& l : lines) {
    if (l.LastInventory > 0)
      sample(out, "vexil_last_report_timestamp_seconds", l, "report=\"inventory\"",
             number(l.LastInventory));
    if (l.LastLoad > 0)
      sample(out, "vexil_last_report_timestamp_seconds", l, "report=\"load\"", number(l.LastLoad));
  }
  family(out, "vexil_reports_total", "counter", "Reports received, by kind.");
  for (const auto& l : lines) {
    sample(out, "vexil_reports_total", l, "report=\"inventory\"", std::to_string(l.Inventories));
    sample(out, "vexil_reports_total", l, "report=\"load\"", std::to_string(l.Loads));
  }
  family(out, "vexil_bad_packages_total", "counter",
         "Pieces of packages that were no report, by what was wrong.");
  for (const auto& l : lines)
    for (const auto& reason : BadReasons()) {
      const auto it = l.Bad.find(reason);
      sample(out, "vexil_bad_packages_total", l, "reason=\"" + reason + "\"",
             std::to_string(it == l.Bad.end() ? 0 : it->second));
    }
  family(out, "vexil_memory_used_ratio", "gauge",
         "Share of the node's physical memory in use (0 to 1), from the last load report.");
  for (const auto& l : lines)
    if (l.HasLoad && NodeUp(l, mono))
      sample(out, "vexil_memory_used_ratio", l, "", number(l.Ld.MemoryLoad / 100.0));
  family(out, "vexil_cpu_busy_ratio", "gauge",
         "Share of time each processor was busy (0 to 1), from the last load report.");
  for (const auto& l : lines)
    if (l.HasLoad && NodeUp(l, mono))
      for (int i = 0; i < 16; ++i)
        if (l.Ld.Cpu[i] >= 0)
          sample(out, "vexil_cpu_busy_ratio", l, "cpu=\"" + std::to_string(i) + "\"",
                 number(l.Ld.Cpu[i] / 100.0));
  family(out, "vexil_memory_total_bytes", "gauge", "The node's physical memory, in bytes.");
  for (const auto& l : lines)
    if (l.HasInventory && NodeUp(l, mono))
      sample(out, "vexil_memory_total_bytes", l, "",
             std::to_string(static_cast<unsigned long long>(l.Inv.MemoryUnits) * 1024000));
  family(out, "vexil_disk_total_bytes", "gauge",
         "The size of the node's disks together, in bytes.");
  for (const auto& l : lines)
    if (l.HasInventory && NodeUp(l, mono))
      if (const double bytes = DiskSizeBytes(l.Inv.DiskSize); bytes >= 0)
        sample(out, "vexil_disk_total_bytes", l, "", number(bytes));
  family(out, "vexil_processors", "gauge", "The node's processors.");
  for (const auto& l : lines)
    if (l.HasInventory && NodeUp(l, mono))
      sample(out, "vexil_processors", l, "", std::to_string(l.Inv.Processors));
  family(out, "vexil_cpu_frequency_hertz", "gauge",
         "The clock of the node's processors, in hertz.");
  for (const auto& l : lines)
    if (l.HasInventory && NodeUp(l, mono))
      sample(out, "vexil_cpu_frequency_hertz", l, "", number(l.Inv.ClockMHz * 1e6));
  family(out, "vexil_node_info", "gauge",
         "The node's host name, OS, processor model and addresses, from its last inventory "
         "report.");
  for (const auto& l : lines)
    if (l.HasInventory && NodeUp(l, mono))
      sample(out, "vexil_node_info", l,
             label("hostname", l.Inv.HostName) + "," + label("os", Trimmed(l.Inv.Os)) + "," +
                 label("cpu_model", Trimmed(l.Inv.ProcessorModel)) + "," +
                 label("ip1", l.Inv.Addresses[0]) + "," + label("ip2", l.Inv.Addresses[1]) + "," +
                 label("ip3", l.Inv.Addresses[2]) + "," + label("ip4", l.Inv.Addresses[3]),
             "1");
  return out;
}

std::string FormatExporterMetrics(const std::string& version, const std::string& revision,
                                  const std::string& procRoot) {
  std::string out;
  family(out, "vexil_exporter_build_info", "gauge",
         "The exporter's version and the revision it was built from; always 1.");
  out += "vexil_exporter_build_info{version=\"" + LabelValue(version) + "\",revision=\"" +
         LabelValue(revision) + "\"} 1\n";
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  std::string stat;
  platform::ReadTextFile(procRoot + "/stat", stat);
  const auto close = stat.rfind(')');
  if (close != std::string::npos) {
    // Fields after the name, from the state (field 3) on.
    std::istringstream rest(stat.substr(close + 2));
    std::vector<std::string> f;
    for (std::string w; rest >> w;)
      f.push_back(w);
    if (f.size() > 21) {
      family(out, "process_cpu_seconds_total", "counter",
             "Total user and system CPU time spent in seconds.");
      out += "process_cpu_seconds_total " + number((std::stod(f[11]) + std::stod(f[12])) / ticks) +
             "\n";
      family(out, "process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
      out += "process_resident_memory_bytes " +
             number(std::stod(f[21]) * static_cast<double>(sysconf(_SC_PAGESIZE))) + "\n";
      family(out, "process_virtual_memory_bytes", "gauge", "Virtual memory size in bytes.");
      out += "process_virtual_memory_bytes " + f[20] + "\n";
      // The start, in clock ticks after boot. When the machine booted is
      // the wall clock less the time since boot (a confined service may not
      // see /proc/stat's btime: ProcSubset=pid).
      timespec wall{}, sinceBoot{};
      clock_gettime(CLOCK_REALTIME, &wall);
      clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
      const double boot = static_cast<double>(wall.tv_sec - sinceBoot.tv_sec) +
                          static_cast<double>(wall.tv_nsec - sinceBoot.tv_nsec) / 1e9;
      family(out, "process_start_time_seconds", "gauge",
             "Start time of the process since unix epoch in seconds.");
      out += "process_start_time_seconds " + number(boot + std::stod(f[19]) / ticks) + "\n";
    }
  }
  std::error_code ec;
  std::size_t fds = 0;
  for (auto it = std::filesystem::directory_iterator(procRoot + "/fd", ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    ++fds;
  family(out, "process_open_fds", "gauge", "Number of open file descriptors.");
  out += "process_open_fds " + std::to_string(fds) + "\n";
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  family(out, "process_max_fds", "gauge", "Maximum number of open file descriptors.");
  out += "process_max_fds " + std::to_string(files.rlim_cur) + "\n";
  return out;
}

} // namespace VexilCtl
