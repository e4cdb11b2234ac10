#include "ctl/control.h"

#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

#include "ctl/lines/line.h"

namespace vexilctl {

namespace {

// A request is one short line; anything longer is no request.
constexpr std::size_t REQUEST_MAX = 1024;
// A client that says nothing is dropped after this long.
constexpr double CLIENT_IDLE_S = 5.0;
// Clients at once that ask or send (more are turned away with a word), and
// watchers beside them: a pool each, so that watchers, which any member of a
// line's group may open and hold, can never take the place of a command.
constexpr std::size_t CLIENTS_MAX = 64;
constexpr std::size_t WATCHERS_MAX = 64;
// Out of descriptors: accepting pauses this long instead of spinning.
constexpr double ACCEPT_PAUSE_S = 0.5;
// How long past its deadline a client waits for the exporter's answer.
constexpr double ANSWER_GRACE_MS = 1000;

// CLOCK_MONOTONIC in milliseconds: the deadline a request carries, which
// the client and the exporter on one machine read alike.
double monotonicMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

// "user root (uid 0), PID 1234" for the process at the other end of fd.
std::string peerOf(int fd) {
  ucred cred{};
  socklen_t n = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &n) != 0)
    return "an unknown sender";
  char buf[1024];
  passwd pw{}, *found = nullptr;
  const std::string user = getpwuid_r(cred.uid, &pw, buf, sizeof buf, &found) == 0 && found
                               ? std::string(found->pw_name)
                               : "#" + std::to_string(cred.uid);
  return "user " + user + " (uid " + std::to_string(cred.uid) + "), PID " +
         std::to_string(cred.pid);
}

bool socketAddress(const std::string& path, sockaddr_un& a, std::string& error) {
  a = {};
  a.sun_family = AF_UNIX;
  if (path.size() >= sizeof a.sun_path) {
    error = "the control socket's path " + path + " is longer than " +
            std::to_string(sizeof a.sun_path - 1) + " bytes";
    return false;
  }
  std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string errnoText(int e) {
  std::string t = std::strerror(e);
  if (!t.empty())
    t[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(t[0])));
  return t;
}

} // namespace

std::string ControlSocketPath() {
  if (const char* p = std::getenv("VEXIL_CONTROL_SOCKET"); p && *p)
    return p;
  return "/run/vexil/control.sock";
}

std::string CommandBytes(const std::string& command) {
  if (command == "poweroff")
    return std::string("\xAA\xCC\xC1\xEE", 4);
  if (command == "reboot")
    return std::string("\xAA\xCC\xC2\xEE", 4);
  if (command == "usb")
    return std::string("\xAA\xCC\xB1\xEE", 4);
  return {};
}

// ---------------------------------------------------------------------------
// Server

struct ControlServer::Client {
  std::unique_ptr<Loop::Watch> watch;
  std::unique_ptr<Loop::Timer> idle;
  std::string request;
  std::string who;      // the sender, for the journal
  Line* line = nullptr; // while a command goes out for it, or waits its turn
  std::uint64_t ticket = 0;
  bool served = false;
  std::shared_ptr<void> watching; // a watch request's stream
};

std::unique_ptr<ControlServer> ControlServer::Open(Loop& loop, const std::string& path,
                                                   std::function<Line*(const std::string&)> find,
                                                   WatchLine watch, std::string& error, Sent sent) {
  sockaddr_un a;
  if (!socketAddress(path, a, error))
    return nullptr;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = "cannot make the control socket: " + errnoText(errno);
    return nullptr;
  }
  // Something there already: another exporter's socket answers, a stale one
  // (an exporter that was killed) does not and is replaced.
  if (struct stat st{}; lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      close(fd);
      error = path + " exists and is no socket; remove it or set VEXIL_CONTROL_SOCKET";
      return nullptr;
    }
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answered =
        probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (probe >= 0)
      close(probe);
    if (answered) {
      close(fd);
      error = "another exporter serves the control socket " + path;
      return nullptr;
    }
    unlink(path.c_str());
  }
  // Only root and the dialout group (those who may use serial lines) may
  // send commands: the socket is made 0660 from the start.
  const mode_t old = umask(0117);
  const int rc = bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  const int bindErrno = errno;
  umask(old);
  if (rc != 0) {
    close(fd);
    error = "cannot make the control socket " + path + ": " + errnoText(bindErrno) +
            (bindErrno == ENOENT ? " (its directory is missing)" : "");
    return nullptr;
  }
  if (const group* g = getgrnam("dialout"))
    if (chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0 && getuid() == 0)
      std::fprintf(stderr, "vexil-ctl: cannot give %s to the dialout group: %s\n", path.c_str(),
                   std::strerror(errno));
  if (listen(fd, 16) != 0) {
    close(fd);
    unlink(path.c_str());
    error = "cannot listen on the control socket " + path + ": " + errnoText(errno);
    return nullptr;
  }
  return std::unique_ptr<ControlServer>(
      new ControlServer(loop, path, fd, std::move(find), std::move(watch), std::move(sent)));
}

