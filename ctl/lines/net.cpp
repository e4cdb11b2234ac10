// Lines behind console servers, through gensio on the loop: a raw TCP port
// (socket://), or RFC 2217 (rfc2217://), where telnet's 0xFF escaping runs
// both ways and the far port is set to 19200 baud 8N1. The settings are
// asked for and never waited on: some servers do not answer every request.
#include <gensio/gensio.h>
#include <gensio/sergensio.h>

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstdio>
#include <vector>

#include "ctl/lines/line.h"
#include "ctl/lines/resolver.h"

namespace vexilctl {

namespace {

class NetLine final : public Line {
public:
  NetLine(Loop& loop, const Address& address, std::string label, Events events)
      : Line(loop, address, std::move(label), std::move(events)),
        connectTimer_(loop, [this] { connectTimedOut(); }), settingsTimer_(loop,
                                                                           [this] {
                                                                             if (Usable())
                                                                               askSettings();
                                                                           }),
        resolveTimer_(loop, [this] {
          loop_.Names().Cancel(lookup_);
          lookup_ = 0;
          unresolved("no answer within " + std::to_string(int(RESOLVE_TIMEOUT_S)) + " s");
        }) {}
  ~NetLine() override {
    drop();
    if (lookup_)
      loop_.Names().Cancel(lookup_);
  }

protected:
  // A name is looked up off the loop first, within RESOLVE_TIMEOUT_S; when
  // it does not resolve, the last address it had is used, if any.
  void OpenLine() override {
    const std::string& host = Addr().Host;
    in6_addr any;
    if (inet_pton(AF_INET, host.c_str(), &any) == 1 ||
        inet_pton(AF_INET6, host.c_str(), &any) == 1) {
      connectTo(host);
      return;
    }
    resolveTimer_.Start(RESOLVE_TIMEOUT_S);
    lookup_ =
        loop_.Names().Resolve(host, [this](const std::string& address, const std::string& error) {
          lookup_ = 0;
          resolveTimer_.Stop();
          if (!address.empty()) {
            lastAddress_ = address;
            connectTo(address);
          } else {
            unresolved(error);
          }
        });
  }

  void unresolved(const std::string& why) {
    if (lastAddress_.empty()) {
      Failed("cannot resolve " + Addr().Host + ": " + why);
      return;
    }
    if (why != unresolvedSaid_)
      std::fprintf(stderr, "vexil-ctl: %s: cannot resolve %s (%s); using its last address %s\n",
                   Label().c_str(), Addr().Host.c_str(), why.c_str(), lastAddress_.c_str());
    unresolvedSaid_ = why;
    connectTo(lastAddress_);
  }

  void connectTo(const std::string& host) {
    const Address& a = Addr();
    std::string spec = a.Type == Address::Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,";
    if (host.find(':') != std::string::npos)
      spec += "ipv6,";
    spec += host + "," + std::to_string(a.Port);
    conn_ = new Conn{nullptr, this, &loop_};
    if (const int rc = str_to_gensio(spec.c_str(), loop_.Os(), &NetLine::event, conn_, &conn_->io);
        rc != 0) {
      delete conn_;
      conn_ = nullptr;
      Failed("cannot reach " + where() + ": " + GensioError(rc));
      return;
    }
    int rc = 0;
    sockets_ = loop_.SocketsMadeBy([&] { rc = gensio_open(conn_->io, &NetLine::openDone, conn_); });
    if (rc != 0) {
      drop();
      Failed("cannot reach " + where() + ": " + GensioError(rc));
      return;
    }
    connectTimer_.Start(CONNECT_TIMEOUT_S);
  }

  // Out once the kernel has had every byte acknowledged, not when it took
  // them: a console server that is gone would leave them in the queue.
  bool Drained() override {
    int queued = 0;
    return fd_ < 0 || ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued == 0;
  }

