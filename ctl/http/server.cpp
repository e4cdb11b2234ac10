#include "ctl/http/server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

namespace vexilctl {

namespace {

bool parseListen(const std::string& listen, sockaddr_storage& addr, std::string& host, int& port,
                 std::string& error) {
  std::string portText;
  bool v6 = false;
  if (!listen.empty() && listen[0] == '[') {
    const auto close = listen.find("]:");
    if (close == std::string::npos) {
      error = "--listen takes [IPv6]:PORT in brackets, not '" + listen + "'";
      return false;
    }
    host = listen.substr(1, close - 1);
    portText = listen.substr(close + 2);
    v6 = true;
  } else {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) {
      error = "--listen takes an address and a port, such as 127.0.0.1:9868, not '" + listen + "'";
      return false;
    }
    host = listen.substr(0, colon);
    portText = listen.substr(colon + 1);
  }
  char* end = nullptr;
  const long p = std::strtol(portText.c_str(), &end, 10);
  if (portText.empty() || *end || p < 0 || p > 65535) {
    error = "--listen: the port must be a number from 0 to 65535, not '" + portText + "'";
    return false;
  }
  port = static_cast<int>(p);
  addr = {};
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&addr);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) == 1)
      return true;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&addr);
    a->sin_family = AF_INET;
    a->sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &a->sin_addr) == 1)
      return true;
  }
  error = "--listen: '" + host +
          "' is no address of this machine's kind (an IPv4 address, or an "
          "IPv6 one in brackets)";
  return false;
}

MHD_Result answer(void* cls, MHD_Connection* connection, const char* url, const char* method,
                  const char*, const char*, size_t* uploadSize, void** state) {
  static int started;
  if (!*state) {
    *state = &started; // headers are in; the body (if any) comes next
    return MHD_YES;
  }
  if (*uploadSize) {
    *uploadSize = 0; // a body is read and dropped
    return MHD_YES;
  }
  const auto& handler = *static_cast<HttpServer::Handler*>(cls);
  const HttpResponse r = handler(method, url);
  MHD_Response* response = MHD_create_response_from_buffer(
      r.Body.size(), const_cast<char*>(r.Body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response)
    return MHD_NO;
  MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, r.ContentType.c_str());
  const MHD_Result queued =
      MHD_queue_response(connection, static_cast<unsigned>(r.Status), response);
  MHD_destroy_response(response);
  return queued;
}

} // namespace

std::unique_ptr<HttpServer> HttpServer::Start(const std::string& listen, Handler handler,
                                              std::string& error) {
  sockaddr_storage addr;
  std::string host;
  int port = 0;
  if (!parseListen(listen, addr, host, port, error))
    return nullptr;
  std::unique_ptr<HttpServer> server(new HttpServer);
  server->handler_ = std::move(handler);
  const bool v6 = addr.ss_family == AF_INET6;
  server->daemon_ =
      MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | (v6 ? MHD_USE_IPv6 : 0),
                       static_cast<uint16_t>(port), nullptr, nullptr, &answer, &server->handler_,
                       MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&addr),
                       MHD_OPTION_CONNECTION_TIMEOUT, CONNECTION_TIMEOUT_S, MHD_OPTION_END);
  if (!server->daemon_) {
    error = "cannot listen on " + listen +
            ": the port is in use or the address is not this machine's; choose another with "
            "--listen";
    return nullptr;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(server->daemon_, MHD_DAEMON_INFO_BIND_PORT);
  const int bound = info ? info->port : port;
  server->url_ = "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(bound);
  return server;
}

HttpServer::~HttpServer() {
  if (daemon_)
    MHD_stop_daemon(daemon_);
}

} // namespace vexilctl
