#include "ctl/http/web_config.h"

#include <crypt.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <cstdlib>
#include <unistd.h>
#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/files.h"

namespace fs = std::filesystem;

namespace vexilctl {

namespace {

// What GnuTLS makes of the certificate, the key and the CA file, before
// the server starts with them: a file that is no PEM, or a key that is not
// the certificate's (the usual mistake after a renewal), is said by name.
bool checkTls(const WebConfig& w, const std::string& where, const std::string& cert,
              const std::string& key, const std::string& ca, std::string& error) {
  const auto datum = [](const std::string& text) {
    return gnutls_datum_t{reinterpret_cast<unsigned char*>(const_cast<char*>(text.data())),
                          static_cast<unsigned>(text.size())};
  };
  gnutls_x509_crt_t crt = nullptr;
  gnutls_x509_crt_init(&crt);
  const gnutls_datum_t certPem = datum(w.CertPem);
  const int certRc = gnutls_x509_crt_import(crt, &certPem, GNUTLS_X509_FMT_PEM);
  gnutls_x509_crt_deinit(crt);
  if (certRc < 0) {
    error =
        where + "cert_file " + cert + " holds no PEM certificate (" + gnutls_strerror(certRc) + ")";
    return false;
  }
  gnutls_x509_privkey_t pk = nullptr;
  gnutls_x509_privkey_init(&pk);
  const gnutls_datum_t keyPem = datum(w.KeyPem);
  const int keyRc = gnutls_x509_privkey_import2(pk, &keyPem, GNUTLS_X509_FMT_PEM, nullptr, 0);
  gnutls_x509_privkey_deinit(pk);
  if (keyRc < 0) {
    error = where + "key_file " + key + " holds no PEM private key (" + gnutls_strerror(keyRc) +
            "; an encrypted key is not supported)";
    return false;
  }
  gnutls_certificate_credentials_t credentials = nullptr;
  gnutls_certificate_allocate_credentials(&credentials);
  const int pairRc =
      gnutls_certificate_set_x509_key_mem(credentials, &certPem, &keyPem, GNUTLS_X509_FMT_PEM);
  int caRc = 1;
  if (pairRc >= 0 && !w.ClientCaPem.empty()) {
    const gnutls_datum_t caPem = datum(w.ClientCaPem);
    caRc = gnutls_certificate_set_x509_trust_mem(credentials, &caPem, GNUTLS_X509_FMT_PEM);
  }
  gnutls_certificate_free_credentials(credentials);
  if (pairRc < 0) {
    error = where + "key_file " + key + " does not go with cert_file " + cert + " (" +
            gnutls_strerror(pairRc) + ")";
    return false;
  }
  if (caRc <= 0) {
    error = where + "client_ca_file " + ca + " holds no PEM certificate" +
            (caRc < 0 ? " (" + std::string(gnutls_strerror(caRc)) + ")" : "");
    return false;
  }
  return true;
}

bool isBcrypt(const std::string& hash) {
  if (hash.size() != 60 || hash[0] != '$' || hash[1] != '2' ||
      (hash[2] != 'a' && hash[2] != 'b' && hash[2] != 'y') || hash[3] != '$')
    return false;
  // The library must take it as a setting too (cost and salt well formed).
  crypt_data data{};
  const char* out = crypt_r("", hash.c_str(), &data);
  return out && out[0] == '$';
}

std::string scalar(const YAML::Node& n) {
  return n.IsScalar() ? n.as<std::string>() : std::string();
}

} // namespace

bool LoadWebConfig(const std::string& path, WebConfig& out, std::string& error) {
  out = WebConfig{};
  const std::string where = "--web.config.file " + path + ": ";
  YAML::Node root;
  try {
    root = YAML::LoadFile(path);
  } catch (const YAML::BadFile&) {
    error = where + "cannot read it (" + std::strerror(errno) + ")";
    return false;
  } catch (const YAML::Exception& e) {
    error = where + "not YAML: " + e.what();
    return false;
  }
  if (root.IsNull())
    return true; // an empty file: plain HTTP, no users
  if (!root.IsMap()) {
    error = where + "want a map of tls_server_config and basic_auth_users";
    return false;
  }
  const fs::path base = fs::absolute(path).parent_path();
  const auto file = [&](const std::string& setting, const std::string& name,
                        std::string& contents) {
    const fs::path p = fs::path(name).is_absolute() ? fs::path(name) : base / name;
    if (platform::ReadTextFile(p.string(), contents))
      return true;
    error = where + setting + " " + p.string() + ": cannot read it (" + std::strerror(errno) + ")";
    return false;
  };
  for (const auto& entry : root) {
    const std::string key = entry.first.as<std::string>();
    const YAML::Node& value = entry.second;
    if (key == "tls_server_config") {
      if (value.IsNull())
        continue;
      if (!value.IsMap()) {
        error = where + "tls_server_config must be a map";
        return false;
      }
      std::string cert, key_, auth, ca;
      for (const auto& t : value) {
        const std::string k = t.first.as<std::string>();
        const std::string v = scalar(t.second);
        if (k == "cert_file")
          cert = v;
        else if (k == "key_file")
          key_ = v;
        else if (k == "client_auth_type")
          auth = v;
        else if (k == "client_ca_file")
          ca = v;
        else if (k == "min_version") {
          if (v != "TLS12" && v != "TLS13") {
            error = where + "min_version " + v + ": vexil-ctl knows TLS12 and TLS13";
            return false;
          }
          out.MinVersion = v;
        } else {
          error = where + "tls_server_config: " + k +
                  " is not a setting vexil-ctl knows (cert_file, key_file, client_auth_type, "
                  "client_ca_file, min_version)";
          return false;
        }
      }
      if (cert.empty() || key_.empty()) {
        error = where + "tls_server_config needs both cert_file and key_file";
        return false;
      }
      if (!file("cert_file", cert, out.CertPem) || !file("key_file", key_, out.KeyPem))
        return false;
      static const std::map<std::string, WebConfig::ClientAuth> AUTH = {
          {"", WebConfig::NoClientCert},
          {"NoClientCert", WebConfig::NoClientCert},
          {"RequestClientCert", WebConfig::RequestClientCert},
          {"RequireAnyClientCert", WebConfig::RequireAnyClientCert},
          {"VerifyClientCertIfGiven", WebConfig::VerifyClientCertIfGiven},
          {"RequireAndVerifyClientCert", WebConfig::RequireAndVerifyClientCert}};
      const auto a = AUTH.find(auth);
      if (a == AUTH.end()) {
        error = where + "client_auth_type " + auth +
                " is none of NoClientCert, RequestClientCert, RequireAnyClientCert, "
                "VerifyClientCertIfGiven, RequireAndVerifyClientCert";
        return false;
      }
      out.Auth = a->second;
      if (out.Auth != WebConfig::NoClientCert && ca.empty()) {
        error = where + "client_auth_type " + auth + " needs a client_ca_file";
        return false;
      }
      if (!ca.empty() && !file("client_ca_file", ca, out.ClientCaPem))
        return false;
      if (!checkTls(out, where + "tls_server_config: ", cert, key_, ca, error))
        return false;
      out.Tls = true;
    } else if (key == "basic_auth_users") {
      if (value.IsNull())
        continue;
      if (!value.IsMap()) {
        error = where + "basic_auth_users must map names to bcrypt hashes";
        return false;
      }
      for (const auto& u : value) {
        const std::string name = u.first.as<std::string>();
        const std::string hash = scalar(u.second);
        if (name.empty() || name.find(':') != std::string::npos) {
          error = where + "basic_auth_users: '" + name + "' is no user name";
          return false;
        }
        if (!isBcrypt(hash)) {
          error = where + "basic_auth_users: the password of " + name +
                  " is not a bcrypt hash ($2y$..., 60 characters; make one with "
                  "htpasswd -nBC 10 " +
                  name + ")";
          return false;
        }
        out.Users[name] = hash;
      }
    } else if (key == "redfish_operators") {
      if (value.IsNull())
        continue;
      if (!value.IsSequence()) {
        error = where + "redfish_operators must list user names";
        return false;
      }
      for (const auto& u : value)
        out.Operators.insert(scalar(u));
    } else {
      error = where + key +
              " is not a setting vexil-ctl knows (tls_server_config, basic_auth_users, "
              "redfish_operators)";
      return false;
    }
  }
  // Operators are users whose passwords the file holds, and their power
  // actions never go as plain text.
  for (const auto& name : out.Operators)
    if (!out.Users.count(name)) {
      error = where + "redfish_operators: " + (name.empty() ? "''" : name) +
              " is not one of basic_auth_users";
      return false;
    }
  if (!out.Operators.empty() && !out.Tls) {
    error = where + "redfish_operators needs tls_server_config: power actions go only over TLS";
    return false;
  }
  return true;
}

bool CheckPassword(const std::string& hash, const std::string& password) {
  auto data = std::make_unique<crypt_data>();
  const char* out = crypt_r(password.c_str(), hash.c_str(), data.get());
  if (!out || std::strlen(out) != hash.size())
    return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < hash.size(); ++i)
    diff |= static_cast<unsigned char>(out[i] ^ hash[i]);
  return diff == 0;
}

std::string DummyHashLike(const std::string& hash) {
  // "$2b$10$...": the prefix and the cost.
  const std::string prefix = hash.substr(0, 4);
  const unsigned long cost = std::strtoul(hash.c_str() + 4, nullptr, 10);
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  if (!crypt_gensalt_rn(prefix.c_str(), cost, nullptr, 0, salt, sizeof salt))
    return "";
  unsigned char random[16];
  if (!getentropy(random, sizeof random)) {
    std::string password;
    for (unsigned char b : random)
      password += static_cast<char>('a' + b % 26);
    auto data = std::make_unique<crypt_data>();
    if (const char* out = crypt_r(password.c_str(), salt, data.get()); out && out[0] == '$')
      return out;
  }
  return ""; // (no password matches an empty hash)
}

} // namespace vexilctl