  void DiscardUnsent() override {
    int queued = 0;
    if (fd_ < 0 || ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued == 0)
      return;
    // The bytes still queued must never reach the node: the connection is
    // reset at once, here, whenever the library closes its descriptor (a
    // disconnect throws away the send queue and sends a reset; a shutdown
    // would queue its end behind them, for the kernel to send once the link
    // is back), and then taken up again.
    const linger abort{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    sockaddr none{};
    none.sa_family = AF_UNSPEC;
    if (connect(fd_, &none, sizeof none) != 0)
      shutdown(fd_, SHUT_RDWR);
    Lost("reset, so that a command given up never goes out");
  }

  void CloseLine() override { drop(); }

  long WriteLine(const char* bytes, std::size_t n, std::string& why) override {
    if (!conn_) {
      why = "the line is not open";
      return -1;
    }
    gensiods count = 0;
    if (const int rc = gensio_write(conn_->io, &count, bytes, n, nullptr); rc != 0) {
      why = "line lost (" + GensioError(rc) + ")";
      return -1;
    }
    return static_cast<long>(count);
  }

  void WantWrite(bool on) override {
    if (conn_ && Usable())
      gensio_set_write_callback_enable(conn_->io, on);
  }

private:
  // What the loop's callbacks reach: outlives the line while gensio closes.
  struct Conn {
    gensio* io;
    NetLine* owner;
    Loop* loop;
  };

  std::string where() const { return Addr().Text; }

  static void openDone(gensio* io, int err, void* data) {
    auto* c = static_cast<Conn*>(data);
    if (c->owner)
      c->owner->opened(io, err);
  }

  void opened(gensio* io, int err) {
    connectTimer_.Stop();
    if (err) {
      drop();
      // A server that accepts and closes at once may do so before the
      // library's own opening is done, or after: the same failure either way.
      if (err == GE_REMCLOSE)
        ClosedAtOnce(GensioError(err));
      else
        Failed("cannot reach " + where() + ": " + GensioError(err));
      return;
    }
    gensio_set_read_callback_enable(io, true);
    watchConnection();
    settingsTries_ = 0;
    if (Addr().Type == Address::Rfc2217)
      askSettings();
    Opened();
  }

  // Asks the far port for 19200 baud 8N1. Answers are not waited for; a
  // server that has not yet agreed to RFC 2217 refuses the request, which is
  // asked again a little later, for a few seconds at most.
  void askSettings() {
    sergensio* s = conn_ ? gensio_to_sergensio(conn_->io) : nullptr;
    const auto ignore = [](sergensio*, int, unsigned int, void*) {};
    if (s && sergensio_baud(s, 19200, ignore, nullptr) == 0) {
      sergensio_datasize(s, 8, ignore, nullptr);
      sergensio_parity(s, SERGENSIO_PARITY_NONE, ignore, nullptr);
      sergensio_stopbits(s, 1, ignore, nullptr);
      return;
    }
    if (++settingsTries_ < SETTINGS_TRIES) {
      settingsTimer_.Start(SETTINGS_PAUSE_S);
      return;
    }
    std::fprintf(stderr,
                 "vexil-ctl: %s: the server took no line settings (19200 baud, 8N1); reports "
                 "arrive only if its port runs so already\n",
                 Label().c_str());
  }

  static int event(gensio*, void* data, int event, int err, unsigned char* buf, gensiods* len,
                   const char* const*) {
    auto* c = static_cast<Conn*>(data);
    NetLine* self = c->owner;
    switch (event) {
    case GENSIO_EVENT_READ:
      if (!self)
        return 0;
      if (err) {
        self->Lost(GensioError(err));
        return 0;
      }
      self->Received(reinterpret_cast<const char*>(buf), *len);
      return 0;
    case GENSIO_EVENT_WRITE_READY:
      if (self)
        self->WriteReady();
      return 0;
    default: return GE_NOTSUP;
    }
  }

  // The connection's own socket (the one of those gensio made that is
  // connected), with keepalive and a limit on unacknowledged data, so that
  // a console server that is unplugged or gone is noticed within seconds
  // instead of the kernel's two hours.
  void watchConnection() {
    fd_ = -1;
    for (int fd : sockets_) {
      sockaddr_storage peer{};
      socklen_t n = sizeof peer;
      if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &n) == 0)
        fd_ = fd;
    }
    sockets_.clear();
    if (fd_ < 0) {
      std::fprintf(stderr,
                   "vexil-ctl: %s: the connection's socket was not found: a dead server is "
                   "noticed only by the kernel's own time-outs\n",
                   Label().c_str());
      return;
    }
    const int on = 1, idle = KEEPALIVE_IDLE_S, interval = KEEPALIVE_INTERVAL_S,
              count = KEEPALIVE_PROBES;
    const unsigned userTimeout = USER_TIMEOUT_MS;
    setsockopt(fd_, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd_, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd_, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    setsockopt(fd_, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    setsockopt(fd_, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeout, sizeof userTimeout);
  }

  void connectTimedOut() {
    if (Usable() || !conn_)
      return;
    drop();
    Failed("no answer from " + where() + " within " +
           std::to_string(static_cast<int>(CONNECT_TIMEOUT_S)) + " s");
  }

  // Lets go of the connection; gensio finishes closing on the loop.
  void drop() {
    connectTimer_.Stop();
    settingsTimer_.Stop();
    fd_ = -1;
    sockets_.clear();
    if (!conn_)
      return;
    Conn* c = conn_;
    conn_ = nullptr;
    c->owner = nullptr;
    gensio_set_read_callback_enable(c->io, false);
    gensio_set_write_callback_enable(c->io, false);
    loop_.CloseBegun();
    const int rc = gensio_close(
        c->io,
        [](gensio* io, void* data) {
          auto* c = static_cast<Conn*>(data);
          gensio_free(io);
          c->loop->CloseDone();
          delete c;
        },
        c);
    if (rc != 0) {
      // Not open (yet): nothing to say goodbye to.
      gensio_free(c->io);
      loop_.CloseDone();
      delete c;
    }
  }

  // A quiet connection is probed after 2 s, then every second; nothing
  // heard for 5 s (no answer to probes, data unacknowledged) ends it. The
  // kernel ends it at the first probe left unanswered once 5 s have passed
  // since the last word, so probing only after 5 s would make a single lost
  // answer fatal: thousands of lines probe in bursts (the kernel's timers
  // fire in batches), and a burst past a queue's length loses some.
  static constexpr int KEEPALIVE_IDLE_S = 2;
  static constexpr int KEEPALIVE_INTERVAL_S = 1;
  static constexpr int KEEPALIVE_PROBES = 5;
  static constexpr unsigned USER_TIMEOUT_MS = 5000;
  static constexpr int SETTINGS_TRIES = 20;
  static constexpr double SETTINGS_PAUSE_S = 0.25;

  static constexpr double RESOLVE_TIMEOUT_S = 5.0;

  Conn* conn_ = nullptr;
  std::uint64_t lookup_ = 0;   // a look-up under way
  std::string lastAddress_;    // what the name resolved to last
  std::string unresolvedSaid_; // why it did not resolve, said once
  std::vector<int> sockets_;   // made for the connection under way
  int fd_ = -1;                // the open connection's socket, while open
  Loop::Timer connectTimer_;
  Loop::Timer settingsTimer_;
  Loop::Timer resolveTimer_;
  int settingsTries_ = 0;
};

} // namespace

std::unique_ptr<Line> MakeNetLine(Loop& loop, const Address& address, std::string label,
                                  Line::Events events) {
  return std::make_unique<NetLine>(loop, address, std::move(label), std::move(events));
}

} // namespace vexilctl
