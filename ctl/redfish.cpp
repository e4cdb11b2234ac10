#include "ctl/redfish.h"

#include <gnutls/crypto.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "ctl/control.h"
#include "ctl/reports.h"
#include "platform/files.h"
#include "vexil/version.h"

namespace vexilctl {

namespace {

using Json = nlohmann::ordered_json;

const char ROOT[] = "/redfish/v1";
const char RESET[] = "ComputerSystem.Reset";

// The messages of DMTF's Base registry that this service gives.
struct Message {
  const char* Text; // %1, %2 ... for the arguments
  const char* Severity;
  const char* Resolution;
};
const char REGISTRY[] = "Base.1.16.0.";
const std::map<std::string, Message>& registry() {
  static const std::map<std::string, Message> messages = {
      {"AccessDenied",
       {"While attempting to establish a connection to '%1', the service denied access.",
        "Critical",
        "Attempt to ensure that the URI is correct and that the service has the appropriate "
        "credentials."}},
      {"ActionParameterMissing",
       {"The action %1 requires the parameter %2 to be present in the request body.", "Critical",
        "Supply the action with the required parameter in the request body when the request is "
        "resubmitted."}},
      {"ActionParameterUnknown",
       {"The action %1 was submitted with the invalid parameter %2.", "Warning",
        "Correct the invalid action parameter and resubmit the request if the operation "
        "failed."}},
      {"ActionParameterValueNotInList",
       {"The value '%1' for the parameter %2 in the action %3 is not in the list of acceptable "
        "values.",
        "Warning",
        "Choose a value from the enumeration list that the implementation can support and "
        "resubmit the request if the operation failed."}},
      {"ActionParameterValueTypeError",
       {"The value '%1' for the parameter %2 in the action %3 is of a different type than the "
        "parameter can accept.",
        "Warning",
        "Correct the value for the parameter in the request body and resubmit the request if the "
        "operation failed."}},
      {"CreateFailedMissingReqProperties",
       {"The create operation failed because the required property %1 was missing from the "
        "request.",
        "Critical",
        "Correct the body to include the required property with a valid value and resubmit the "
        "request if the operation failed."}},
      {"InsufficientPrivilege",
       {"There are insufficient privileges for the account or credentials associated with the "
        "current session to perform the requested operation.",
        "Critical",
        "Either abandon the operation or change the associated access rights and resubmit the "
        "request if the operation failed."}},
      {"MalformedJSON",
       {"The request body submitted was malformed JSON and could not be parsed by the receiving "
        "service.",
        "Critical", "Ensure that the request body is valid JSON and resubmit the request."}},
      {"OperationFailed",
       {"An error occurred internal to the service as part of the overall request.  Partial "
        "results may have been returned.",
        "Warning",
        "Resubmit the request.  If the problem persists, consider resetting the service or "
        "provider."}},
      {"OperationNotAllowed",
       {"The HTTP method is not allowed on this resource.", "Critical", "None."}},
      {"PayloadTooLarge",
       {"The supplied payload exceeds the maximum size supported by the service.", "Critical",
        "Check that the supplied payload is correct and supported by this service."}},
      {"ResourceNotFound",
       {"The requested resource of type %1 named '%2' was not found.", "Critical",
        "Provide a valid resource identifier and resubmit the request."}},
      {"SessionLimitExceeded",
       {"The session establishment failed due to the number of simultaneous sessions exceeding "
        "the limit of the implementation.",
        "Critical",
        "Reduce the number of other sessions before trying to establish the session or increase "
        "the limit of simultaneous sessions, if supported."}},
      {"ServiceTemporarilyUnavailable",
       {"The service is temporarily unavailable.  Retry in %1 seconds.", "Critical",
        "Wait for the indicated retry duration and retry the operation."}},
  };
  return messages;
}

// A Redfish error: the registry's message with its arguments; resolution,
// when given, says what this service knows of the cause and the way out.
HttpResponse error(int status, const std::string& id, const std::vector<std::string>& args = {},
                   const std::string& resolution = "") {
  const Message& m = registry().at(id);
  std::string text = m.Text;
  for (std::size_t i = 0; i < args.size(); ++i) // (three at most)
    if (const auto at = text.find("%" + std::to_string(i + 1)); at != std::string::npos)
      text.replace(at, 2, args[i]);
  Json info = {{"@odata.type", "#Message.v1_1_1.Message"},
               {"MessageId", REGISTRY + id},
               {"Message", text},
               {"MessageArgs", args},
               {"MessageSeverity", m.Severity},
               {"Resolution", resolution.empty() ? m.Resolution : resolution}};
  const Json body = {{"error",
                      {{"code", REGISTRY + id},
                       {"message", resolution.empty() ? text : text + " " + resolution},
                       {"@Message.ExtendedInfo", Json::array({info})}}}};
  HttpResponse r;
  r.Status = status;
  r.ContentType = "application/json; charset=utf-8";
  r.Body = body.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  r.Headers.push_back({"OData-Version", "4.0"});
  return r;
}

// A resource: its JSON with the ETag of what it says; 304 when the client
// holds that already.
HttpResponse resource(std::string body, const std::string& type, const HttpRequest& request,
                      const char* allow = "GET, HEAD") {
  HttpResponse r;
  r.ContentType = type;
  r.Body = std::move(body);
  std::uint64_t hash = 1469598103934665603ull; // FNV-1a
  for (unsigned char c : r.Body)
    hash = (hash ^ c) * 1099511628211ull;
  char etag[32];
  std::snprintf(etag, sizeof etag, "W/\"%016llx\"", static_cast<unsigned long long>(hash));
  r.Headers = {{"OData-Version", "4.0"}, {"ETag", etag}, {"Allow", allow}};
  if (request.Header("if-none-match") == etag) {
    r.Status = 304;
    r.Body.clear();
  }
  return r;
}

HttpResponse resource(const Json& body, const HttpRequest& request,
                      const char* allow = "GET, HEAD") {
  // Names and texts from the nodes may hold bytes that are no UTF-8: they
  // are shown as U+FFFD rather than break the document.
  return resource(body.dump(2, ' ', false, Json::error_handler_t::replace) + "\n",
                  "application/json; charset=utf-8", request, allow);
}

Json link(const std::string& path) {
  return {{"@odata.id", path}};
}

// @odata.id, @odata.type and @odata.context for a resource of type
// ("ComputerSystem.v1_20_0.ComputerSystem").
Json head(const std::string& path, const std::string& type) {
  const std::string plain = type.substr(0, type.find('.')) + "." + type.substr(type.rfind('.') + 1);
  return {{"@odata.id", path},
          {"@odata.type", "#" + type},
          {"@odata.context", std::string(ROOT) + "/$metadata#" + plain}};
}

Json collection(const std::string& path, const std::string& type, const std::string& name,
                const std::vector<std::string>& members) {
  Json c = head(path, type + "." + type);
  c["Name"] = name;
  c["Members@odata.count"] = members.size();
  Json list = Json::array();
  for (const auto& m : members)
    list.push_back(link(path + "/" + m));
  c["Members"] = std::move(list);
  return c;
}

// The ETags and the allowed methods stand for GET; any other method is
// refused with the methods that are allowed.
bool onlyReading(const HttpRequest& request, HttpResponse& refusal,
                 const char* allow = "GET, HEAD") {
  if (request.Method == "GET" || request.Method == "HEAD")
    return true;
  refusal = error(405, "OperationNotAllowed");
  refusal.Headers.push_back({"Allow", allow});
  return false;
}

// For the host's UUID: the machine's id where it has one, else its name.
std::string hostUuid() {
  std::string seed;
  platform::ReadTextFile("/etc/machine-id", seed);
  if (VexilCtl::Trimmed(seed).empty()) {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    seed = name;
  }
  seed = "vexil-exporter redfish " + VexilCtl::Trimmed(seed);
  unsigned char digest[32] = {};
  gnutls_hash_fast(GNUTLS_DIG_SHA256, seed.data(), seed.size(), digest);
  digest[6] = static_cast<unsigned char>((digest[6] & 0x0F) | 0x50); // a name-based UUID
  digest[8] = static_cast<unsigned char>((digest[8] & 0x3F) | 0x80);
  char text[37];
  std::snprintf(
      text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x",
      digest[0], digest[1], digest[2], digest[3], digest[4], digest[5], digest[6], digest[7],
      digest[8], digest[9], digest[10], digest[11], digest[12], digest[13], digest[14], digest[15]);
  return text;
}

// The parts of a path after /redfish/v1, each decoded; false for a path
// that is not the service's, or a part that is not well formed.
bool partsOf(const std::string& path, std::vector<std::string>& parts) {
  parts.clear();
  const std::string root = ROOT;
  if (path.compare(0, root.size(), root) != 0 ||
      (path.size() > root.size() && path[root.size()] != '/'))
    return false;
  std::string rest = path.substr(root.size());
  std::size_t at = 0;
  while (at < rest.size()) {
    const std::size_t next = rest.find('/', at + 1);
    const std::string part = rest.substr(at + 1, next == std::string::npos ? next : next - at - 1);
    if (!part.empty() || next != std::string::npos) {
      std::string name;
      if (!RedfishService::Unescape(part, name))
        return false;
      parts.push_back(name);
    }
    at = next == std::string::npos ? rest.size() : next;
  }
  // "/redfish/v1/Systems/" is "/redfish/v1/Systems".
  if (!parts.empty() && parts.back().empty())
    parts.pop_back();
  return true;
}

// Random bytes as hex digits ("" when the system has none to give).
std::string randomHex(std::size_t bytes) {
  std::string random(bytes, '\0');
  return getentropy(random.data(), random.size()) == 0 ? ToHex(random) : "";
}

const char* const RESET_TYPES[] = {"ForceOff", "GracefulShutdown", "ForceRestart",
                                   "GracefulRestart"};

} // namespace

RedfishService::RedfishService(Lines lines, const WebConfig& web)
    : lines_(std::move(lines)), tls_(web.Tls), users_(!web.Users.empty()),
      operators_(web.Operators), uuid_(hostUuid()) {}

bool RedfishService::Handles(const std::string& path) {
  return path == "/redfish" || path.rfind("/redfish/", 0) == 0;
}

bool RedfishService::Public(const HttpRequest& request) {
  const std::string& p = request.Path;
  // (A client that logs in posts its credentials.)
  if (request.Method == "POST")
    return p == std::string(ROOT) + "/SessionService/Sessions";
  return (request.Method == "GET" || request.Method == "HEAD") &&
         (p == "/redfish" || p == "/redfish/" || p == ROOT || p == std::string(ROOT) + "/" ||
          p == std::string(ROOT) + "/odata" || p == std::string(ROOT) + "/$metadata");
}

std::string RedfishService::Mode() const {
  if (!users_)
    return "read-only: the web config names no users, so none can be an operator";
  if (operators_.empty())
    return "read-only: the web config names no redfish_operators";
  std::string names;
  for (const auto& o : operators_)
    names += (names.empty() ? "" : ", ") + o;
  return "power actions for " + names;
}

std::string RedfishService::Escape(const std::string& name) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : name)
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  return out;
}

