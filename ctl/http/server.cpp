#include "ctl/http/server.h"

#include <arpa/inet.h>
#include <unistd.h>
#include <dirent.h>
#include <gnutls/gnutls.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <set>
#include <sstream>

#include "ctl/lines/address.h"
#include "ctl/reports.h"
#include "platform/files.h"

namespace vexilctl {

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Bind {
  sockaddr_storage Addr{};
  bool Dual = false; // every address, IPv4 and IPv6
  std::string Url;   // host part for messages, IPv6 in brackets
  int Port = 0;
  std::string Spec; // the --listen value it comes from
};

std::string numericHost(const sockaddr* a) {
  char text[INET6_ADDRSTRLEN] = {};
  if (a->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]";
  }
  inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
  return text;
}

} // namespace

namespace {

// A client's address: IPv4 also when it comes as ::ffff:127.0.0.1.
std::string clientAddress(const sockaddr* a) {
  if (a->sa_family == AF_INET6) {
    const in6_addr& in = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&in)) {
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, in.s6_addr + 12, text, sizeof text);
      return text;
    }
  }
  return numericHost(a);
}

} // namespace

std::string ClientGroup(const sockaddr* a) {
  if (a->sa_family == AF_INET6) {
    in6_addr net = reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&net))
      return clientAddress(a);
    std::memset(net.s6_addr + 8, 0, 8);
    char text[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &net, text, sizeof text);
    return "[" + std::string(text) + "]/64";
  }
  return numericHost(a);
}

namespace {

// The addresses one --listen value stands for.
bool resolveListen(const std::string& spec, std::vector<Bind>& out, std::string& error) {
  if (const auto scheme = spec.find("://"); scheme != std::string::npos) {
    error = "--listen " + spec + ": give an address and port, not a URL: " +
            spec.substr(scheme + 3, spec.find('/', scheme + 3) - scheme - 3);
    return false;
  }
  std::string host, port, why;
  if (!SplitHostPort(spec, host, port, why)) {
    error = "--listen " + spec + ": " + why + " (or :PORT for every address)";
    return false;
  }
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos ||
      std::atoi(port.c_str()) > 65535) {
    error = "--listen " + spec + ": the port must be a number from 0 to 65535";
    return false;
  }
  const int p = std::atoi(port.c_str());
  if (host.empty()) {
    Bind b;
    auto* a = reinterpret_cast<sockaddr_in6*>(&b.Addr);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_any;
    a->sin6_port = htons(static_cast<uint16_t>(p));
    b.Dual = true;
    b.Url = "[::]";
    b.Port = p;
    b.Spec = spec;
    out.push_back(b);
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
    error = "--listen " + spec + ": " + host + " is no address of this machine's (" +
            gai_strerror(rc) + ")";
    return false;
  }
  std::set<std::string> seen;
  for (addrinfo* a = found; a; a = a->ai_next) {
    if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
        !seen.insert(numericHost(a->ai_addr)).second)
      continue;
    Bind b;
    std::memcpy(&b.Addr, a->ai_addr, a->ai_addrlen);
    b.Url = numericHost(a->ai_addr);
    b.Port = p;
    b.Spec = spec;
    out.push_back(b);
  }
  freeaddrinfo(found);
  return true;
}

// Two --listen values that would take the same address and port: the
// message, or "".
std::string sameTwice(const std::vector<Bind>& binds) {
  for (std::size_t i = 0; i < binds.size(); ++i)
    for (std::size_t j = 0; j < i; ++j) {
      const Bind &a = binds[j], &b = binds[i];
      if (a.Port == 0 || a.Port != b.Port)
        continue;
      if (a.Url == b.Url)
        return "--listen " + b.Spec + ": " + b.Url + ":" + std::to_string(b.Port) +
               " is named twice (" + a.Spec + " names it already)";
      if (a.Dual || b.Dual)
        return "--listen " + b.Spec + " and " + a.Spec + " overlap: " + (a.Dual ? a.Spec : b.Spec) +
               " takes every address of the port already";
    }
  return "";
}

