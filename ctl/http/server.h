// The exporter's HTTP endpoint, fit for a network: libmicrohttpd with
// limits on connections (in all and per address) and on the memory of each,
// a deadline for every request head (a client that dribbles its headers is
// cut after 30 s, as is one that says nothing), TLS and basic auth from a
// web config, and one thread per listening address. The handler runs on
// those threads.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ctl/http/web_config.h"

struct MHD_Daemon;
struct MHD_Connection;
struct sockaddr;

namespace vexilctl {

// Whom a client counts as for the per-address limits: its IPv4 address
// ("127.0.0.1", also when it comes as ::ffff:127.0.0.1), or for IPv6 its /64
// ("[2001:db8:1:2::]/64"), the block one site, or one attacker, holds whole.
std::string ClientGroup(const sockaddr* address);

enum class Login { Passed, Refused, TooMany };

struct HttpRequest {
  std::string Method;
  std::string Path; // as sent, its %XX escapes kept; without the query
  bool AcceptsGzip = false;
  std::map<std::string, std::string> Headers; // by lower-case name
  std::string Body;
  std::string User;   // who authenticated; "" when no one had to
  std::string Client; // the client's address
  // Checks a user's password given in a body (a login), as the server
  // checks basic auth: off the serving threads, wrong tries limited per
  // address. done runs once, on any thread.
  std::function<void(const std::string& user, const std::string& password,
                     std::function<void(Login)> done)>
      CheckLogin;
  std::string Header(const std::string& lowerCaseName) const {
    const auto it = Headers.find(lowerCaseName);
    return it == Headers.end() ? "" : it->second;
  }
};

struct HttpResponse;
// Answers a request whose answer came later; from any thread, once.
using HttpReply = std::function<void(HttpResponse)>;

struct HttpResponse {
  int Status = 200;
  std::string ContentType = "text/plain; charset=utf-8";
  std::string Body;
  std::vector<std::pair<std::string, std::string>> Headers;
  // When set, the answer comes later: the request waits (its connection
  // suspended, the server's threads free) until the reply given to this
  // is called. A reply after the server stopped goes nowhere.
  std::function<void(HttpReply)> Later;
};

class HttpServer {
public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  struct Hooks {
    Handler Answer;
    // Requests that need no credentials even where users are configured.
    std::function<bool(const HttpRequest&)> Public;
    // The user a session token (X-Auth-Token) stands for, or "" when it
    // stands for none.
    std::function<std::string(const HttpRequest&, const std::string& token)> TokenUser;
    // Puts a refusal of the server's own (401, 403, 413, 429, 503) in the
    // form the resource asked for takes.
    std::function<void(const HttpRequest&, HttpResponse&)> Dress;
  };
  // A request's body, at most; a longer one is refused with 413.
  static constexpr std::size_t BODY_MAX = 16 * 1024;

  // A request head must be in within this long of the connection's start or
  // of the end of its last request; idle connections close as long after.
  static constexpr unsigned HEAD_DEADLINE_S = 30;
  // Memory of one connection: its request head and buffers. A longer head is
  // refused with 431.
  static constexpr unsigned CONNECTION_MEMORY = 64 * 1024;
  // Connections at once: past this a new one is still taken, and the oldest
  // connection of the address that holds the most is closed for it, so
  // that a crowd of addresses cannot lock out one more (the Prometheus
  // server's). The library itself takes at most CONNECTIONS_HARD.
  static constexpr unsigned CONNECTIONS = 512;
  static constexpr unsigned CONNECTIONS_HARD = CONNECTIONS + 64;
  static constexpr unsigned CONNECTIONS_PER_ADDRESS = 32;
  // Answers queued and not yet taken by their clients (pipelined requests
  // that are never read), all connections together; past it a request gets
  // 503. With CONNECTION_MEMORY each, the endpoint holds at most about
  // RESPONSE_MEMORY + CONNECTIONS_HARD * CONNECTION_MEMORY = 68 MiB.
  static constexpr std::size_t RESPONSE_MEMORY = 32u << 20;
  // Listening addresses at most (each has a thread).
  static constexpr std::size_t LISTEN_MAX = 6;

