// exporter: the lines as Prometheus metrics, their commands through the
// control socket, its lines from the command line and a lines file that is
// followed as it changes.
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "ctl/control.h"
#include "ctl/http/server.h"
#include "ctl/lines/line.h"
#include "ctl/lines_file.h"
#include "ctl/metrics.h"
#include "ctl/redfish.h"
#include "ctl/verbs.h"
#include "platform/service.h"
#include "vexil/version.h"

namespace fs = std::filesystem;

namespace vexilctl {

const char EXPORTER_HELP[] =
    "usage: vexil-ctl exporter [--listen ADDR:PORT]... [--web.config.file FILE]\n"
    "                          [--redfish[=yes|no]] [--lines FILE] [LINE...]\n"
    "Watches the lines as watch does and serves what they carry as Prometheus metrics\n"
    "on GET /metrics, with a page of the lines on GET /. --listen (repeatable) takes\n"
    ":PORT (every address, the default :9868), [IPv6]:PORT or HOST:PORT, several apart\n"
    "by spaces or commas. The web config file (the exporters' YAML: tls_server_config,\n"
    "basic_auth_users with bcrypt hashes) turns on TLS and basic auth. --redfish adds\n"
    "a Redfish service under /redfish/v1, every line a system; its Reset action powers\n"
    "nodes off and reboots them for the users the web config names in\n"
    "redfish_operators, over TLS only. A line that\n"
    "cannot be opened, or is lost, is tried again after 1 s at first and at most 30 s\n"
    "apart.\n"
    "The lines file names lines one per row, NAME LINE (# comments); NAME is the line\n"
    "label of its metrics. When it changes, added rows open, removed rows close, and the\n"
    "others keep their state; a bad row is reported with its number and skipped.\n"
    "While it runs, vexil-ctl send reaches its lines through its control socket\n"
    "($VEXIL_CONTROL_SOCKET, else /run/vexil/control.sock, for root and group dialout).\n"
    "SIGHUP reads the lines file again; it runs until Ctrl-C or SIGTERM.\n";

namespace {

// What stopped the start, said on standard error (the journal) and kept for
// the service manager's status line, where `systemctl status` shows it.
std::string startFailure;
void failedStart(const std::string& why) {
  std::fprintf(stderr, "vexil-ctl: %s\n", why.c_str());
  startFailure = why;
}

double wallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// For how fresh a node's reports are: a clock that no one sets.
double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The watchers of one line (vexil-ctl watch through the control socket),
// each a sink for the line's stream. On the loop.
struct Watchers {
  std::map<int, std::function<void(const std::string&)>> Sinks;
  int Next = 0;
  void Tell(const std::string& text) {
    const auto sinks = Sinks; // a sink may leave while told
    for (const auto& [id, sink] : sinks)
      sink(text);
  }
};

// One watched line with what the metrics show of it.
struct Row {
  std::string Name, Text;
  bool FromFile = false;
  Address Addr;
  std::unique_ptr<Line> L;
  VexilCtl::LineState State; // under LineExporter::lock_
  std::shared_ptr<Watchers> W = std::make_shared<Watchers>();
  ~Row() { W->Tell("end the exporter closed the line"); }
};

class LineExporter {
public:
  explicit LineExporter(Loop& loop) : loop_(loop), reload_(loop, [this] { readLinesFile(); }) {}

  ~LineExporter() {
    control_.reset();
    http_.reset(); // no scrape runs any more
    rows_.clear();
  }

  // A line from the command line; false (said) for a bad address or a line
  // named twice.
  bool AddArgument(const std::string& text) {
    Address address;
    std::string error;
    if (!ParseAddress(text, address, error)) {
      failedStart(error);
      return false;
    }
    if (const Row* same = sameLine(address)) {
      failedStart(text + " is named twice (as " + same->Name + " already): name each line once");
      return false;
    }
    add(text, text, address, false);
    return true;
  }