// Who listens on a TCP port, from the kernel's socket tables and the
// processes' descriptors: "NAME (PID n)", or "" when it cannot be told (a
// process of another user's shows only to root).
std::string portHolder(int port) {
  std::set<std::string> sockets;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::string text;
    platform::ReadTextFile(table, text);
    std::istringstream rows(text);
    std::string row;
    std::getline(rows, row); // the heading
    while (std::getline(rows, row)) {
      std::istringstream f(row);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
      if (!(f >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
            timeout >> inode))
        continue;
      const auto colon = local.rfind(':');
      if (state == "0A" && colon != std::string::npos &&
          std::strtol(local.c_str() + colon + 1, nullptr, 16) == port)
        sockets.insert("socket:[" + inode + "]");
    }
  }
  DIR* proc = sockets.empty() ? nullptr : opendir("/proc");
  if (!proc)
    return "";
  std::string holder;
  while (const dirent* e = readdir(proc)) {
    const std::string pid = e->d_name;
    if (holder.empty() && pid.find_first_not_of("0123456789") == std::string::npos)
      if (DIR* fds = opendir(("/proc/" + pid + "/fd").c_str())) {
        while (const dirent* f = readdir(fds)) {
          char target[64];
          const ssize_t n =
              readlink(("/proc/" + pid + "/fd/" + f->d_name).c_str(), target, sizeof target - 1);
          if (n > 0 && sockets.count(std::string(target, std::size_t(n)))) {
            std::string name;
            platform::ReadTextFile("/proc/" + pid + "/comm", name);
            while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
              name.pop_back();
            holder = VexilCtl::ShowBytes(name, true) + " (PID " + pid + ")"; // outside text
            break;
          }
        }
        closedir(fds);
      }
  }
  closedir(proc);
  return holder;
}

// Why a daemon could not listen on b: the bind tried again to learn the
// kernel's answer.
std::string whyNotListening(const Bind& b) {
  const std::string where = "cannot listen on " + b.Url + ":" + std::to_string(b.Port) + ": ";
  const int fd = socket(b.Addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return where + std::strerror(errno);
  const int on = 1, v6only = b.Dual ? 0 : 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (b.Addr.ss_family == AF_INET6)
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
  const socklen_t size = b.Addr.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  const int rc = bind(fd, reinterpret_cast<const sockaddr*>(&b.Addr), size) == 0 ? 0 : errno;
  close(fd);
  switch (rc) {
  case EADDRINUSE: {
    const std::string holder = portHolder(b.Port);
    return where + "the port is in use" +
           (holder.empty() ? " (ss -ltnp 'sport = :" + std::to_string(b.Port) + "' tells by whom)"
                           : " by " + holder) +
           "; choose another with --listen";
  }
  case EADDRNOTAVAIL: return where + b.Url + " is no address of this machine's";
  case EACCES: return where + "ports under 1024 need root or the CAP_NET_BIND_SERVICE capability";
  case 0: return where + "the HTTP server did not start (out of memory or threads?)";
  default: return where + std::strerror(rc);
  }
}

bool gzip(const std::string& in, std::string& out) {
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    return false;
  out.resize(deflateBound(&z, in.size()) + 32);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return rc == Z_STREAM_END;
}

bool acceptsGzip(MHD_Connection* c) {
  const char* value = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Accept-Encoding");
  if (!value)
    return false;
  const std::string v = value;
  const auto at = v.find("gzip");
  // "gzip;q=0" declines it.
  return at != std::string::npos && v.compare(at, 8, "gzip;q=0") != 0;
}

void notifyConnection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
  auto* s = static_cast<HttpServer*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    s->Started(c, info ? info->connect_fd : -1);
  } else {
    s->Closed(c);
  }
}

void requestDone(void* cls, MHD_Connection* c, void** state, MHD_RequestTerminationCode) {
  delete static_cast<HttpServer::RequestState*>(*state);
  *state = nullptr;
  static_cast<HttpServer*>(cls)->RequestDone(c);
}

// The path stays as sent: a handler splits it first, then decodes each part
// (a name may hold an escaped "/").
size_t keepEscapes(void*, MHD_Connection*, char* s) {
  return std::strlen(s);
}

MHD_Result addHeader(void* headers, MHD_ValueKind, const char* key, const char* value) {
  std::string name = key;
  for (char& ch : name)
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  (*static_cast<std::map<std::string, std::string>*>(headers))[name] = value ? value : "";
  return MHD_YES;
}