ControlServer::ControlServer(Loop& loop, std::string path, int fd,
                             std::function<Line*(const std::string&)> find, WatchLine watch,
                             Sent sent)
    : loop_(loop), path_(std::move(path)), find_(std::move(find)), watch_(std::move(watch)),
      sent_(std::move(sent)), acceptAgain_(loop, [this] { listen_->Read(true); }) {
  listen_ = std::make_unique<Loop::Watch>(loop, fd, [this] { accept(); });
  listen_->Read(true);
}

ControlServer::~ControlServer() {
  clients_.clear();
  listen_.reset();
  unlink(path_.c_str());
}

void ControlServer::accept() {
  for (;;) {
    const int fd = accept4(listen_->Fd(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The waiting client stays readable: leave it to its own deadline
        // and look again in a while, rather than spin on it.
        listen_->Read(false);
        acceptAgain_.Start(ACCEPT_PAUSE_S);
      }
      return;
    }
    if (std::count_if(clients_.begin(), clients_.end(), [](const auto& c) {
          return !c->watching;
        }) >= static_cast<std::ptrdiff_t>(CLIENTS_MAX)) {
      const char busy[] = "error the exporter serves too many control clients; try again\n";
      send(fd, busy, sizeof busy - 1, MSG_NOSIGNAL);
      close(fd);
      continue;
    }
    auto c = std::make_shared<Client>();
    c->who = peerOf(fd);
    std::weak_ptr<Client> weak = c;
    // Outside the client's own callbacks, which a drop would destroy.
    const auto drop = [this, weak] {
      loop_.Defer([this, weak] {
        if (auto c = weak.lock())
          std::erase(clients_, c);
      });
    };
    c->watch = std::make_unique<Loop::Watch>(loop_, fd, [this, weak, drop] {
      auto c = weak.lock();
      if (!c)
        return;
      char buf[256];
      const ssize_t n = recv(c->watch->Fd(), buf, sizeof buf, 0);
      if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
          // Gone: it has told its user that the command failed, so what
          // has not left yet never will.
          if (c->line)
            c->line->CancelSend(c->ticket, "the sender gave up before the command went out");
          drop();
        }
        return;
      }
      if (c->served)
        return; // one request a connection
      c->request.append(buf, static_cast<std::size_t>(n));
      if (c->request.find('\n') != std::string::npos) {
        c->served = true;
        serve(c);
      } else if (c->request.size() > REQUEST_MAX)
        drop();
    });
    c->idle = std::make_unique<Loop::Timer>(loop_, [weak, drop] {
      if (auto c = weak.lock(); c && !c->line && !c->watching)
        drop();
    });
    c->idle->Start(CLIENT_IDLE_S);
    c->watch->Read(true);
    clients_.push_back(std::move(c));
  }
}