bool RedfishService::Unescape(const std::string& part, std::string& name) {
  name.clear();
  const auto value = [](char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
  };
  for (std::size_t i = 0; i < part.size(); ++i) {
    if (part[i] != '%') {
      name += part[i];
      continue;
    }
    if (i + 2 >= part.size())
      return false;
    const int hi = value(part[i + 1]), lo = value(part[i + 2]);
    if (hi < 0 || lo < 0)
      return false;
    name += static_cast<char>(hi << 4 | lo);
    i += 2;
  }
  return true;
}

HttpResponse RedfishService::Answer(const HttpRequest& request) const {
  HttpResponse refusal;
  if (request.Path == "/redfish" || request.Path == "/redfish/") {
    if (!onlyReading(request, refusal))
      return refusal;
    return resource({{"v1", std::string(ROOT) + "/"}}, request);
  }
  std::vector<std::string> parts;
  if (!partsOf(request.Path, parts))
    return error(404, "ResourceNotFound", {"Resource", request.Path});
  if (parts.empty()) {
    if (!onlyReading(request, refusal))
      return refusal;
    Json root = head(std::string(ROOT) + "/", "ServiceRoot.v1_15_0.ServiceRoot");
    root["Id"] = "RootService";
    root["Name"] = "Vexil exporter";
    root["RedfishVersion"] = "1.17.0";
    root["UUID"] = uuid_;
    root["Product"] = "Vexil exporter";
    root["Vendor"] = "Vexil";
    root["Oem"] = {{"Vexil", {{"Version", VEXIL_VERSION}}}};
    root["Systems"] = link(std::string(ROOT) + "/Systems");
    root["SessionService"] = link(std::string(ROOT) + "/SessionService");
    root["Links"] = {{"Sessions", link(std::string(ROOT) + "/SessionService/Sessions")}};
    return resource(root, request);
  }
  if (parts.size() == 1 && parts[0] == "odata") {
    if (!onlyReading(request, refusal))
      return refusal;
    return resource(
        {{"@odata.context", std::string(ROOT) + "/$metadata"},
         {"value",
          {{{"name", "Service"}, {"kind", "Singleton"}, {"url", std::string(ROOT) + "/"}},
           {{"name", "Systems"}, {"kind", "Singleton"}, {"url", std::string(ROOT) + "/Systems"}}}}},
        request);
  }
  if (parts.size() == 1 && parts[0] == "$metadata") {
    if (!onlyReading(request, refusal))
      return refusal;
    // Where each type used is defined: DMTF's published schemas.
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<edmx:Edmx xmlns:edmx=\"http://docs.oasis-open.org/odata/ns/edmx\" "
                      "Version=\"4.0\">\n";
    for (const char* schema :
         {"ServiceRoot.v1_15_0", "ComputerSystemCollection", "ComputerSystem.v1_20_0",
          "ProcessorCollection", "Processor.v1_18_0", "EthernetInterfaceCollection",
          "EthernetInterface.v1_9_0", "Message.v1_1_1"}) {
      const std::string ns = schema, file = ns.substr(0, ns.find('.'));
      xml += "  <edmx:Reference Uri=\"http://redfish.dmtf.org/schemas/v1/" + file +
             "_v1.xml\">\n    <edmx:Include Namespace=\"" + file + "\"/>\n";
      if (ns != file)
        xml += "    <edmx:Include Namespace=\"" + ns + "\"/>\n";
      xml += "  </edmx:Reference>\n";
    }
    xml += "  <edmx:DataServices>\n    <Schema xmlns=\"http://docs.oasis-open.org/odata/ns/edm\" "
           "Namespace=\"Service\">\n      <EntityContainer Name=\"Service\" "
           "Extends=\"ServiceRoot.v1_15_0.ServiceContainer\"/>\n    </Schema>\n"
           "  </edmx:DataServices>\n</edmx:Edmx>\n";
    return resource(xml, "application/xml; charset=utf-8", request);
  }
  if (parts[0] == "SessionService")
    return sessions(parts, request);
  if (parts[0] != "Systems")
    return error(404, "ResourceNotFound", {"Resource", request.Path});
  if (parts.size() == 1) {
    if (!onlyReading(request, refusal))
      return refusal;
    std::vector<std::string> members;
    for (const auto& name : lines_.Names())
      members.push_back(Escape(name));
    return resource(collection(std::string(ROOT) + "/Systems", "ComputerSystemCollection",
                               "Computer System Collection", members),
                    request);
  }
  return system(parts[1], std::vector<std::string>(parts.begin() + 2, parts.end()), request);
}