MHD_Result access(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                  const char* upload, size_t* uploadSize, void** state) {
  auto* s = static_cast<HttpServer*>(cls);
  if (!*state) {
    *state = new HttpServer::RequestState;
    s->HeadIn(c);
    return MHD_YES;
  }
  auto& st = *static_cast<HttpServer::RequestState*>(*state);
  if (*uploadSize) {
    // Kept up to its limit; past it the rest is read and dropped.
    if (st.Body.size() + *uploadSize <= HttpServer::BODY_MAX)
      st.Body.append(upload, *uploadSize);
    else
      st.BodyTooLong = true;
    *uploadSize = 0;
    return MHD_YES;
  }
  HttpRequest request;
  request.Method = method;
  request.Path = url;
  request.AcceptsGzip = acceptsGzip(c);
  MHD_get_connection_values(c, MHD_HEADER_KIND, &addHeader, &request.Headers);
  if (const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
    request.Client = clientAddress(info->client_addr);
    request.CheckLogin = [s, group = ClientGroup(info->client_addr)](
                             const std::string& user, const std::string& password,
                             std::function<void(Login)> done) {
      s->CheckLogin(group, user, password, std::move(done));
    };
  }
  request.Body = st.Body;
  HttpResponse r;
  if (!s->Serve(c, st, request, r))
    return MHD_YES; // suspended until its password has been checked, or its answer is in
  if (!s->Hold(c, r.Body.size())) {
    r = {};
    r.Status = 503;
    r.Body = "Service unavailable: too many answers are waiting for their clients\n";
    r.Headers.push_back({"Retry-After", "5"});
    s->Dress(request, r);
  }
  MHD_Response* response = MHD_create_response_from_buffer(
      r.Body.size(), const_cast<char*>(r.Body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response)
    return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.ContentType.c_str());
  for (const auto& [name, value] : r.Headers)
    MHD_add_response_header(response, name.c_str(), value.c_str());
  const MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(r.Status), response);
  MHD_destroy_response(response);
  return queued;
}

} // namespace

struct HttpServer::Waiting {
  MHD_Connection* Connection;
  HttpResponse Answer; // under LaterAnswers::Lock until given
};

