// The exporter's Redfish service on its own: the power state a node's
// reports and the commands sent make, and what the service answers
// (documents, errors, who may reset) for lines that are stood in for.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <map>

#include "ctl/metrics.h"
#include "ctl/redfish.h"

using namespace vexilctl;
using VexilCtl::Power;

namespace {

VexilCtl::Piece report() {
  VexilCtl::Piece p;
  p.Type = VexilCtl::Piece::Load;
  return p;
}

QJsonObject json(const HttpResponse& r) {
  return QJsonDocument::fromJson(QByteArray::fromStdString(r.Body)).object();
}

// The value at a path of keys and indexes apart by "/".
QJsonValue at(const QJsonObject& o, const QString& path) {
  QJsonValue v = o;
  for (const QString& key : path.split('/')) {
    bool index = false;
    const int i = key.toInt(&index);
    v = index ? v.toArray().at(i) : v.toObject().value(key);
  }
  return v;
}

std::string messageId(const HttpResponse& r) {
  return at(json(r), "error/@Message.ExtendedInfo/0/MessageId").toString().toStdString();
}

std::string header(const HttpResponse& r, const std::string& name) {
  for (const auto& [n, v] : r.Headers)
    if (n == name)
      return v;
  return "";
}

} // namespace

// Each row: what happened on the line, and the state at the time asked.
TEST(RedfishPower, OnOnlyWhileReportsAreFreshAndOffOnlyAfterACommand) {
  struct Case {
    const char* What;
    double Report; // when the last report came (-1: none)
    const char* Command;
    double Sent; // when the command went
    double Asked;
    Power Expected;
  };
  const Case cases[] = {
      {"reporting", 100, "", -1, 105, Power::On},
      {"quiet with no command", 100, "", -1, 120, Power::Unknown},
      {"never reported", -1, "", -1, 100, Power::Unknown},
      {"power-off sent, still reporting", 100, "poweroff", 101, 110, Power::PoweringOff},
      {"power-off sent, went quiet", 100, "poweroff", 101, 130, Power::Off},
      {"power-off sent, reports go on past a minute", 170, "poweroff", 101, 172, Power::On},
      {"power-off sent, quiet long after it", 170, "poweroff", 101, 190, Power::Unknown},
      {"power-off sent to a node quiet before", 50, "poweroff", 101, 130, Power::Unknown},
      {"reboot sent, still reporting", 100, "reboot", 101, 110, Power::On},
      {"reboot sent, quiet", 100, "reboot", 101, 130, Power::PoweringOn},
      {"reboot sent, quiet past ten minutes", 100, "reboot", 101, 800, Power::Unknown},
  };
  for (const auto& c : cases) {
    VexilCtl::LineState l;
    l.LastSeen = c.Report;
    l.PowerCommand = c.Command;
    l.PowerCommandAt = c.Sent;
    EXPECT_EQ(VexilCtl::PowerName(VexilCtl::PowerOf(l, c.Asked)),
              std::string(VexilCtl::PowerName(c.Expected)))
        << c.What;
  }
  // A report after the silence that followed a command: the node is back,
  // and the command done with.
  VexilCtl::LineState l;
  l.Take(report(), 1000, 100);
  l.PowerCommand = "poweroff";
  l.PowerCommandAt = 101;
  l.Take(report(), 1005, 104); // not yet gone
  EXPECT_EQ(l.PowerCommand, "poweroff");
  l.Take(report(), 1200, 300); // powered on again
  EXPECT_EQ(l.PowerCommand, "");
  EXPECT_EQ(VexilCtl::PowerOf(l, 301), Power::On);
}