HttpResponse RedfishService::system(const std::string& id, const std::vector<std::string>& rest,
                                    const HttpRequest& request) const {
  VexilCtl::LineState l;
  if (!lines_.One(id, l))
    return error(404, "ResourceNotFound", {"ComputerSystem", id});
  const std::string path = std::string(ROOT) + "/Systems/" + Escape(id);
  if (rest.size() == 2 && rest[0] == "Actions" && rest[1] == RESET)
    return reset(id, request);
  HttpResponse refusal;
  if (!onlyReading(request, refusal))
    return refusal;
  const VexilCtl::InventoryReport& inv = l.Inv;
  const bool up = VexilCtl::NodeUp(l, lines_.Now());
  const Json enabled = {{"State", "Enabled"}, {"Health", "OK"}};
  std::vector<std::string> addresses;
  for (const auto& a : inv.Addresses)
    if (!VexilCtl::Trimmed(a).empty())
      addresses.push_back(VexilCtl::Trimmed(a));
  if (rest.size() == 1 && rest[0] == "Processors")
    return resource(
        collection(path + "/Processors", "ProcessorCollection", "Processor Collection",
                   l.HasInventory ? std::vector<std::string>{"CPU"} : std::vector<std::string>{}),
        request);
  if (rest.size() == 2 && rest[0] == "Processors" && rest[1] == "CPU" && l.HasInventory) {
    // The node reports its processors together: one resource for them all.
    Json p = head(path + "/Processors/CPU", "Processor.v1_18_0.Processor");
    p["Id"] = "CPU";
    p["Name"] = "Processors";
    p["ProcessorType"] = "CPU";
    p["Model"] = VexilCtl::Trimmed(inv.ProcessorModel);
    p["MaxSpeedMHz"] = inv.ClockMHz;
    p["TotalThreads"] = inv.Processors;
    p["Status"] = enabled;
    return resource(p, request);
  }
  if (rest.size() == 1 && rest[0] == "EthernetInterfaces") {
    std::vector<std::string> ids;
    for (std::size_t i = 1; i <= addresses.size(); ++i)
      ids.push_back(std::to_string(i));
    return resource(collection(path + "/EthernetInterfaces", "EthernetInterfaceCollection",
                               "Ethernet Interface Collection", ids),
                    request);
  }
  if (rest.size() == 2 && rest[0] == "EthernetInterfaces") {
    // The report names up to four addresses, not the cards they are on.
    std::size_t n = 0;
    for (std::size_t i = 1; i <= addresses.size(); ++i)
      if (rest[1] == std::to_string(i))
        n = i;
    if (n == 0)
      return error(404, "ResourceNotFound", {"EthernetInterface", rest[1]});
    Json e =
        head(path + "/EthernetInterfaces/" + rest[1], "EthernetInterface.v1_9_0.EthernetInterface");
    e["Id"] = rest[1];
    e["Name"] = "Network address " + rest[1];
    e["IPv4Addresses"] = Json::array({{{"Address", addresses[n - 1]}}});
    e["Status"] = enabled;
    return resource(e, request);
  }
  if (!rest.empty())
    return error(404, "ResourceNotFound", {"Resource", request.Path});

  Json s = head(path, "ComputerSystem.v1_20_0.ComputerSystem");
  s["Id"] = id;
  s["Name"] = id;
  s["SystemType"] = "Physical";
  const VexilCtl::Power power = VexilCtl::PowerOf(l, lines_.Now());
  if (power == VexilCtl::Power::Unknown)
    s["PowerState"] = nullptr;
  else
    s["PowerState"] = VexilCtl::PowerName(power);
  // The line first: a node that cannot be reached is offline whatever it
  // said last.
  Json status;
  switch (power) {
  case VexilCtl::Power::On:
  case VexilCtl::Power::PoweringOff: status = enabled; break;
  case VexilCtl::Power::Off: status = {{"State", "StandbyOffline"}, {"Health", "OK"}}; break;
  case VexilCtl::Power::PoweringOn: status = {{"State", "Starting"}, {"Health", "OK"}}; break;
  case VexilCtl::Power::Unknown:
    status = {{"State", "UnavailableOffline"}, {"Health", "Critical"}};
    break;
  }
  if (!l.Open)
    status = {{"State", "UnavailableOffline"}, {"Health", "Critical"}};
  s["Status"] = status;
  if (l.HasInventory) {
    s["HostName"] = VexilCtl::Trimmed(inv.HostName);
    s["ProcessorSummary"] = {{"Count", inv.Processors},
                             {"LogicalProcessorCount", inv.Processors},
                             {"Model", VexilCtl::Trimmed(inv.ProcessorModel)}};
    // Units of 1,024,000 bytes, in GiB to a hundredth.
    const double gib = static_cast<double>(inv.MemoryUnits) * 1024000.0 / (1024.0 * 1024 * 1024);
    s["MemorySummary"] = {{"TotalSystemMemoryGiB",
                           static_cast<double>(static_cast<long long>(gib * 100 + 0.5)) / 100}};
  }
  s["Processors"] = link(path + "/Processors");
  s["EthernetInterfaces"] = link(path + "/EthernetInterfaces");
  // Nothing here picks a boot source; the clients expect the object.
  s["Boot"] = {{"BootSourceOverrideEnabled", "Disabled"},
               {"BootSourceOverrideTarget", "None"},
               {"BootSourceOverrideTarget@Redfish.AllowableValues", {"None"}}};
  s["Actions"] = {{"#" + std::string(RESET),
                   {{"target", path + "/Actions/" + RESET},
                    {"ResetType@Redfish.AllowableValues", RESET_TYPES}}}};
  Json vexil = {
      {"@odata.type", "#VexilComputerSystem.v1_0_0.VexilComputerSystem"},
      {"LineOpen", l.Open},
      {"LineProblem", l.Open || l.Problem.empty() ? Json(nullptr) : Json(l.Problem)},
      {"NodeUp", up},
      {"LastReportSecondsAgo",
       l.LastSeen < 0 ? Json(nullptr) : Json(static_cast<long long>(lines_.Now() - l.LastSeen))},
      {"LastPowerCommand", l.PowerCommand.empty() ? Json(nullptr) : Json(l.PowerCommand)}};
  if (l.HasInventory) {
    vexil["OperatingSystem"] = VexilCtl::Trimmed(inv.Os);
    vexil["NetworkCards"] = inv.NetworkCards;
    vexil["Disks"] = inv.Disks;
    if (const double bytes = VexilCtl::DiskSizeBytes(inv.DiskSize); bytes >= 0)
      vexil["DiskBytes"] = static_cast<long long>(bytes);
  }
  s["Oem"] = {{"Vexil", vexil}};
  return resource(s, request);
}