void ControlServer::serve(const std::shared_ptr<Client>& c) {
  // Still read: a client that goes away takes its command with it.
  std::istringstream words(c->request.substr(0, c->request.find('\n')));
  std::string verb, name, command;
  double timeoutMs = 0, deadlineMs = 0;
  words >> verb >> name >> command >> timeoutMs >> deadlineMs;
  std::weak_ptr<Client> weak = c;
  const auto answer = [this, weak](const std::string& text) {
    auto c = weak.lock();
    if (!c)
      return;
    c->line = nullptr;
    const std::string line = text + "\n";
    // Short and to a waiting client: it fits the socket's buffer at once.
    if (send(c->watch->Fd(), line.data(), line.size(), MSG_NOSIGNAL) < 0)
      std::fprintf(stderr, "vexil-ctl: control socket: cannot answer: %s\n", std::strerror(errno));
    loop_.Defer([this, weak] {
      if (auto c = weak.lock())
        std::erase(clients_, c);
    });
  };
  if (verb == "watch" && !name.empty()) {
    watchFor(c, name);
    return;
  }
  const std::string bytes = CommandBytes(command);
  if (verb != "send" || bytes.empty() || !(timeoutMs > 0 && timeoutMs <= 3600e3)) {
    answer("error the request is not 'send LINE poweroff|reboot|usb TIMEOUT_MS'");
    return;
  }
  Line* line = find_(name);
  if (!line) {
    answer("unknown");
    return;
  }
  if (!(deadlineMs > 0))
    deadlineMs = monotonicMs() + timeoutMs;
  c->line = line;
  c->ticket = SendCommand(*line, command, c->who, deadlineMs, timeoutMs,
                          [this, answer, line, command](bool ok, const std::string& why) {
                            if (ok && sent_)
                              sent_(line, command);
                            answer(ok ? "ok" : "error " + why);
                          });
  if (!c->ticket)
    c->line = nullptr;
}

double MonotonicMs() {
  return monotonicMs();
}

std::uint64_t SendCommand(Line& line, const std::string& command, const std::string& who,
                          double deadlineMs, double timeoutMs,
                          std::function<void(bool ok, const std::string& why)> done) {
  // The sender's deadline holds here too: a request read late (the loop
  // was busy) is not carried out after its sender was told it failed.
  const double left = (deadlineMs - monotonicMs()) / 1000.0;
  const std::string what = line.Label() + ": " + command + " from " + who;
  if (left <= 0) {
    std::fprintf(stderr, "vexil-ctl: %s: not sent: its time ran out before it was read\n",
                 what.c_str());
    done(false, "the command's time ran out before the exporter could take it; it was not sent");
    return 0;
  }
  return line.Send(
      CommandBytes(command), left,
      [done = std::move(done), what](bool ok, const std::string& why) {
        std::fprintf(stderr, "vexil-ctl: %s: %s\n", what.c_str(),
                     ok ? "sent" : ("not sent: " + why).c_str());
        done(ok, why);
      },
      timeoutMs / 1000.0);
}

// A watcher gets the line's stream until it hangs up; one that does not read
// (its socket full) is dropped rather than let the exporter hold its data.
void ControlServer::watchFor(const std::shared_ptr<Client>& c, const std::string& name) {
  const int fd = c->watch->Fd();
  std::weak_ptr<Client> weak = c;
  auto drop = [this, weak] {
    loop_.Defer([this, weak] {
      if (auto c = weak.lock())
        std::erase(clients_, c);
    });
  };
  if (std::count_if(clients_.begin(), clients_.end(), [](const auto& c) {
        return c->watching != nullptr;
      }) >= static_cast<std::ptrdiff_t>(WATCHERS_MAX)) {
    const std::string busy = "error the exporter serves " + std::to_string(WATCHERS_MAX) +
                             " watchers already; end one and try again\n";
    send(fd, busy.data(), busy.size(), MSG_NOSIGNAL);
    drop();
    return;
  }
  c->watching =
      watch_ ? watch_(name,
                      [fd, weak, drop](const std::string& text) {
                        auto c = weak.lock();
                        if (!c || !c->watching)
                          return;
                        const std::string line = text + "\n";
                        if (send(fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
                            static_cast<ssize_t>(line.size())) {
                          c->watching.reset();
                          drop();
                        }
                      })
             : nullptr;
  const char* answer = c->watching ? "ok\n" : "unknown\n";
  if (send(fd, answer, std::strlen(answer), MSG_NOSIGNAL) < 0 || !c->watching)
    drop();
  else
    std::fprintf(stderr, "vexil-ctl: %s: watched by %s\n", VexilCtl::ShowBytes(name, true).c_str(),
                 c->who.c_str());
}

std::string ToHex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool FromHex(const std::string& hex, std::string& bytes) {
  const auto value = [](char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
  };
  if (hex.size() % 2)
    return false;
  bytes.clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = value(hex[i]), lo = value(hex[i + 1]);
    if (hi < 0 || lo < 0)
      return false;
    bytes += static_cast<char>(hi << 4 | lo);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Client

int WatchThroughExporter(const std::string& path, const std::string& line, ControlAnswer& answer,
                         std::string& message) {
  answer = ControlAnswer::NoExporter;
  sockaddr_un a;
  if (!socketAddress(path, a, message))
    return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int e = errno;
    close(fd);
    if (e == EACCES || e == EPERM) {
      answer = ControlAnswer::Failed;
      message = "cannot reach the exporter's control socket " + path +
                ": permission denied (root and the dialout group may watch its lines)";
    }
    return -1;
  }
  const std::string request = "watch " + line + "\n";
  std::string reply;
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
      static_cast<ssize_t>(request.size()))
    while (reply.find('\n') == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      char c;
      if (poll(&p, 1, 5000) != 1 || recv(fd, &c, 1, 0) != 1)
        break;
      reply += c;
    }
  if (reply == "ok\n") {
    answer = ControlAnswer::Sent;
    return fd;
  }
  close(fd);
  answer = reply == "unknown\n" ? ControlAnswer::NotWatched : ControlAnswer::Failed;
  message = reply.empty() ? "the exporter did not answer" : reply.substr(0, reply.find('\n'));
  return -1;
}

