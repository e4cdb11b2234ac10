// --web.config.file: TLS and basic auth for the endpoint, in the YAML format
// that Prometheus exporters share:
//   tls_server_config: {cert_file, key_file, client_auth_type, client_ca_file, min_version}
//   basic_auth_users: {NAME: BCRYPT_HASH, ...}
//   redfish_operators: [NAME, ...]   (users that may power nodes off and
//                                     reboot them through Redfish; TLS only)
#pragma once

#include <map>
#include <set>
#include <string>

namespace vexilctl {

struct WebConfig {
  enum ClientAuth {
    NoClientCert,
    RequestClientCert,
    RequireAnyClientCert,
    VerifyClientCertIfGiven,
    RequireAndVerifyClientCert,
  };
  bool Tls = false;
  std::string CertPem, KeyPem, ClientCaPem; // the files' contents
  ClientAuth Auth = NoClientCert;
  std::string MinVersion;                   // "", "TLS12" or "TLS13"
  std::map<std::string, std::string> Users; // name -> bcrypt hash
  std::set<std::string> Operators;          // of Users
};

// Reads the file; false with what is wrong, naming the file (and the file a
// setting names), in error. Relative paths count from the file's folder.
bool LoadWebConfig(const std::string& path, WebConfig& out, std::string& error);

// Whether password matches a bcrypt hash; in time that does not depend on
// where they differ.
bool CheckPassword(const std::string& hash, const std::string& password);

// A bcrypt hash of the same kind and cost as hash, of a random password:
// what an unknown user's password is checked against ("" if none can be made).
std::string DummyHashLike(const std::string& hash);

} // namespace vexilctl
