// The endpoint's web config: what it accepts, what stops the start and why,
// and bcrypt passwords.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <crypt.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>

#include "ctl/http/server.h"
#include "ctl/http/web_config.h"
#include "tests/support/child.h"
#include "tests/support/temp_dir.h"

using namespace vexilctl;

namespace {

std::string bcrypt(const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  EXPECT_TRUE(crypt_gensalt_rn("$2b$", 5, nullptr, 0, salt, sizeof salt));
  crypt_data data{};
  return crypt_r(password.c_str(), salt, &data);
}

} // namespace

// A certificate and its key, and a second key, made by openssl in dir.
void makeCertificates(const TempDir& dir) {
  ASSERT_TRUE(RunShell("for k in server other; do\n"
                       "  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                       "-keyout $k.key -out $k.crt -days 2 -subj /CN=$k\n"
                       "done\n"
                       "cp other.crt ca.crt\n",
                       dir.path().string()))
      << ReadWholeFile((dir / "sh.err").string());
}

TEST(WebConfig, TlsAndUsersAreRead) {
  TempDir dir("vexil-web");
  makeCertificates(dir);
  const std::string hash = bcrypt("s3cret");
  std::ofstream(dir / "web.yml") << "tls_server_config:\n"
                                    "  cert_file: server.crt\n" // beside the config
                                 << "  key_file: " << (dir / "server.key").string() << "\n"
                                 << "  client_auth_type: RequireAndVerifyClientCert\n"
                                    "  client_ca_file: ca.crt\n"
                                    "  min_version: TLS13\n"
                                    "basic_auth_users:\n"
                                    "  prometheus: '"
                                 << hash << "'\nredfish_operators: [prometheus]\n";
  WebConfig web;
  std::string error;
  ASSERT_TRUE(LoadWebConfig((dir / "web.yml").string(), web, error)) << error;
  EXPECT_TRUE(web.Tls);
  EXPECT_EQ(web.CertPem, ReadWholeFile((dir / "server.crt").string()));
  EXPECT_EQ(web.KeyPem, ReadWholeFile((dir / "server.key").string()));
  EXPECT_EQ(web.ClientCaPem, ReadWholeFile((dir / "ca.crt").string()));
  EXPECT_EQ(web.Auth, WebConfig::RequireAndVerifyClientCert);
  EXPECT_EQ(web.MinVersion, "TLS13");
  ASSERT_EQ(web.Users.count("prometheus"), 1u);
  EXPECT_TRUE(CheckPassword(web.Users["prometheus"], "s3cret"));
  EXPECT_FALSE(CheckPassword(web.Users["prometheus"], "s3cre"));
  EXPECT_FALSE(CheckPassword(web.Users["prometheus"], ""));
  EXPECT_EQ(web.Operators, std::set<std::string>{"prometheus"});
  // Power actions never go as plain text.
  std::ofstream(dir / "plain.yml")
      << "basic_auth_users:\n  prometheus: '" << hash << "'\nredfish_operators: [prometheus]\n";
  EXPECT_FALSE(LoadWebConfig((dir / "plain.yml").string(), web, error));
  EXPECT_NE(error.find("redfish_operators needs tls_server_config"), std::string::npos) << error;

  std::ofstream(dir / "empty.yml") << "";
  ASSERT_TRUE(LoadWebConfig((dir / "empty.yml").string(), web, error)) << error;
  EXPECT_FALSE(web.Tls);
  EXPECT_TRUE(web.Users.empty());
}