std::unique_ptr<HttpServer> HttpServer::Start(const std::vector<std::string>& listen,
                                              const WebConfig& web, Hooks hooks, std::string& error,
                                              bool& usage) {
  usage = true;
  std::vector<Bind> binds;
  for (const auto& spec : listen)
    if (!resolveListen(spec, binds, error))
      return nullptr;
  if (binds.empty()) {
    error = "--listen names no address";
    return nullptr;
  }
  if (error = sameTwice(binds); !error.empty())
    return nullptr;
  if (binds.size() > LISTEN_MAX) {
    error = "--listen: " + std::to_string(binds.size()) + " addresses; at most " +
            std::to_string(LISTEN_MAX) + " (use :PORT for every address)";
    return nullptr;
  }
  usage = false;
  std::unique_ptr<HttpServer> server(new HttpServer);
  server->hooks_ = std::move(hooks);
  server->web_ = web;
  const std::string priorities = web.MinVersion == "TLS13"
                                     ? "NORMAL:-VERS-ALL:+VERS-TLS1.3"
                                     : "NORMAL:-VERS-SSL3.0:-VERS-TLS1.0:-VERS-TLS1.1";
  // The password checkers before the first request can come.
  if (!web.Users.empty()) {
    // A user that does not exist costs what one that does costs.
    server->dummyHash_ = DummyHashLike(web.Users.begin()->second);
    for (int i = 0; i < PASSWORD_CHECKERS; ++i)
      server->checkers_.emplace_back([s = server.get()] { s->checkPasswords(); });
  }
  for (auto& b : binds) {
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_SOCK_ADDR, 0, &b.Addr},
        {MHD_OPTION_CONNECTION_TIMEOUT, HEAD_DEADLINE_S, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, CONNECTIONS_HARD, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, CONNECTIONS_PER_ADDRESS, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, CONNECTION_MEMORY, nullptr},
        {MHD_OPTION_LISTEN_BACKLOG_SIZE, 128, nullptr},
        {MHD_OPTION_NOTIFY_CONNECTION, reinterpret_cast<intptr_t>(&notifyConnection), server.get()},
        {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(&requestDone), server.get()},
        {MHD_OPTION_UNESCAPE_CALLBACK, reinterpret_cast<intptr_t>(&keepEscapes), nullptr},
    };
    // epoll, except for TLS: libmicrohttpd 0.9.75 keeps a connection whose
    // handshake stalls half-way ready in its epoll set and spins on it (a
    // core for each such client until the deadline); poll() waits.
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_ALLOW_SUSPEND_RESUME |
                     (web.Tls ? MHD_USE_POLL : MHD_USE_EPOLL);
    if (b.Addr.ss_family == AF_INET6)
      flags |= b.Dual ? MHD_USE_DUAL_STACK : MHD_USE_IPv6;
    if (web.Tls) {
      flags |= MHD_USE_TLS;
      options.push_back(
          {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(server->web_.KeyPem.c_str())});
      options.push_back(
          {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(server->web_.CertPem.c_str())});
      options.push_back({MHD_OPTION_HTTPS_PRIORITIES, 0, const_cast<char*>(priorities.c_str())});
      if (!server->web_.ClientCaPem.empty())
        options.push_back(
            {MHD_OPTION_HTTPS_MEM_TRUST, 0, const_cast<char*>(server->web_.ClientCaPem.c_str())});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    MHD_Daemon* d =
        MHD_start_daemon(flags, static_cast<uint16_t>(b.Port), nullptr, nullptr, &access,
                         server.get(), MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (!d) {
      // (The certificate and key were checked with the web config.)
      error = whyNotListening(b);
      return nullptr;
    }
    server->daemons_.push_back(d);
    const MHD_DaemonInfo* info = MHD_get_daemon_info(d, MHD_DAEMON_INFO_BIND_PORT);
    server->urls_.push_back(std::string(web.Tls ? "https://" : "http://") + b.Url + ":" +
                            std::to_string(info ? info->port : b.Port));
  }
  server->watcher_ = std::thread([s = server.get()] { s->watch(); });
  return server;
}

HttpServer::~HttpServer() {
  // The checkers finish what they took and resume those connections; the
  // library then closes them all.
  {
    std::lock_guard lock(lock_);
    stop_ = true;
  }
  checkAsked_.notify_all();
  for (auto& t : checkers_)
    t.join();
  // Answers still to come are given now, and their replies go nowhere.
  {
    std::lock_guard lock(later_->Lock);
    later_->Stopped = true;
    for (const auto& w : later_->Open) {
      w->Answer = {};
      w->Answer.Status = 503;
      w->Answer.Body = "Service unavailable: the server is stopping\n";
      MHD_resume_connection(w->Connection);
    }
    later_->Open.clear();
  }
  for (MHD_Daemon* d : daemons_)
    MHD_stop_daemon(d);
  changed_.notify_all();
  if (watcher_.joinable())
    watcher_.join();
}