HttpResponse RedfishService::reset(const std::string& id, const HttpRequest& request) const {
  if (request.Method != "POST") {
    HttpResponse r = error(405, "OperationNotAllowed");
    r.Headers.push_back({"Allow", "POST"});
    return r;
  }
  // Who may: a named operator, authenticated, over TLS.
  if (!tls_ || request.User.empty() || !operators_.count(request.User))
    return error(403, "InsufficientPrivilege", {},
                 !tls_ || operators_.empty()
                     ? "Power actions on this exporter are turned off: they go only over TLS, "
                       "for the users named in redfish_operators of its web config."
                     : "Power actions are for the users named in redfish_operators of the "
                       "exporter's web config; " +
                           (request.User.empty() ? std::string("log in as one")
                                                 : request.User + " is not one of them") +
                           ".");
  const std::string action = RESET;
  const Json body = Json::parse(request.Body, nullptr, false);
  if (body.is_discarded() || !body.is_object())
    return error(400, "MalformedJSON");
  for (const auto& [key, value] : body.items())
    if (key != "ResetType")
      return error(400, "ActionParameterUnknown", {action, key});
  if (!body.contains("ResetType"))
    return error(400, "ActionParameterMissing", {action, "ResetType"});
  if (!body["ResetType"].is_string())
    return error(400, "ActionParameterValueTypeError",
                 {body["ResetType"].dump(), "ResetType", action});
  const std::string type = body["ResetType"];
  std::string command;
  if (type == "ForceOff" || type == "GracefulShutdown")
    command = "poweroff";
  else if (type == "ForceRestart" || type == "GracefulRestart")
    command = "reboot";
  if (command.empty())
    return error(400, "ActionParameterValueNotInList", {type, "ResetType", action},
                 type == "On" || type == "ForceOn"
                     ? "A node is powered on at the machine or through its BMC: one that is off "
                       "has no agent to hear a command on its serial line."
                     : "This service takes ForceOff, GracefulShutdown, ForceRestart and "
                       "GracefulRestart.");
  HttpResponse later;
  const std::string who = "Redfish user " + request.User + " at " + request.Client;
  later.Later = [lines = lines_, id, command, who](HttpReply reply) {
    lines.Send(id, command, who, [reply, command](bool ok, const std::string& why) {
      if (ok) {
        HttpResponse done;
        done.Status = 204;
        done.Headers.push_back({"OData-Version", "4.0"});
        reply(std::move(done));
        return;
      }
      reply(error(503, "OperationFailed", {},
                  "The " + command + " command was not sent: " + why + "."));
    });
  };
  return later;
}

