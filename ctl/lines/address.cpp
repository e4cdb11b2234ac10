#include "ctl/lines/address.h"

#include <cstdlib>

#include "platform/serial.h"

namespace vexilctl {

namespace {

const char FORMS[] = "a LINE is COM<n>, a device path (/dev/ttyUSB0), rfc2217://HOST:PORT or "
                     "socket://HOST:PORT";

bool isDigits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

bool hostAndPort(const std::string& rest, Address& out, std::string& error) {
  std::string host, port;
  if (!SplitHostPort(rest, host, port, error))
    return false;
  if (host.empty() || host.find_first_of(" ,/\\\"'") != std::string::npos) {
    error = "no host name or address";
    return false;
  }
  if (!isDigits(port) || port.size() > 5 || std::atoi(port.c_str()) < 1 ||
      std::atoi(port.c_str()) > 65535) {
    error = "the port must be a number from 1 to 65535, not '" + port + "'";
    return false;
  }
  out.Host = host;
  out.Port = std::atoi(port.c_str());
  return true;
}

} // namespace

bool SplitHostPort(const std::string& text, std::string& host, std::string& port,
                   std::string& error) {
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      error = "an IPv6 address goes in brackets with the port after them: [::1]:PORT";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
    return true;
  }
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) {
    error = "no port: the form is HOST:PORT";
    return false;
  }
  host = text.substr(0, colon);
  port = text.substr(colon + 1);
  if (host.find(':') != std::string::npos) {
    error = "an IPv6 address goes in brackets: [" + host + "]:" + port;
    return false;
  }
  return true;
}

bool ParseAddress(const std::string& text, Address& out, std::string& error) {
  out = Address{};
  out.Text = text;
  std::string why;
  if (text.rfind("rfc2217://", 0) == 0) {
    out.Type = Address::Rfc2217;
    if (hostAndPort(text.substr(10), out, why))
      return true;
  } else if (text.rfind("socket://", 0) == 0) {
    out.Type = Address::Tcp;
    if (hostAndPort(text.substr(9), out, why))
      return true;
  } else if (!text.empty() && text[0] == '/') {
    out.Path = text;
    return true;
  } else if (text.size() > 3 && text.compare(0, 3, "COM") == 0 && isDigits(text.substr(3)) &&
             text[3] != '0' && text.size() <= 8) {
    out.Path = platform::ResolveDeviceName(text);
    return true;
  } else {
    why = FORMS;
  }
  error = "'" + text + "' is no line: " + why;
  return false;
}

std::string Address::Describe() const {
  if (Type != Tty || Text == Path)
    return Text;
  return Text + " (" + Path + ")";
}

} // namespace vexilctl