  // Listens on every address of every --listen value: ":PORT" (every
  // address, IPv4 and IPv6), "[IPv6]:PORT", "HOST:PORT" (an address or a
  // name). nullptr with the reason in error; usage tells a bad value from
  // one that cannot be bound.
  static std::unique_ptr<HttpServer> Start(const std::vector<std::string>& listen,
                                           const WebConfig& web, Hooks hooks, std::string& error,
                                           bool& usage);
  ~HttpServer();
  // "http://127.0.0.1:9868", "https://[::]:9868": what is listened on.
  const std::vector<std::string>& Urls() const { return urls_; }

  // Failed password tries an address may make: a burst of this many, then
  // one a second; past that it gets 429 at once, without a hash being made.
  static constexpr double FAILED_TRIES_BURST = 5;
  static constexpr double FAILED_TRIES_PER_S = 1;
  // Threads that check passwords (bcrypt is slow on purpose): never the ones
  // that serve connections.
  static constexpr int PASSWORD_CHECKERS = 2;

  // One request's state between the library's calls.
  struct Waiting;
  struct RequestState {
    enum { Fresh, Checking, Passed, Refused } Auth = Fresh;
    std::string User;
    std::string Body;
    bool BodyTooLong = false;
    std::shared_ptr<Waiting> Later; // an answer that comes later
  };

  // For the library's callbacks.
  void Started(MHD_Connection* c, int fd);
  void HeadIn(MHD_Connection* c);
  void RequestDone(MHD_Connection* c);
  void Closed(MHD_Connection* c);
  // The answer to a request, or false when its password is being checked
  // or its answer comes later (the connection is suspended and comes back
  // once it is in).
  bool Serve(MHD_Connection* c, RequestState& state, HttpRequest& request, HttpResponse& response);
  // Counts an answer of bytes against RESPONSE_MEMORY until its request is
  // done; false when it does not fit.
  bool Hold(MHD_Connection* c, std::size_t bytes);
  // For HttpRequest::CheckLogin, from a client of group.
  void CheckLogin(const std::string& group, const std::string& user, const std::string& password,
                  std::function<void(Login)> done);
  // Gives the server's refusal r the form request's resource takes.
  void Dress(const HttpRequest& request, HttpResponse& r) const {
    if (hooks_.Dress)
      hooks_.Dress(request, r);
  }

private:
  HttpServer() = default;
  void watch();
  // Fresh: decided at once (true), or a check is begun (false).
  bool authorised(MHD_Connection* c, RequestState& state, const HttpRequest& request,
                  HttpResponse& refusal);
  void finish(const HttpRequest& request, HttpResponse& r);
  void checkPasswords();
  // Takes one failed try of address; false when it has none left.
  bool failedTry(const std::string& address);

  struct Tracked {
    int Fd;
    double Deadline; // 0: a request is being served
    bool Cut = false;
    std::string Address;     // the client's
    double Since = 0;        // when it came
    std::size_t Holding = 0; // bytes of an answer not yet taken
  };
  void release(Tracked& t);

  std::vector<MHD_Daemon*> daemons_;
  std::vector<std::string> urls_;
  Hooks hooks_;
  WebConfig web_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::map<MHD_Connection*, Tracked> tracked_;  // under lock_
  std::size_t held_ = 0;                        // answers' bytes, under lock_
  std::map<std::string, std::string> verified_; // user -> password seen good, under lock_
  bool stop_ = false;
  std::thread watcher_;
  // Password checks waiting for a checker, and what they need. Under lock_.
  // A password to check (a request's basic auth, or a login), and whom to
  // tell; Done runs without the lock.
  struct Check {
    std::string User, Hash, Password, Group;
    std::function<void(bool ok)> Done;
  };
  // Under lock_: a password decided at once (true, with now), or its check
  // given to a checker, which calls done (false).
  bool startCheck(const std::string& group, const std::string& user, const std::string& password,
                  Login& now, std::function<void(bool ok)> done);
  std::vector<Check> checks_;
  std::condition_variable checkAsked_;
  std::vector<std::thread> checkers_;
  std::string dummyHash_; // for users that do not exist: the same cost
  // Answers that come later: given once, by their reply or, at the end, by
  // the server itself.
  struct LaterAnswers {
    std::mutex Lock;
    bool Stopped = false;
    std::set<std::shared_ptr<Waiting>> Open;
  };
  std::shared_ptr<LaterAnswers> later_ = std::make_shared<LaterAnswers>();
  struct Bucket {
    double Tokens, At;
  };
  std::map<std::string, Bucket> failed_; // by address, under lock_
};

} // namespace vexilctl