  // Follows a lines file: read now and whenever it changes on disk, and on
  // Reload (SIGHUP). The path may be a link (configuration is deployed so,
  // a Kubernetes ConfigMap too): the folders of the link and of each target
  // are watched, and the chain is followed anew at every change.
  bool FollowLinesFile(const std::string& path) {
    linesFile_ = fs::absolute(path).lexically_normal();
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) {
      failedStart("cannot follow " + linesFile_.string() + ": " + std::strerror(errno));
      return false;
    }
    inotify_ = std::make_unique<Loop::Watch>(loop_, fd, [this, fd] {
      alignas(inotify_event) char buf[4096];
      bool ours = false;
      for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        for (char* p = buf; p < buf + n;) {
          const auto* e = reinterpret_cast<const inotify_event*>(p);
          if (e->len && chainNames_.count(e->name))
            ours = true;
          p += sizeof(inotify_event) + e->len;
        }
      if (ours)
        reload_.Start(0.2); // one read for a burst of changes
    });
    inotify_->Read(true);
    if (!watchChain()) {
      failedStart("cannot follow " + linesFile_.string() + ": " + std::strerror(errno));
      return false;
    }
    return readLinesFile(true);
  }

  // SIGHUP: the lines file is read again (the rest stays as it is).
  void Reload() {
    if (linesFile_.empty()) {
      std::fprintf(stderr, "vexil-ctl: SIGHUP: no lines file to read again (--lines)\n");
      return;
    }
    std::fprintf(stderr, "vexil-ctl: SIGHUP: reading %s again\n", linesFile_.c_str());
    readLinesFile();
  }

  // 0 when serving, else the exit status.
  int Serve(const std::vector<std::string>& listen, const WebConfig& web, bool redfish) {
    std::string error;
    // The control socket first: once the endpoint answers, commands can go.
    control_ = ControlServer::Open(
        loop_, ControlSocketPath(), [this](const std::string& name) { return find(name); },
        [this](const std::string& name, std::function<void(const std::string&)> sink) {
          return watchLine(name, std::move(sink));
        },
        error, [this](Line* line, const std::string& command) { powerSent(line, command); });
    if (!control_)
      std::fprintf(stderr,
                   "vexil-ctl: no control socket (%s): vexil-ctl send cannot reach the lines "
                   "this exporter holds\n",
                   error.c_str());
    bool usage = false;
    HttpServer::Hooks hooks;
    hooks.Answer = [this](const HttpRequest& request) { return answer(request); };
    if (redfish) {
      redfish_ = std::make_unique<RedfishService>(redfishLines(), web);
      hooks.Public = &RedfishService::Public;
      hooks.TokenUser = [this](const HttpRequest& request, const std::string& token) {
        return redfish_->SessionUser(request, token);
      };
      hooks.Dress = &RedfishService::Dress;
    }
    http_ = HttpServer::Start(listen, web, std::move(hooks), error, usage);
    if (!http_) {
      failedStart(error);
      return usage ? 2 : 1;
    }
    for (const auto& url : http_->Urls()) {
      std::fprintf(stderr, "vexil-ctl: serving metrics of %zu line(s) on %s/metrics\n",
                   rows_.size(), url.c_str());
      if (redfish_)
        std::fprintf(stderr, "vexil-ctl: serving Redfish on %s/redfish/v1 (%s; UUID %s)\n",
                     url.c_str(), redfish_->Mode().c_str(), redfish_->Uuid().c_str());
    }
    return 0;
  }

  // A few words for the service manager's status line.
  std::string Status() const {
    std::string urls;
    for (const auto& url : http_->Urls())
      urls += (urls.empty() ? "" : " ") + url + "/metrics";
    return "serving " + std::to_string(rows_.size()) + " line(s) on " + urls;
  }