TEST(WebConfig, BadFilesSayWhatIsWrongAndWhere) {
  TempDir dir("vexil-web");
  makeCertificates(dir);
  std::ofstream(dir / "junk.crt") << "CERT";
  const std::pair<const char*, const char*> cases[] = {
      {"tls_server_config:\n  cert_file: junk.crt\n  key_file: server.key\n",
       "junk.crt holds no PEM certificate"},
      {"tls_server_config:\n  cert_file: server.crt\n  key_file: junk.crt\n",
       "junk.crt holds no PEM private key"},
      {"tls_server_config:\n  cert_file: server.crt\n  key_file: other.key\n",
       "other.key does not go with cert_file server.crt"},
      {"tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n"
       "  client_auth_type: RequireAndVerifyClientCert\n  client_ca_file: junk.crt\n",
       "client_ca_file junk.crt holds no PEM certificate"},
      {"tls_server_config:\n  cert_file: server.crt\n  key_file: missing.key\n",
       "key_file " /* then the path */},
      {"tls_server_config: [unclosed\n", "not YAML"},
      {"basic_auth_users:\n  admin: plaintext\n", "the password of admin is not a bcrypt hash"},
      {"basic_auth_users:\n  admin: $1$abcdefgh$0123456789012345678901\n", "not a bcrypt hash"},
      {"tls_server_config:\n  cert_file: server.crt\n", "needs both cert_file and key_file"},
      {"tls_server_config:\n  cert_file: server.crt\n  key_file: server.crt\n"
       "  client_auth_type: RequireAndVerifyClientCert\n",
       "needs a client_ca_file"},
      {"tls_server_config:\n  cert_file: server.crt\n  key_file: server.crt\n"
       "  client_auth_type: Sometimes\n",
       "client_auth_type Sometimes is none of"},
      {"http_server_config:\n  http2: false\n", "http_server_config is not a setting"},
      {"redfish_operators: [nobody]\n", "redfish_operators: nobody is not one of basic_auth_users"},
      {"redfish_operators: ops\n", "redfish_operators must list user names"},
  };
  for (const auto& [text, reason] : cases) {
    std::ofstream(dir / "web.yml") << text;
    WebConfig web;
    std::string error;
    EXPECT_FALSE(LoadWebConfig((dir / "web.yml").string(), web, error)) << text;
    EXPECT_EQ(error.rfind("--web.config.file " + (dir / "web.yml").string() + ": ", 0), 0u)
        << error;
    EXPECT_NE(error.find(reason), std::string::npos) << text << " -> " << error;
  }
  WebConfig web;
  std::string error;
  EXPECT_FALSE(LoadWebConfig((dir / "none.yml").string(), web, error));
  EXPECT_NE(error.find("cannot read it"), std::string::npos) << error;
}

// The per-address limits count an IPv6 client by its /64, which one site
// (or one attacker) holds whole, and an IPv4 client by its address however
// it comes.
TEST(ClientGroups, Ipv6ByItsBlockIpv4AsItself) {
  const auto group = [](int family, const char* text) {
    sockaddr_storage s{};
    if (family == AF_INET6) {
      auto* a = reinterpret_cast<sockaddr_in6*>(&s);
      a->sin6_family = AF_INET6;
      inet_pton(AF_INET6, text, &a->sin6_addr);
    } else {
      auto* a = reinterpret_cast<sockaddr_in*>(&s);
      a->sin_family = AF_INET;
      inet_pton(AF_INET, text, &a->sin_addr);
    }
    return vexilctl::ClientGroup(reinterpret_cast<sockaddr*>(&s));
  };
  EXPECT_EQ(group(AF_INET6, "2001:db8:1:2:aaaa::1"), "[2001:db8:1:2::]/64");
  EXPECT_EQ(group(AF_INET6, "2001:db8:1:2:ffff:ffff:ffff:ffff"), "[2001:db8:1:2::]/64");
  EXPECT_NE(group(AF_INET6, "2001:db8:1:3::1"), group(AF_INET6, "2001:db8:1:2::1"));
  EXPECT_EQ(group(AF_INET6, "::ffff:192.0.2.7"), "192.0.2.7");
  EXPECT_EQ(group(AF_INET, "192.0.2.7"), "192.0.2.7");
  EXPECT_NE(group(AF_INET, "192.0.2.8"), group(AF_INET, "192.0.2.7"));
}