// Deadlines: a connection has HEAD_DEADLINE_S for each step (its request
// head, its request and answer, the wait for its next request); one that
// overruns is shut down, and the library closes it.
void HttpServer::Started(MHD_Connection* c, int fd) {
  std::string address;
  if (const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
    address = ClientGroup(info->client_addr);
  std::lock_guard lock(lock_);
  const bool first = tracked_.empty();
  const double t = now();
  tracked_[c] = {fd, t + HEAD_DEADLINE_S, false, address, t, 0};
  if (first)
    changed_.notify_one(); // the watcher sleeps without a deadline
  // The others, by address: how many each holds and since when its oldest.
  struct Holding {
    std::size_t Count = 0;
    Tracked* Oldest = nullptr;
  };
  std::size_t open = 1;
  std::map<std::string, Holding> perAddress;
  for (auto& [conn, e] : tracked_)
    if (!e.Cut && conn != c) {
      ++open;
      Holding& h = perAddress[e.Address];
      ++h.Count;
      if (!h.Oldest || e.Since < h.Oldest->Since)
        h.Oldest = &e;
    }
  // An address (an IPv6 /64) past its share: the new connection goes.
  if (const auto own = perAddress.find(address);
      own != perAddress.end() && own->second.Count >= CONNECTIONS_PER_ADDRESS) {
    shutdown(fd, SHUT_RDWR);
    tracked_[c].Cut = true;
    return;
  }
  if (open <= CONNECTIONS)
    return;
  // Full: the address with the most connections gives up its oldest one;
  // among equals the one whose oldest is oldest. The new connection's own
  // address counts without it, so that a crowd of many addresses with one
  // connection each still makes room.
  Holding* busiest = nullptr;
  for (auto& [who, h] : perAddress)
    if (!busiest || h.Count > busiest->Count ||
        (h.Count == busiest->Count && h.Oldest->Since < busiest->Oldest->Since))
      busiest = &h;
  if (busiest) {
    shutdown(busiest->Oldest->Fd, SHUT_RDWR);
    busiest->Oldest->Cut = true;
  }
}

bool HttpServer::Hold(MHD_Connection* c, std::size_t bytes) {
  std::lock_guard lock(lock_);
  const auto it = tracked_.find(c);
  if (it == tracked_.end())
    return true;
  release(it->second);
  // Full: the address whose clients leave the most unread gives up its
  // oldest such connection, as long as it holds more than this one's does;
  // so unread answers cannot starve another client.
  while (held_ + bytes > RESPONSE_MEMORY) {
    std::map<std::string, std::size_t> holding;
    for (const auto& [conn, e] : tracked_)
      if (!e.Cut)
        holding[e.Address] += e.Holding;
    const auto most =
        std::max_element(holding.begin(), holding.end(),
                         [](const auto& a, const auto& b) { return a.second < b.second; });
    if (most == holding.end() || most->first == it->second.Address ||
        most->second <= holding[it->second.Address] + bytes)
      return false;
    Tracked* oldest = nullptr;
    for (auto& [conn, e] : tracked_)
      if (!e.Cut && e.Holding > 0 && e.Address == most->first &&
          (!oldest || e.Since < oldest->Since))
        oldest = &e;
    if (!oldest)
      return false;
    shutdown(oldest->Fd, SHUT_RDWR);
    oldest->Cut = true;
    release(*oldest); // freed as the library closes it
  }
  held_ += bytes;
  it->second.Holding = bytes;
  return true;
}

void HttpServer::release(Tracked& t) {
  held_ -= t.Holding;
  t.Holding = 0;
}

void HttpServer::HeadIn(MHD_Connection* c) {
  std::lock_guard lock(lock_);
  if (auto it = tracked_.find(c); it != tracked_.end())
    it->second.Deadline = now() + HEAD_DEADLINE_S;
}

void HttpServer::RequestDone(MHD_Connection* c) {
  std::lock_guard lock(lock_);
  if (auto it = tracked_.find(c); it != tracked_.end()) {
    release(it->second);
    it->second.Deadline = now() + HEAD_DEADLINE_S;
  }
}

void HttpServer::Closed(MHD_Connection* c) {
  // Before the library closes the descriptor: the watcher never shuts down
  // a number that has been given to another connection.
  std::lock_guard lock(lock_);
  if (auto it = tracked_.find(c); it != tracked_.end()) {
    release(it->second);
    tracked_.erase(it);
  }
}

void HttpServer::watch() {
  std::unique_lock lock(lock_);
  while (!stop_) {
    double next = std::numeric_limits<double>::infinity();
    const double t = now();
    for (auto& [c, e] : tracked_) {
      if (e.Cut)
        continue;
      if (e.Deadline <= t) {
        shutdown(e.Fd, SHUT_RDWR);
        e.Cut = true;
      } else {
        next = std::min(next, e.Deadline);
      }
    }
    if (next == std::numeric_limits<double>::infinity())
      changed_.wait(lock);
    else
      changed_.wait_for(lock, std::chrono::duration<double>(next - t + 0.01));
  }
}

bool HttpServer::authorised(MHD_Connection* c, RequestState& state, const HttpRequest& request,
                            HttpResponse& refusal) {
  if (web_.Tls && web_.Auth != WebConfig::NoClientCert) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_GNUTLS_SESSION);
    auto* session = info ? static_cast<gnutls_session_t>(info->tls_session) : nullptr;
    unsigned int count = 0;
    const bool present = session && gnutls_certificate_get_peers(session, &count) && count > 0;
    unsigned int status = 1;
    const bool valid =
        present && gnutls_certificate_verify_peers2(session, &status) == 0 && status == 0;
    bool ok = true;
    switch (web_.Auth) {
    case WebConfig::RequireAnyClientCert: ok = present; break;
    case WebConfig::VerifyClientCertIfGiven: ok = !present || valid; break;
    case WebConfig::RequireAndVerifyClientCert: ok = valid; break;
    default: break;
    }
    if (!ok) {
      refusal.Status = 403;
      refusal.Body = "Forbidden: a client certificate signed by the configured CA is required\n";
      return true;
    }
  }
  if (web_.Users.empty()) {
    state.Auth = RequestState::Passed;
    return true;
  }
  char* password = nullptr;
  char* user = MHD_basic_auth_get_username_password(c, &password);
  const std::string name = user ? user : "", given = password ? password : "";
  const bool offered = user && password;
  MHD_free(user);
  MHD_free(password);
  std::string address;
  if (const MHD_ConnectionInfo* info =
          MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS))
    address = ClientGroup(info->client_addr);
  if (offered) {
    // The lock is held until the connection is suspended: its resume comes
    // after.
    std::lock_guard lock(lock_);
    Login now = Login::Refused;
    if (!startCheck(address, name, given, now, [this, c, &state, name](bool ok) {
          std::lock_guard done(lock_);
          state.Auth = ok ? RequestState::Passed : RequestState::Refused;
          if (ok)
            state.User = name;
          MHD_resume_connection(c);
        })) {
      // Checked on a checker's thread; the connection waits meanwhile.
      state.Auth = RequestState::Checking;
      MHD_suspend_connection(c);
      return false;
    }
    if (now == Login::Passed) {
      state.Auth = RequestState::Passed;
      state.User = name;
      return true;
    }
    if (now == Login::Refused) {
      state.Auth = RequestState::Refused; // (the server is stopping)
      return true;
    }
    refusal.Status = 429;
    refusal.Body = "Too many requests: too many wrong passwords from this address; wait\n";
    refusal.Headers.push_back({"Retry-After", "1"});
    return true;
  }
  if (const std::string token = request.Header("x-auth-token");
      !token.empty() && hooks_.TokenUser) {
    state.User = hooks_.TokenUser(request, token);
    state.Auth = state.User.empty() ? RequestState::Refused : RequestState::Passed;
    return true;
  }
  if (hooks_.Public && hooks_.Public(request)) {
    state.Auth = RequestState::Passed;
    return true;
  }
  refusal.Status = 401;
  refusal.Body = "Unauthorized\n";
  refusal.Headers.push_back({"WWW-Authenticate", "Basic realm=\"vexil\", charset=\"UTF-8\""});
  return true;
}

