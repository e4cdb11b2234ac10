// Real console servers in front of serial devices, on 127.0.0.1: ser2net
// (Debian's, raw TCP and telnet(rfc2217) accepters) and pyserial's RFC 2217
// server example.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/child.h"
#include "tests/support/net.h"

class Ser2net {
public:
  struct Port {
    bool Rfc2217; // telnet(rfc2217), else raw TCP
    std::string Device;
    int TcpPort;
  };
  // The serial side of every port runs at 9600 baud until a client sets it.
  Ser2net(const std::filesystem::path& dir, std::vector<Port> ports)
      : dir_(dir), ports_(std::move(ports)) {
    std::ofstream yaml(dir_ / "ser2net.yaml");
    for (std::size_t i = 0; i < ports_.size(); ++i)
      yaml << "connection: &con" << i << "\n"
           << "  accepter: " << (ports_[i].Rfc2217 ? "telnet(rfc2217),tcp," : "tcp,")
           << "127.0.0.1," << ports_[i].TcpPort << "\n"
           << "  connector: serialdev," << ports_[i].Device << ",9600n81,local\n"
           << "  options:\n    kickolduser: true\n";
  }
  // Starts it and waits until every port accepts; false when it did not.
  bool Start() {
    proc_.pid =
        SpawnChild("/usr/sbin/ser2net", {"-n", "-d", "-c", (dir_ / "ser2net.yaml").string()}, {},
                   (dir_ / "ser2net.out").string(), (dir_ / "ser2net.err").string());
    if (proc_.pid <= 0)
      return false;
    for (const auto& p : ports_)
      if (!WaitForPort(p.TcpPort))
        return false;
    return true;
  }
  void Stop() { proc_.Stop(); }
  std::string Log() const { return ReadWholeFile((dir_ / "ser2net.err").string()); }

private:
  std::filesystem::path dir_;
  std::vector<Port> ports_;
  ChildProcess proc_;
};

// pyserial's RFC 2217 server example for one device, bound to 127.0.0.1
// (the example itself binds every address: the test narrows it).
class PyRfc2217Server {
public:
  PyRfc2217Server(const std::filesystem::path& dir, const std::string& device, int port)
      : dir_(dir) {
    const std::string script = "/usr/share/doc/python3-serial/examples/rfc2217_server.py";
    const std::string shim =
        "import runpy, socket, sys\n"
        // A pty has no modem lines: pyserial's ioctls for them fail there,
        // and the example drops its client. Here the lines just read low.
        "import serial.serialposix as sp\n"
        "sp.Serial._update_rts_state = lambda self: None\n"
        "sp.Serial._update_dtr_state = lambda self: None\n"
        "for line in ('cts', 'dsr', 'ri', 'cd'):\n"
        "    setattr(sp.Serial, line, property(lambda self: False))\n"
        "bind = socket.socket.bind\n"
        "socket.socket.bind = lambda s, a: bind(s, ('127.0.0.1', a[1]) if a[0] == '' else a)\n"
        "sys.argv = ['rfc2217_server.py', '-p', '" +
        std::to_string(port) + "', '" + device +
        "']\n"
        "runpy.run_path('" +
        script + "', run_name='__main__')\n";
    proc_.pid = SpawnChild("/usr/bin/python3", {"-c", shim}, {}, (dir_ / "pyserial.out").string(),
                           (dir_ / "pyserial.err").string());
    ok_ = proc_.pid > 0 && WaitForPort(port);
  }
  bool Ok() const { return ok_; }
  std::string Log() const { return ReadWholeFile((dir_ / "pyserial.err").string()); }

private:
  std::filesystem::path dir_;
  ChildProcess proc_;
  bool ok_ = false;
};
