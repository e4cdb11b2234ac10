// The exporter's HTTP endpoint: libmicrohttpd on a thread of its own, with
// a time-out for every connection. The handler runs on that thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

struct MHD_Daemon;

namespace vexilctl {

struct HttpResponse {
  int Status = 200;
  std::string ContentType = "text/plain; charset=utf-8";
  std::string Body;
};

class HttpServer {
public:
  using Handler = std::function<HttpResponse(const std::string& method, const std::string& path)>;
  // Idle and unfinished connections are closed after this long.
  static constexpr unsigned CONNECTION_TIMEOUT_S = 30;

  // Listens on ADDR:PORT (an IPv4 address, or an IPv6 one in brackets);
  // nullptr with the reason for the user.
  static std::unique_ptr<HttpServer> Start(const std::string& listen, Handler handler,
                                           std::string& error);
  ~HttpServer();
  // "http://127.0.0.1:9868", with the port really bound.
  const std::string& Url() const { return url_; }

private:
  HttpServer() = default;
  MHD_Daemon* daemon_ = nullptr;
  Handler handler_;
  std::string url_;
};

} // namespace vexilctl
