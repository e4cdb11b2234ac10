// What a LINE names: a local serial device (COM<n> or a path), a console
// server's port under RFC 2217, or a raw TCP port (pyserial's URL names).
#pragma once

#include <string>

namespace vexilctl {

struct Address {
  enum Kind { Tty, Rfc2217, Tcp } Type = Tty;
  std::string Text; // as given
  std::string Path; // Tty: the device
  std::string Host; // Rfc2217, Tcp: name or address, IPv6 without brackets
  int Port = 0;

  // "COM3 (/dev/vexil/COM3)", "rfc2217://10.0.0.5:7001", "/dev/ttyUSB0".
  std::string Describe() const;
};

// Splits HOST:PORT, where HOST is a name, an IPv4 address or [an IPv6
// address] (returned without brackets); false with the reason in error.
// Neither part is checked further.
bool SplitHostPort(const std::string& text, std::string& host, std::string& port,
                   std::string& error);

// Parses a LINE; false with the reason (for the user) in error.
bool ParseAddress(const std::string& text, Address& out, std::string& error);

} // namespace vexilctl