  // The lines open once the endpoint serves: a start that fails on its
  // --listen touches no line. They open in batches on the loop, so that the
  // control socket and the endpoint answer from the first second however
  // many there are.
  void StartLines() {
    started_ = true;
    for (const auto& r : rows_)
      pending_.push_back(r.get());
    openSoon();
  }

private:
  void add(const std::string& name, const std::string& text, const Address& address,
           bool fromFile) {
    auto row = std::make_unique<Row>();
    row->Name = name;
    row->Text = text;
    row->FromFile = fromFile;
    row->Addr = address;
    row->State.Line = name;
    Row* r = row.get();
    Line::Events events;
    events.Piece = [this, r](const VexilCtl::Piece& piece) {
      {
        std::lock_guard lock(lock_);
        r->State.Take(piece, wallSeconds(), monotonicSeconds());
      }
      if (!r->W->Sinks.empty())
        r->W->Tell("piece " + ToHex(piece.Bytes));
    };
    events.State = [this, r](const std::string& event, const std::string& why) {
      if (event == "usable")
        return; // open only once settled
      {
        std::lock_guard lock(lock_);
        r->State.Open = event == "open" || event == "back";
        r->State.Problem = r->State.Open ? "" : why;
      }
      if (event == "lost" || event == "back")
        r->W->Tell("event " + event + (why.empty() ? "" : " " + why));
    };
    row->L = Line::Make(loop_, address, name, std::move(events));
    {
      std::lock_guard lock(lock_);
      rows_.push_back(std::move(row));
    }
    index(r, true);
    if (started_) {
      pending_.push_back(r);
      openSoon();
    }
  }

  // Lines waiting to open, a batch at a time between the loop's other work.
  void openSoon() {
    if (opening_ || pending_.empty())
      return;
    opening_ = true;
    loop_.Defer([this, alive = std::weak_ptr<int>(alive_)] {
      if (alive.expired())
        return; // the exporter ended before the batch's turn
      opening_ = false;
      for (int n = 0; n < OPEN_BATCH && !pending_.empty(); ++n) {
        Row* r = pending_.front();
        pending_.pop_front();
        r->L->Start(true);
      }
      openSoon();
    });
  }

  // The rows by name and by what they reach (a device, whatever path names
  // it; a console server's address), for the checks of every new row.
  void index(Row* r, bool add) {
    const auto put = [&](auto& map, const auto& key) {
      if (add)
        map.emplace(key, r);
      else if (auto it = map.find(key); it != map.end() && it->second == r)
        map.erase(it);
    };
    {
      std::lock_guard lock(lock_); // (read by the Redfish service's threads too)
      put(byName_, r->Name);
    }
    if (r->Addr.Type == Address::Tty) {
      put(byPath_, r->Addr.Path);
      if (const auto device = deviceOf(r->Addr.Path))
        put(byDevice_, *device);
    } else {
      put(byServer_, r->Addr.Host + " " + std::to_string(r->Addr.Port));
    }
  }

  void remove(Row* r) {
    index(r, false);
    std::erase(pending_, r);
    std::unique_ptr<Row> gone;
    {
      std::lock_guard lock(lock_);
      for (auto it = rows_.begin(); it != rows_.end(); ++it)
        if (it->get() == r) {
          gone = std::move(*it);
          rows_.erase(it);
          break;
        }
    }
    // Closed outside the lock: the line's last events take it.
  }

  // Watches the folder of the lines file and of every link on the way to
  // the file itself; the names on the way are what a change must touch.
  bool watchChain() {
    chainNames_.clear();
    fs::path at = linesFile_;
    for (int hops = 0; hops < 16; ++hops) {
      chainNames_.insert(at.filename().string());
      const fs::path dir = at.parent_path();
      if (!watched_.count(dir.string())) {
        if (inotify_add_watch(inotify_->Fd(), dir.c_str(),
                              IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                  IN_ATTRIB) < 0)
          return hops > 0; // a link into a folder that is not there (yet)
        watched_.insert(dir.string());
      }
      std::error_code ec;
      if (!fs::is_symlink(at, ec))
        break;
      const fs::path target = fs::read_symlink(at, ec);
      if (ec)
        break;
      at = (target.is_absolute() ? target : dir / target).lexically_normal();
    }
    // A link inside the chain's folders (a ConfigMap's ..data) counts too.
    for (const auto& dir : watched_) {
      std::error_code ec;
      for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
           it.increment(ec))
        if (it->is_symlink(ec))
          chainNames_.insert(it->path().filename().string());
    }
    return true;
  }

