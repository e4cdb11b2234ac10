// The exporter's Redfish service, beside its metrics on the same endpoint:
// every line a ComputerSystem under /redfish/v1/Systems, with what its
// node's reports say, its power as the reports and the commands sent tell
// it, and a Reset action that goes through the lines' command path. The
// tools that run bare-metal fleets then reach nodes that have no BMC.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ctl/http/server.h"
#include "ctl/http/web_config.h"
#include "ctl/metrics.h"

namespace vexilctl {

class RedfishService {
public:
  struct Lines {
    // The lines' names, in their order.
    std::function<std::vector<std::string>()> Names;
    // One line's state; false when there is no such line.
    std::function<bool(const std::string& name, VexilCtl::LineState& state)> One;
    // Sends command ("poweroff" or "reboot") on the line named, for who,
    // within RESET_TIMEOUT_S; done(ok, why) once it is decided, from any
    // thread.
    std::function<void(const std::string& name, const std::string& command, const std::string& who,
                       std::function<void(bool, const std::string&)> done)>
        Send;
    // Seconds on the monotonic clock of the lines' states.
    std::function<double()> Now;
  };
  // How long a Reset may take to go out on its line, as vexil-ctl send's
  // default.
  static constexpr double RESET_TIMEOUT_S = 3.0;

  RedfishService(Lines lines, const WebConfig& web);

  // Whether a path is the service's (under /redfish).
  static bool Handles(const std::string& path);
  // The documents a client reads before it logs in.
  static bool Public(const HttpRequest& request);
  HttpResponse Answer(const HttpRequest& request) const;
  // The server's own refusals as Redfish errors.
  static void Dress(const HttpRequest& request, HttpResponse& r);
  // The user a session token stands for, or "" (none, or timed out); each
  // use keeps the session alive.
  std::string SessionUser(const HttpRequest& request, const std::string& token) const;
  // A session unused this long ends; a user holds this many at most.
  static constexpr double SESSION_TIMEOUT_S = 1800;
  static constexpr std::size_t SESSIONS_PER_USER = 16;

  // What the service allows, for the start's log line.
  std::string Mode() const;
  const std::string& Uuid() const { return uuid_; }

  // A name as one part of a URL path, and back ("" and false for a part
  // that is not well formed).
  static std::string Escape(const std::string& name);
  static bool Unescape(const std::string& part, std::string& name);

private:
  HttpResponse system(const std::string& id, const std::vector<std::string>& rest,
                      const HttpRequest& request) const;
  HttpResponse reset(const std::string& id, const HttpRequest& request) const;
  HttpResponse sessions(const std::vector<std::string>& parts, const HttpRequest& request) const;
  HttpResponse login(const HttpRequest& request) const;

  Lines lines_;
  bool tls_;
  bool users_;
  std::set<std::string> operators_;
  std::string uuid_;
  struct Session {
    std::string Id, User;
    double LastUsed;
  };
  mutable std::mutex sessionsLock_;
  mutable std::map<std::string, Session> sessions_; // by token, under sessionsLock_
};

} // namespace vexilctl