// A try is taken from the address's bucket before the hash is made, and
// given back when the password was right: only wrong ones count.
bool HttpServer::failedTry(const std::string& address) {
  const double t = now();
  if (failed_.size() > 4096) // forget the addresses whose buckets are full
    for (auto it = failed_.begin(); it != failed_.end();)
      it = it->second.Tokens + (t - it->second.At) * FAILED_TRIES_PER_S >= FAILED_TRIES_BURST
               ? failed_.erase(it)
               : std::next(it);
  auto [it, fresh] = failed_.try_emplace(address, Bucket{FAILED_TRIES_BURST, t});
  Bucket& b = it->second;
  b.Tokens = std::min(FAILED_TRIES_BURST, b.Tokens + (t - b.At) * FAILED_TRIES_PER_S);
  b.At = t;
  if (b.Tokens < 1)
    return false;
  b.Tokens -= 1;
  return true;
}

void HttpServer::checkPasswords() {
  std::unique_lock lock(lock_);
  for (;;) {
    checkAsked_.wait(lock, [&] { return stop_ || !checks_.empty(); });
    if (checks_.empty())
      return; // stopping, nothing left
    Check job = std::move(checks_.front());
    checks_.erase(checks_.begin());
    lock.unlock();
    // An unknown user is checked against a hash no password matches, so
    // that the time taken does not tell which names exist.
    const bool ok = CheckPassword(job.Hash, job.Password) && job.Hash != dummyHash_;
    lock.lock();
    if (ok) {
      verified_[job.User] = job.Password;
      if (auto b = failed_.find(job.Group); b != failed_.end())
        b->second.Tokens = std::min(FAILED_TRIES_BURST, b->second.Tokens + 1);
    }
    lock.unlock();
    job.Done(ok);
    lock.lock();
  }
}