  // Reads the lines file and brings the rows in line with it. A file that
  // cannot be read (gone, a folder, no permission) keeps the lines it named,
  // said once for each cause.
  bool readLinesFile(bool first = false) {
    watchChain();
    std::error_code ec;
    std::string problem;
    std::ifstream in;
    if (fs::is_directory(linesFile_, ec))
      problem = "it is a folder, not a file";
    else if (in.open(linesFile_); !in)
      problem = std::strerror(errno);
    if (!problem.empty()) {
      if (first)
        failedStart("cannot read " + linesFile_.string() + ": " + problem);
      else if (problem != fileProblem_)
        std::fprintf(stderr, "vexil-ctl: cannot read %s: %s; keeping the lines it named\n",
                     linesFile_.c_str(), problem.c_str());
      fileProblem_ = problem;
      return !first;
    }
    fileProblem_.clear();
    std::stringstream text;
    text << in.rdbuf();
    std::vector<std::string> errors;
    const auto wanted = ParseLinesFile(text.str(), errors);
    for (const auto& e : errors)
      std::fprintf(stderr, "vexil-ctl: %s: %s; row skipped\n", linesFile_.c_str(), e.c_str());
    std::map<std::string, const LineRow*> byName;
    for (const auto& w : wanted)
      byName[w.Name] = &w;
    // Rows gone, or naming another line now, close.
    std::vector<Row*> drop;
    for (const auto& r : rows_)
      if (r->FromFile) {
        const auto it = byName.find(r->Name);
        if (it == byName.end() || it->second->Line != r->Text)
          drop.push_back(r.get());
      }
    for (Row* r : drop)
      remove(r);
    int added = 0;
    for (const auto& w : wanted) {
      if (const auto have = byName_.find(w.Name); have != byName_.end()) {
        if (!have->second->FromFile)
          std::fprintf(stderr,
                       "vexil-ctl: %s: row %d: %s is a line of the command line; row "
                       "skipped\n",
                       linesFile_.c_str(), w.Row, w.Name.c_str());
        continue;
      }
      Address address;
      std::string error;
      ParseAddress(w.Line, address, error); // checked by the parser
      if (const Row* same = sameLine(address)) {
        std::fprintf(stderr, "vexil-ctl: %s: row %d: %s is the line of %s already; row skipped\n",
                     linesFile_.c_str(), w.Row, w.Line.c_str(), same->Name.c_str());
        continue;
      }
      add(w.Name, w.Line, address, true);
      ++added;
    }
    if (!first && (added || !drop.empty()))
      std::fprintf(stderr, "vexil-ctl: %s changed: %d line(s) added, %zu closed, %zu in all\n",
                   linesFile_.c_str(), added, drop.size(), rows_.size());
    return true;
  }

  // A power command went out on line (from vexil-ctl send or Redfish): its
  // node's power state follows from it.
  void powerSent(Line* line, const std::string& command) {
    if (command != "poweroff" && command != "reboot")
      return;
    std::lock_guard lock(lock_);
    for (const auto& r : rows_)
      if (r->L.get() == line) {
        r->State.PowerCommand = command;
        r->State.PowerCommandAt = monotonicSeconds();
      }
  }

  // What the Redfish service sees of the lines. Reading on the server's
  // threads, under the lock; a Reset goes to the loop, as a control
  // socket's send does.
  RedfishService::Lines redfishLines() {
    RedfishService::Lines lines;
    lines.Names = [this] {
      std::lock_guard lock(lock_);
      std::vector<std::string> names;
      names.reserve(rows_.size());
      for (const auto& r : rows_)
        names.push_back(r->Name);
      return names;
    };
    lines.One = [this](const std::string& name, VexilCtl::LineState& state) {
      std::lock_guard lock(lock_);
      const auto it = byName_.find(name);
      if (it == byName_.end())
        return false;
      state = it->second->State;
      return true;
    };
    lines.Now = &monotonicSeconds;
    lines.Send = [this](const std::string& name, const std::string& command, const std::string& who,
                        std::function<void(bool, const std::string&)> done) {
      loop_.Post(
          [this, alive = std::weak_ptr<int>(alive_), name, command, who, done = std::move(done)] {
            if (alive.expired())
              return done(false, "the exporter is stopping");
            const auto it = byName_.find(name);
            if (it == byName_.end())
              return done(false, "the line " + name + " was closed");
            const double timeoutMs = RedfishService::RESET_TIMEOUT_S * 1000;
            Line* line = it->second->L.get();
            SendCommand(*line, command, who, MonotonicMs() + timeoutMs, timeoutMs,
                        [this, line, command, done](bool ok, const std::string& why) {
                          if (ok)
                            powerSent(line, command);
                          done(ok, why);
                        });
          });
    };
    return lines;
  }

