#pragma once
// The HTTPS token and device-authorization endpoint of oauth_token_server.py
// on loopback, for every test that signs in or renews a token. Its
// certificate comes from the test's throwaway CA; the access tokens it
// issues go to a file the test's mail server reads.
#include <filesystem>
#include <string>
#include <vector>

#include "Harness.h"

namespace km7::it {

inline constexpr char kTokenServerUser[] = "alice@km7.test";
inline constexpr char kTokenServerClient[] = "km7-test-client";

class TokenServer {
 public:
  // more: further options of the script (--rotate, --refresh-token T, ...).
  bool Start(const std::filesystem::path& dir, const TestCertificates& certs, const std::vector<std::string>& more,
             std::string& why);
  std::string Url(const std::string& path) const;
  // The access tokens issued, for the mail server's --token-file.
  std::filesystem::path TokenFile() const { return dir_ / "tokens"; }
  // The requests so far, one JSON line each.
  std::string Log() const;
  // Test controls: "/revoke" every refresh token, "/expire" every access token.
  bool Control(const std::string& path, const std::string& ca);

 private:
  Daemon d_;
  std::filesystem::path dir_;
  int port_ = 0;
};

}  // namespace km7::it