bool HttpServer::startCheck(const std::string& group, const std::string& user,
                            const std::string& password, Login& now,
                            std::function<void(bool ok)> done) {
  // A password seen good is remembered: bcrypt is slow on purpose.
  if (const auto seen = verified_.find(user); seen != verified_.end() && seen->second == password)
    now = Login::Passed;
  else if (checkers_.empty() || stop_)
    now = Login::Refused; // no users, or stopping
  else if (!failedTry(group))
    now = Login::TooMany;
  else {
    const auto hash = web_.Users.find(user);
    checks_.push_back({user, hash != web_.Users.end() ? hash->second : dummyHash_, password, group,
                       std::move(done)});
    checkAsked_.notify_one();
    return false;
  }
  return true;
}

void HttpServer::CheckLogin(const std::string& group, const std::string& user,
                            const std::string& password, std::function<void(Login)> done) {
  Login now = Login::Refused;
  {
    std::lock_guard lock(lock_);
    if (!startCheck(group, user, password, now,
                    [done](bool ok) { done(ok ? Login::Passed : Login::Refused); }))
      return;
  }
  done(now);
}

bool HttpServer::Serve(MHD_Connection* c, RequestState& state, HttpRequest& request,
                       HttpResponse& r) {
  r = {};
  if (state.Later) {
    // Back with the answer that came later.
    {
      std::lock_guard lock(later_->Lock);
      r = std::move(state.Later->Answer);
    }
    state.Later.reset();
    finish(request, r);
    return true;
  }
  if (state.Auth == RequestState::Fresh && !authorised(c, state, request, r))
    return false;
  {
    std::lock_guard lock(lock_);
    if (state.Auth == RequestState::Checking)
      return false; // (not back yet)
  }
  if (state.Auth == RequestState::Refused) {
    r.Status = 401;
    r.Body = "Unauthorized\n";
    r.Headers.push_back({"WWW-Authenticate", "Basic realm=\"vexil\", charset=\"UTF-8\""});
  } else if (state.Auth == RequestState::Passed && state.BodyTooLong) {
    r.Status = 413;
    r.Body =
        "Content too large: a request body is " + std::to_string(BODY_MAX) + " bytes at most\n";
  }
  if (state.Auth != RequestState::Passed || r.Status != 200) {
    Dress(request, r);
    return true; // refused: r says how
  }
  request.User = state.User;
  r = hooks_.Answer(request);
  if (r.Later) {
    // The connection waits, and this thread serves the others meanwhile.
    auto waiting = std::make_shared<Waiting>(Waiting{c, {}});
    {
      std::lock_guard lock(later_->Lock);
      later_->Open.insert(waiting);
    }
    state.Later = waiting;
    MHD_suspend_connection(c);
    const auto later = std::move(r.Later);
    later([answers = later_, waiting](HttpResponse answer) {
      std::lock_guard lock(answers->Lock);
      if (answers->Stopped || !answers->Open.erase(waiting))
        return;
      waiting->Answer = std::move(answer);
      MHD_resume_connection(waiting->Connection);
    });
    return false;
  }
  finish(request, r);
  return true;
}

void HttpServer::finish(const HttpRequest& request, HttpResponse& r) {
  if (request.AcceptsGzip && r.Status == 200 && !r.Body.empty()) {
    std::string packed;
    if (gzip(r.Body, packed)) {
      r.Body = std::move(packed);
      r.Headers.push_back({"Content-Encoding", "gzip"});
    }
  }
  if (r.Status == 200)
    r.Headers.push_back({"Vary", "Accept-Encoding"});
}

} // namespace vexilctl