std::string RedfishService::SessionUser(const HttpRequest& request,
                                        const std::string& token) const {
  if (!Handles(request.Path))
    return ""; // the metrics take basic auth only
  std::lock_guard lock(sessionsLock_);
  const auto it = sessions_.find(token);
  if (it == sessions_.end())
    return "";
  const double now = lines_.Now();
  if (now - it->second.LastUsed > SESSION_TIMEOUT_S) {
    sessions_.erase(it);
    return "";
  }
  it->second.LastUsed = now;
  return it->second.User;
}

HttpResponse RedfishService::sessions(const std::vector<std::string>& parts,
                                      const HttpRequest& request) const {
  const std::string service = std::string(ROOT) + "/SessionService";
  const std::string all = service + "/Sessions";
  HttpResponse refusal;
  if (parts.size() == 1) {
    if (!onlyReading(request, refusal))
      return refusal;
    Json s = head(service, "SessionService.v1_1_9.SessionService");
    s["Id"] = "SessionService";
    s["Name"] = "Session Service";
    s["ServiceEnabled"] = users_;
    s["SessionTimeout"] = static_cast<int>(SESSION_TIMEOUT_S);
    s["Sessions"] = link(all);
    return resource(s, request);
  }
  if (parts.size() == 2 && parts[1] == "Sessions") {
    if (request.Method == "POST")
      return login(request);
    if (!onlyReading(request, refusal, "GET, HEAD, POST"))
      return refusal;
    // A user sees the sessions it holds.
    std::vector<std::string> ids;
    {
      std::lock_guard lock(sessionsLock_);
      for (const auto& [token, session] : sessions_)
        if (session.User == request.User)
          ids.push_back(session.Id);
    }
    return resource(collection(all, "SessionCollection", "Session Collection", ids), request,
                    "GET, HEAD, POST");
  }
  if (parts.size() == 3 && parts[1] == "Sessions") {
    std::lock_guard lock(sessionsLock_);
    auto it = sessions_.begin();
    while (it != sessions_.end() && !(it->second.Id == parts[2] && it->second.User == request.User))
      ++it;
    if (it == sessions_.end())
      return error(404, "ResourceNotFound", {"Session", parts[2]});
    if (request.Method == "DELETE") {
      sessions_.erase(it);
      HttpResponse gone;
      gone.Status = 204;
      gone.Headers.push_back({"OData-Version", "4.0"});
      return gone;
    }
    if (!onlyReading(request, refusal, "GET, HEAD, DELETE"))
      return refusal;
    Json s = head(all + "/" + it->second.Id, "Session.v1_6_0.Session");
    s["Id"] = it->second.Id;
    s["Name"] = "User Session";
    s["UserName"] = it->second.User;
    return resource(s, request, "GET, HEAD, DELETE");
  }
  return error(404, "ResourceNotFound", {"Resource", request.Path});
}