ControlAnswer SendThroughExporter(const std::string& path, const std::string& line,
                                  const std::string& command, double timeoutS,
                                  std::string& message) {
  sockaddr_un a;
  if (!socketAddress(path, a, message))
    return ControlAnswer::NoExporter;
  // One deadline for all of it: reaching the exporter, its queue, and the
  // bytes leaving. The exporter gets it too, and never sends after it.
  const double deadline = monotonicMs() + timeoutS * 1000;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return ControlAnswer::NoExporter;
  // A busy exporter's backlog is full: ask again until the deadline rather
  // than wait in connect() past it.
  for (;;) {
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
      break;
    const int e = errno;
    if (e == EAGAIN && monotonicMs() < deadline) {
      poll(nullptr, 0, 20);
      continue;
    }
    close(fd);
    if (e == EACCES || e == EPERM) {
      message = "cannot reach the exporter's control socket " + path +
                ": permission denied (root and the dialout group may send commands)";
      return ControlAnswer::Failed;
    }
    if (e == EAGAIN) {
      message = "the exporter did not take the request in time (its control socket is busy); "
                "the command was not sent";
      return ControlAnswer::Failed;
    }
    return ControlAnswer::NoExporter; // none there, or a stale socket
  }
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%.0f %.0f", std::ceil(timeoutS * 1000),
                std::floor(deadline));
  const std::string request = "send " + line + " " + command + " " + numbers + "\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    // Turned away: the exporter said why before it closed.
    char why[256] = {};
    const ssize_t n = recv(fd, why, sizeof why - 1, MSG_DONTWAIT);
    close(fd);
    std::string said = n > 0 ? std::string(why, static_cast<std::size_t>(n)) : "";
    said = said.substr(0, said.find('\n'));
    message = said.rfind("error ", 0) == 0 ? said.substr(6) + "; the command was not sent"
                                           : "the exporter's control socket " + path +
                                                 " took no request; the command was not sent";
    return ControlAnswer::Failed;
  }
  // The exporter answers by the deadline: it sends nothing after it, and
  // flushes what did not leave by then. A moment more for its answer; when
  // none comes, closing the connection tells it to drop the command.
  std::string reply;
  while (reply.find('\n') == std::string::npos) {
    const double left = deadline + ANSWER_GRACE_MS - monotonicMs();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, static_cast<int>(std::ceil(left))) <= 0)
      break;
    char buf[512];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0)
      break;
    reply.append(buf, static_cast<std::size_t>(n));
  }
  close(fd);
  reply = reply.substr(0, reply.find('\n'));
  if (reply == "ok")
    return ControlAnswer::Sent;
  if (reply == "unknown")
    return ControlAnswer::NotWatched;
  message = reply.rfind("error ", 0) == 0 ? reply.substr(6)
            : reply.empty() ? "the exporter did not answer in time; the command was dropped"
                            : "the exporter answered '" + VexilCtl::ShowBytes(reply, true) + "'";
  return ControlAnswer::Failed;
}

} // namespace vexilctl