  // On the server's threads. Only reading: nothing here touches a line.
  HttpResponse answer(const HttpRequest& request) {
    if (redfish_ && RedfishService::Handles(request.Path))
      return redfish_->Answer(request);
    HttpResponse r;
    if (request.Path != "/" && request.Path != "/metrics") {
      r.Status = 404;
      r.Body = "Not found: the metrics are at /metrics\n";
      return r;
    }
    if (request.Method != "GET" && request.Method != "HEAD") {
      r.Status = 405;
      r.Body = "Method not allowed: GET or HEAD\n";
      r.Headers.push_back({"Allow", "GET, HEAD"});
      return r;
    }
    const auto states = snapshot();
    const double now = wallSeconds();
    if (request.Path == "/") {
      r.ContentType = "text/html; charset=utf-8";
      r.Body = landingPage(states, monotonicSeconds());
      return r;
    }
    r.ContentType = "text/plain; version=0.0.4; charset=utf-8";
    r.Body = VexilCtl::FormatMetrics(states, now, monotonicSeconds()) +
             VexilCtl::FormatExporterMetrics(VEXIL_VERSION, VEXIL_REVISION);
    return r;
  }

  static std::string html(const std::string& text) {
    std::string out;
    for (char c : VexilCtl::LabelValue(text))
      switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
      }
    return out;
  }

  // The lines, which nodes are up, how old their last report is.
  static std::string landingPage(const std::vector<VexilCtl::LineState>& states, double mono) {
    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Vexil exporter</title>"
        "<style>body{font-family:sans-serif}td,th{padding:2px 12px;text-align:left}"
        ".down{color:#b00}</style></head><body>\n<h1>Vexil exporter</h1>\n"
        "<p>vexil-ctl " VEXIL_VERSION ". Metrics: <a href=\"/metrics\">/metrics</a></p>\n"
        "<table><tr><th>line</th><th>open</th><th>node</th><th>host</th>"
        "<th>last report</th></tr>\n";
    int up = 0;
    for (const auto& l : states) {
      const bool isUp = VexilCtl::NodeUp(l, mono);
      up += isUp ? 1 : 0;
      char age[64] = "never";
      if (l.LastSeen >= 0)
        std::snprintf(age, sizeof age, "%.0f s ago", std::max(0.0, mono - l.LastSeen));
      page += "<tr><td>" + html(l.Line) + "</td><td>" + (l.Open ? "yes" : "no") + "</td><td" +
              (isUp ? ">up" : " class=\"down\">down") + "</td><td>" +
              html(l.HasInventory ? l.Inv.HostName : "") + "</td><td>" + age + "</td></tr>\n";
    }
    page += "</table>\n<p>" + std::to_string(up) + " of " + std::to_string(states.size()) +
            " node(s) up.</p>\n</body></html>\n";
    return page;
  }

  std::vector<VexilCtl::LineState> snapshot() {
    std::lock_guard lock(lock_);
    std::vector<VexilCtl::LineState> states;
    states.reserve(rows_.size());
    for (const auto& r : rows_)
      states.push_back(r->State);
    return states;
  }

  // The row a control request names: its NAME, its address as written, or
  // the same device by another path.
  Row* findRow(const std::string& name) {
    for (const auto& r : rows_)
      if (r->Name == name || r->Text == name)
        return r.get();
    Address a;
    std::string error;
    if (!ParseAddress(name, a, error) || a.Type != Address::Tty)
      return nullptr;
    return const_cast<Row*>(sameLine(a, true));
  }

  Line* find(const std::string& name) {
    Row* r = findRow(name);
    return r ? r->L.get() : nullptr;
  }

  // A watcher of the row name names, until the token goes.
  std::shared_ptr<void> watchLine(const std::string& name,
                                  std::function<void(const std::string&)> sink) {
    Row* r = findRow(name);
    if (!r)
      return nullptr;
    const int id = r->W->Next++;
    r->W->Sinks[id] = std::move(sink);
    std::weak_ptr<Watchers> weak = r->W;
    // A line that is down says so from the first moment (after the
    // watcher's "ok"), with why; "lost" and "back" follow as they happen.
    if (!r->L->IsOpen())
      loop_.Defer([weak, id, why = r->L->LastFailure()] {
        if (auto w = weak.lock(); w && w->Sinks.count(id))
          w->Sinks[id]("event down " + (why.empty() ? std::string("it is being opened") : why));
      });
    return std::shared_ptr<void>(new int(id), [weak](void* p) {
      const int* id = static_cast<int*>(p);
      if (auto w = weak.lock())
        w->Sinks.erase(*id);
      delete id;
    });
  }

  // The row that has this line already: the same network address, or the
  // same device by any path. A row's own path (the operator's) is followed
  // wherever its links go, as opening it will; a client's only while it
  // stays where devices live.
  const Row* sameLine(const Address& a, bool clients = false) const {
    const auto in = [](const auto& map, const auto& key) -> const Row* {
      const auto it = map.find(key);
      return it == map.end() ? nullptr : it->second;
    };
    if (a.Type != Address::Tty)
      return in(byServer_, a.Host + " " + std::to_string(a.Port));
    if (const Row* r = in(byPath_, a.Path))
      return r;
    const auto device = clients ? deviceWithin(a.Path) : deviceOf(a.Path);
    return device ? in(byDevice_, *device) : nullptr;
  }

  // What a row's path reaches, links followed: a character device by its
  // number, anything else by its file.
  static std::optional<std::pair<dev_t, ino_t>> deviceOf(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0)
      return std::nullopt;
    if (S_ISCHR(st.st_mode))
      return std::make_pair(st.st_rdev, ino_t{0});
    return std::make_pair(st.st_dev, st.st_ino);
  }

  // The character device a client's path names, its links followed only
  // while they stay under /dev or the port folder: nothing elsewhere is
  // looked at (".." and links out are refused before a look), so that a
  // path on a mount that hangs cannot hold the loop that serves every line.
  static std::optional<std::pair<dev_t, ino_t>> deviceWithin(const std::string& path) {
    std::vector<fs::path> roots = {"/dev"};
    if (const char* ports = std::getenv("VEXIL_PORT_DIR"); ports && *ports)
      roots.push_back(fs::path(ports).lexically_normal());
    const auto rootOf = [&](const fs::path& p) -> const fs::path* {
      for (const auto& r : roots) {
        const auto rel = p.lexically_relative(r);
        if (!rel.empty() && *rel.begin() != ".." && rel != ".")
          return &r;
      }
      return nullptr;
    };
    fs::path p = fs::path(path).lexically_normal();
    for (int links = 0; links < 40; ++links) {
      const fs::path* root = p.is_absolute() ? rootOf(p) : nullptr;
      if (!root)
        return std::nullopt;
      fs::path walked = *root;
      fs::path next;
      const fs::path rest = p.lexically_relative(*root);
      for (auto part = rest.begin(); part != rest.end(); ++part) {
        walked /= *part;
        struct stat st {};
        if (lstat(walked.c_str(), &st) != 0)
          return std::nullopt;
        if (S_ISLNK(st.st_mode)) {
          char target[PATH_MAX];
          const ssize_t n = readlink(walked.c_str(), target, sizeof target - 1);
          if (n <= 0)
            return std::nullopt;
          next = walked.parent_path() / std::string(target, std::size_t(n));
          for (auto after = std::next(part); after != rest.end(); ++after)
            next /= *after;
          break;
        }
        if (std::next(part) == rest.end())
          return S_ISCHR(st.st_mode) ? std::optional(std::make_pair(st.st_rdev, ino_t{0}))
                                     : std::nullopt;
      }
      if (next.empty())
        return std::nullopt;
      p = next.lexically_normal();
    }
    return std::nullopt; // links in a loop
  }

  Loop& loop_;
  std::mutex lock_; // rows_ and byName_ as the scrapes see them, and each row's State
  std::vector<std::unique_ptr<Row>> rows_;
  fs::path linesFile_;
  std::string fileProblem_; // why the lines file could not be read, said once
  std::set<std::string> chainNames_, watched_;
  std::unique_ptr<Loop::Watch> inotify_;
  Loop::Timer reload_;
  std::unique_ptr<RedfishService> redfish_;
  std::unique_ptr<HttpServer> http_;
  std::unique_ptr<ControlServer> control_;
  bool started_ = false;
  // Lines a batch opens at a time: the loop answers between batches.
  static constexpr int OPEN_BATCH = 64;
  std::deque<Row*> pending_;
  bool opening_ = false;
  std::shared_ptr<int> alive_ = std::make_shared<int>(0); // for work the loop runs later
  std::map<std::string, Row*> byName_;                    // written under lock_
  std::map<std::string, Row*> byPath_, byServer_;
  std::map<std::pair<dev_t, ino_t>, Row*> byDevice_;
};