// A login: the user's password checked as basic auth's is, then a session
// whose token the client sends instead.
HttpResponse RedfishService::login(const HttpRequest& request) const {
  if (!users_ || !request.CheckLogin)
    return error(404, "ResourceNotFound", {"Session", request.Path},
                 "This exporter names no users: its documents are open without a login.");
  const Json body = Json::parse(request.Body, nullptr, false);
  if (body.is_discarded() || !body.is_object())
    return error(400, "MalformedJSON");
  for (const char* property : {"UserName", "Password"})
    if (!body.contains(property) || !body[property].is_string())
      return error(400, "CreateFailedMissingReqProperties", {property});
  const std::string user = body["UserName"], password = body["Password"];
  HttpResponse later;
  later.Later = [this, user, password, check = request.CheckLogin,
                 path = request.Path](HttpReply reply) {
    check(user, password, [this, user, path, reply](Login result) {
      if (result == Login::TooMany) {
        HttpResponse r = error(429, "ServiceTemporarilyUnavailable", {"1"});
        r.Headers.push_back({"Retry-After", "1"});
        return reply(std::move(r));
      }
      if (result == Login::Refused)
        return reply(error(401, "AccessDenied", {path}, "Check the user name and password."));
      const std::string token = randomHex(32), id = randomHex(8);
      if (token.empty() || id.empty())
        return reply(error(503, "OperationFailed", {}, "The system gave no random bytes."));
      {
        std::lock_guard lock(sessionsLock_);
        const double now = lines_.Now();
        std::size_t held = 0;
        for (auto it = sessions_.begin(); it != sessions_.end();)
          if (now - it->second.LastUsed > SESSION_TIMEOUT_S) {
            it = sessions_.erase(it);
          } else {
            held += it->second.User == user ? 1 : 0;
            ++it;
          }
        if (held >= SESSIONS_PER_USER)
          return reply(error(503, "SessionLimitExceeded", {},
                             "Log out of a session of " + user + " (DELETE it) first."));
        sessions_[token] = {id, user, now};
      }
      const std::string at = std::string(ROOT) + "/SessionService/Sessions/" + id;
      Json s = head(at, "Session.v1_6_0.Session");
      s["Id"] = id;
      s["Name"] = "User Session";
      s["UserName"] = user;
      HttpResponse r;
      r.Status = 201;
      r.ContentType = "application/json; charset=utf-8";
      r.Body = s.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
      r.Headers = {{"OData-Version", "4.0"}, {"Location", at}, {"X-Auth-Token", token}};
      reply(std::move(r));
    });
  };
  return later;
}

void RedfishService::Dress(const HttpRequest& request, HttpResponse& r) {
  if (!Handles(request.Path))
    return;
  HttpResponse dressed;
  std::string retry = "1";
  for (const auto& [name, value] : r.Headers)
    if (name == "Retry-After")
      retry = value;
  switch (r.Status) {
  case 401:
  case 403:
    dressed = error(r.Status, "AccessDenied", {request.Path},
                    r.Status == 401 ? "Give a user name and password (HTTP basic)."
                                    : "Show a client certificate the exporter trusts.");
    break;
  case 413: dressed = error(413, "PayloadTooLarge"); break;
  default: dressed = error(r.Status, "ServiceTemporarilyUnavailable", {retry}); break;
  }
  for (const auto& h : r.Headers)
    dressed.Headers.push_back(h);
  r = std::move(dressed);
}

} // namespace vexilctl
