#include "ctl/control.h"

#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "ctl/lines/line.h"

namespace vexilctl {

namespace {

// A request is one short line; anything longer is no request.
constexpr std::size_t REQUEST_MAX = 1024;
// A client that says nothing is dropped after this long.
constexpr double CLIENT_IDLE_S = 5.0;

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
  bool busy = false; // a command is going out for it
};

std::unique_ptr<ControlServer> ControlServer::Open(Loop& loop, const std::string& path,
                                                   std::function<Line*(const std::string&)> find,
                                                   std::string& error) {
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
  return std::unique_ptr<ControlServer>(new ControlServer(loop, path, fd, std::move(find)));
}

ControlServer::ControlServer(Loop& loop, std::string path, int fd,
                             std::function<Line*(const std::string&)> find)
    : loop_(loop), path_(std::move(path)), find_(std::move(find)) {
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
    if (fd < 0)
      return; // EAGAIN, or out of descriptors: the client's own time-out tells it
    auto c = std::make_shared<Client>();
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
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
          drop(); // gone; a command under way still goes out
        return;
      }
      c->request.append(buf, static_cast<std::size_t>(n));
      if (c->request.find('\n') != std::string::npos)
        serve(c);
      else if (c->request.size() > REQUEST_MAX)
        drop();
    });
    c->idle = std::make_unique<Loop::Timer>(loop_, [weak, drop] {
      if (auto c = weak.lock(); c && !c->busy)
        drop();
    });
    c->idle->Start(CLIENT_IDLE_S);
    c->watch->Read(true);
    clients_.push_back(std::move(c));
  }
}

void ControlServer::serve(const std::shared_ptr<Client>& c) {
  c->watch->Read(false);
  std::istringstream words(c->request.substr(0, c->request.find('\n')));
  std::string verb, name, command;
  double timeoutMs = 0;
  words >> verb >> name >> command >> timeoutMs;
  std::weak_ptr<Client> weak = c;
  const auto answer = [this, weak](const std::string& text) {
    auto c = weak.lock();
    if (!c)
      return;
    const std::string line = text + "\n";
    // Short and to a waiting client: it fits the socket's buffer at once.
    if (send(c->watch->Fd(), line.data(), line.size(), MSG_NOSIGNAL) < 0)
      std::fprintf(stderr, "vexil-ctl: control socket: cannot answer: %s\n", std::strerror(errno));
    loop_.Defer([this, weak] {
      if (auto c = weak.lock())
        std::erase(clients_, c);
    });
  };
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
  c->busy = true;
  std::fprintf(stderr, "vexil-ctl: %s: sending %s for a control socket client\n",
               line->Label().c_str(), command.c_str());
  line->Send(bytes, timeoutMs / 1000.0,
             [answer](bool ok, const std::string& why) { answer(ok ? "ok" : "error " + why); });
}

// ---------------------------------------------------------------------------
// Client

ControlAnswer SendThroughExporter(const std::string& path, const std::string& line,
                                  const std::string& command, double timeoutS,
                                  std::string& message) {
  sockaddr_un a;
  if (!socketAddress(path, a, message))
    return ControlAnswer::NoExporter;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return ControlAnswer::NoExporter;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int e = errno;
    close(fd);
    if (e == EACCES || e == EPERM) {
      message = "cannot reach the exporter's control socket " + path +
                ": permission denied (root and the dialout group may send commands)";
      return ControlAnswer::Failed;
    }
    return ControlAnswer::NoExporter; // none there, or a stale socket
  }
  char timeout[32];
  std::snprintf(timeout, sizeof timeout, "%.0f", std::ceil(timeoutS * 1000));
  const std::string request = "send " + line + " " + command + " " + timeout + "\n";
  if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) !=
      static_cast<ssize_t>(request.size())) {
    close(fd);
    message = "the exporter's control socket " + path + " took no request";
    return ControlAnswer::Failed;
  }
  // The exporter answers within the command's time limit; a little more for
  // the hand-over.
  std::string reply;
  const auto end = std::chrono::steady_clock::now() +
                   std::chrono::milliseconds(static_cast<long>(timeoutS * 1000) + 2000);
  while (reply.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
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
            : reply.empty()               ? "the exporter did not answer in time"
                                          : "the exporter answered '" + reply + "'";
  return ControlAnswer::Failed;
}

} // namespace vexilctl