TEST(RedfishService, DocumentsErrorsAndWhoMayReset) {
  std::map<std::string, VexilCtl::LineState> lines;
  VexilCtl::LineState& node = lines["机柜/1"];
  node.Open = true;
  node.HasInventory = true;
  node.Inv.Processors = 8;
  node.Inv.MemoryUnits = 16000; // 15.26 GiB
  node.Inv.HostName = "n1";
  node.Inv.Addresses[0] = "10.0.0.5";
  node.Take(report(), 1000, 100);
  lines["down"].Problem = "no such device";
  std::vector<std::string> sent;
  std::string failure; // what the next send comes to
  RedfishService::Lines source;
  source.Names = [&] {
    std::vector<std::string> names;
    for (const auto& [name, l] : lines)
      names.push_back(name);
    return names;
  };
  source.One = [&](const std::string& name, VexilCtl::LineState& state) {
    const auto it = lines.find(name);
    if (it != lines.end())
      state = it->second;
    return it != lines.end();
  };
  source.Send = [&](const std::string& name, const std::string& command, const std::string& who,
                    std::function<void(bool, const std::string&)> done) {
    sent.push_back(name + " " + command + " " + who);
    done(failure.empty(), failure);
  };
  source.Now = [] { return 103.0; };
  WebConfig web;
  web.Tls = true;
  web.Users = {{"ops", "x"}, {"watcher", "x"}};
  web.Operators = {"ops"};
  const RedfishService service(source, web);
  const auto ask = [&](const std::string& method, const std::string& path,
                       const std::string& user = "watcher", const std::string& body = "") {
    HttpRequest r;
    r.Method = method;
    r.Path = path;
    r.User = user;
    r.Client = "10.9.8.7";
    r.Body = body;
    HttpResponse answer = service.Answer(r);
    if (const auto later = std::move(answer.Later)) // as the server does: the reply comes back
      later([&answer](HttpResponse reply) { answer = std::move(reply); });
    return answer;
  };

  // The collection names each line by its escaped Id.
  const HttpResponse all = ask("GET", "/redfish/v1/Systems/");
  EXPECT_EQ(header(all, "OData-Version"), "4.0");
  EXPECT_EQ(at(json(all), "Members/0/@odata.id"), "/redfish/v1/Systems/down");
  const QString path = "/redfish/v1/Systems/%E6%9C%BA%E6%9F%9C%2F1";
  EXPECT_EQ(at(json(all), "Members/1/@odata.id"), path);
  const HttpResponse system = ask("GET", path.toStdString());
  const QJsonObject s = json(system);
  EXPECT_EQ(s["Id"], "机柜/1");
  EXPECT_EQ(s["@odata.type"], "#ComputerSystem.v1_20_0.ComputerSystem");
  EXPECT_EQ(s["PowerState"], "On");
  EXPECT_EQ(at(s, "ProcessorSummary/Count"), 8);
  EXPECT_EQ(at(s, "MemorySummary/TotalSystemMemoryGiB").toDouble(), 15.26);
  EXPECT_EQ(at(s, "Actions/#ComputerSystem.Reset/target"), path + "/Actions/ComputerSystem.Reset");
  // A client that holds what it read gets 304.
  HttpRequest again;
  again.Method = "GET";
  again.Path = path.toStdString();
  again.Headers["if-none-match"] = header(system, "ETag");
  EXPECT_EQ(service.Answer(again).Status, 304);
  EXPECT_EQ(at(json(ask("GET", path.toStdString() + "/EthernetInterfaces")), "Members@odata.count"),
            1);
  EXPECT_EQ(
      at(json(ask("GET", path.toStdString() + "/EthernetInterfaces/1")), "IPv4Addresses/0/Address"),
      "10.0.0.5");
  const QJsonObject down = json(ask("GET", "/redfish/v1/Systems/down"));
  EXPECT_TRUE(down["PowerState"].isNull());
  EXPECT_EQ(at(down, "Status/State"), "UnavailableOffline");
  EXPECT_EQ(at(down, "Oem/Vexil/LineProblem"), "no such device");

  const std::string reset = path.toStdString() + "/Actions/ComputerSystem.Reset";
  const std::string restart = R"({"ResetType": "ForceRestart"})";
  struct Refusal {
    int Status;
    std::string Method, Path, User, Body, Id;
  };
  const Refusal refusals[] = {
      {404, "GET", "/redfish/v1/Systems/nobody", "ops", "", "ResourceNotFound"},
      {404, "GET", "/redfish/v1/Systems/bad%zz", "ops", "", "ResourceNotFound"},
      {405, "PATCH", path.toStdString(), "ops", "{}", "OperationNotAllowed"},
      {405, "GET", reset, "ops", "", "OperationNotAllowed"},
      {403, "POST", reset, "watcher", restart, "InsufficientPrivilege"},
      {400, "POST", reset, "ops", "{\"ResetType\": ", "MalformedJSON"},
      {400, "POST", reset, "ops", "{}", "ActionParameterMissing"},
      {400, "POST", reset, "ops", R"({"ResetType": 1})", "ActionParameterValueTypeError"},
      {400, "POST", reset, "ops", R"({"ResetType": "On"})", "ActionParameterValueNotInList"},
      {400, "POST", reset, "ops", R"({"ResetType": "ForceOff", "Delay": 5})",
       "ActionParameterUnknown"},
  };
  for (const auto& r : refusals) {
    const HttpResponse answer = ask(r.Method, r.Path, r.User, r.Body);
    EXPECT_EQ(answer.Status, r.Status) << r.Method << " " << r.Path << " " << r.Body;
    EXPECT_EQ(messageId(answer), "Base.1.16.0." + r.Id) << answer.Body;
  }
  EXPECT_TRUE(sent.empty());
  EXPECT_NE(ask("POST", reset, "ops", R"({"ResetType": "On"})").Body.find("no agent to hear"),
            std::string::npos);

  // An operator's reset goes out, named; one that cannot says why.
  EXPECT_EQ(ask("POST", reset, "ops", R"({"ResetType": "GracefulShutdown"})").Status, 204);
  ASSERT_EQ(sent, std::vector<std::string>{"机柜/1 poweroff Redfish user ops at 10.9.8.7"});
  failure = "the line is not open: no such device";
  const HttpResponse failed = ask("POST", reset, "ops", restart);
  EXPECT_EQ(failed.Status, 503);
  EXPECT_NE(failed.Body.find("The reboot command was not sent: " + failure), std::string::npos)
      << failed.Body;
  // Without TLS nobody may.
  web.Tls = false;
  const RedfishService plain(source, web);
  HttpRequest r;
  r.Method = "POST";
  r.Path = reset;
  r.User = "ops";
  r.Body = restart;
  EXPECT_EQ(plain.Answer(r).Status, 403);
  EXPECT_EQ(sent.size(), 2u);

  // The documents before a login are public; the server's refusals of the
  // rest come as Redfish errors, its headers kept.
  r = {};
  r.Method = "GET";
  for (const char* p : {"/redfish", "/redfish/v1/", "/redfish/v1/odata", "/redfish/v1/$metadata"}) {
    r.Path = p;
    EXPECT_TRUE(RedfishService::Public(r)) << p;
    EXPECT_EQ(service.Answer(r).Status, 200) << p;
  }
  r.Path = "/redfish/v1/Systems";
  EXPECT_FALSE(RedfishService::Public(r));
  HttpResponse refused;
  refused.Status = 401;
  refused.Headers.push_back({"WWW-Authenticate", "Basic realm=\"vexil\""});
  RedfishService::Dress(r, refused);
  EXPECT_EQ(messageId(refused), "Base.1.16.0.AccessDenied");
  EXPECT_EQ(header(refused, "WWW-Authenticate"), "Basic realm=\"vexil\"");
}