int runExporter(const Args& args) {
  std::vector<std::string> listen, lines;
  std::string linesFile, webConfigFile;
  bool redfish = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--listen" && i + 1 < args.size()) {
      // One value may hold several, apart by spaces or commas (a settings
      // file's one variable); an empty one adds none.
      std::string one;
      for (char c : args[++i] + " ")
        if (c == ' ' || c == ',' || c == '\t') {
          if (!one.empty())
            listen.push_back(one);
          one.clear();
        } else {
          one += c;
        }
    } else if (args[i] == "--lines" && i + 1 < args.size())
      linesFile = args[++i];
    else if (args[i] == "--web.config.file" && i + 1 < args.size())
      webConfigFile = args[++i];
    else if (args[i] == "--redfish" || args[i].rfind("--redfish=", 0) == 0) {
      // (--redfish= with nothing: the service file's setting left empty.)
      const std::string value = args[i] == "--redfish" ? "yes" : args[i].substr(10);
      if (value != "yes" && value != "no" && !value.empty()) {
        std::fprintf(stderr, "vexil-ctl: exporter: %s: say --redfish=yes or --redfish=no\n",
                     args[i].c_str());
        startFailure = args[i] + ": say yes or no";
        return 2;
      }
      redfish = value == "yes";
    } else if (args[i].rfind("--", 0) == 0) {
      std::fprintf(stderr, "vexil-ctl: exporter: unknown option %s\n%s", args[i].c_str(),
                   EXPORTER_HELP);
      startFailure = "unknown option " + args[i];
      return 2;
    } else
      lines.push_back(args[i]);
  }
  if (listen.empty())
    listen.push_back(":9868");
  WebConfig web;
  if (std::string error; !webConfigFile.empty() && !LoadWebConfig(webConfigFile, web, error)) {
    failedStart(error);
    return 1;
  }
  if (lines.empty() && linesFile.empty()) {
    std::fprintf(stderr,
                 "vexil-ctl: exporter: no lines: name them in /etc/vexil/lines (--lines "
                 "FILE) or on the command line\n%s",
                 EXPORTER_HELP);
    startFailure = "no lines named";
    return 2;
  }
  Loop loop;
  int status = 0;
  {
    LineExporter exporter(loop);
    // SIGHUP reads the lines file again; SIGTERM and SIGINT end the run.
    loop.StopOnSignals([&exporter] { exporter.Reload(); });
    for (const auto& l : lines)
      if (!exporter.AddArgument(l))
        return 2;
    if (!linesFile.empty() && !exporter.FollowLinesFile(linesFile))
      return 1;
    if (const int rc = exporter.Serve(listen, web, redfish))
      return rc;
    exporter.StartLines();
    // Every --listen address serves: a service manager may call it started
    // (one that fails before this fails its start, with the reason).
    platform::NotifyReady(exporter.Status());
    status = loop.Run();
  }
  return status;
}

} // namespace

int Exporter(const Args& args) {
  const int status = runExporter(args);
  // A start that failed says why in the status line too: systemctl status
  // shows it while the unit waits to start again.
  if (status != 0 && !startFailure.empty())
    platform::NotifyStatus("not started: " + startFailure);
  return status;
}

} // namespace vexilctl
