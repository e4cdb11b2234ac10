// A test CA in a folder, and what it signs there: ca.crt, server.crt and
// server.key (for 127.0.0.1), client.crt and client.key; and bcrypt hashes
// for web configs.
#pragma once

#include <crypt.h>

#include <string>

#include "tests/support/child.h"

// Whether the files could be made; sh.err in dir says why not.
inline bool MakeTestCertificates(const std::string& dir) {
  return RunShell("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                  "-keyout ca.key -out ca.crt -days 2 -subj /CN=vexil-test-ca\n"
                  "for who in server client; do\n"
                  "  openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                  "-keyout $who.key -out $who.csr -subj /CN=$who\n"
                  "done\n"
                  "printf 'subjectAltName=IP:127.0.0.1\\nextendedKeyUsage=serverAuth\\n' > "
                  "server.ext\n"
                  "printf 'extendedKeyUsage=clientAuth\\n' > client.ext\n"
                  "for who in server client; do\n"
                  "  openssl x509 -req -in $who.csr -CA ca.crt -CAkey ca.key -CAcreateserial "
                  "-days 2 -extfile $who.ext -out $who.crt\n"
                  "done\n"
                  "chmod 644 *.key\n",
                  dir);
}

// A bcrypt hash of password, at a low cost: tests make many.
inline std::string Bcrypt(const std::string& password) {
  char salt[CRYPT_GENSALT_OUTPUT_SIZE];
  crypt_gensalt_rn("$2b$", 6, nullptr, 0, salt, sizeof salt);
  crypt_data data{};
  return crypt_r(password.c_str(), salt, &data);
}