// A client logs in with its password and then sends the token: a session
// is its user's alone, ends on DELETE or after a half-hour unused, and a
// user holds a bounded number.
TEST(RedfishService, SessionsAsClientsLogIn) {
  double now = 100;
  RedfishService::Lines source;
  source.Now = [&] { return now; };
  WebConfig web;
  web.Tls = true;
  web.Users = {{"ops", "x"}, {"watcher", "x"}};
  const RedfishService service(source, web);
  const auto ask = [&](const std::string& method, const std::string& path, const std::string& user,
                       const std::string& body = "") {
    HttpRequest r;
    r.Method = method;
    r.Path = path;
    r.User = user;
    r.Body = body;
    r.CheckLogin = [](const std::string&, const std::string& password,
                      std::function<void(Login)> done) {
      done(password == "pw" ? Login::Passed : Login::Refused);
    };
    HttpResponse answer = service.Answer(r);
    if (const auto later = std::move(answer.Later))
      later([&answer](HttpResponse reply) { answer = std::move(reply); });
    return answer;
  };
  const std::string sessions = "/redfish/v1/SessionService/Sessions";
  const auto login = [&](const std::string& password) {
    return ask("POST", sessions, "", R"({"UserName": "ops", "Password": ")" + password + "\"}");
  };
  HttpRequest systems;
  systems.Path = "/redfish/v1/Systems";
  const HttpResponse in = login("pw");
  ASSERT_EQ(in.Status, 201) << in.Body;
  const std::string token = header(in, "X-Auth-Token"), location = header(in, "Location");
  EXPECT_EQ(token.size(), 64u);
  EXPECT_EQ(service.SessionUser(systems, token), "ops");
  HttpRequest metrics;
  metrics.Path = "/metrics";
  EXPECT_EQ(service.SessionUser(metrics, token), "") << "the metrics take basic auth only";
  EXPECT_EQ(at(json(ask("GET", location, "ops")), "UserName"), "ops");
  EXPECT_EQ(ask("GET", location, "watcher").Status, 404) << "another user's session is not there";
  EXPECT_EQ(at(json(ask("GET", sessions, "watcher")), "Members@odata.count"), 0);
  EXPECT_EQ(ask("DELETE", location, "ops").Status, 204);
  EXPECT_EQ(service.SessionUser(systems, token), "");

  EXPECT_EQ(messageId(login("guess")), "Base.1.16.0.AccessDenied");
  EXPECT_EQ(messageId(ask("POST", sessions, "", R"({"UserName": "ops"})")),
            "Base.1.16.0.CreateFailedMissingReqProperties");
  // Unused for half an hour, a session is gone.
  const std::string idle = header(login("pw"), "X-Auth-Token");
  now += RedfishService::SESSION_TIMEOUT_S + 1;
  EXPECT_EQ(service.SessionUser(systems, idle), "");
  for (std::size_t i = 0; i < RedfishService::SESSIONS_PER_USER; ++i)
    EXPECT_EQ(login("pw").Status, 201);
  EXPECT_EQ(messageId(login("pw")), "Base.1.16.0.SessionLimitExceeded");
}
