#pragma once
// Debian's exim4 as a foreground daemon on loopback, for tests against a
// real mail server: its configuration, spool, logs and delivered mail all
// live in a folder of the test's own.
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "Harness.h"

namespace km7::it {

struct EximOptions {
  // Offered in this order; any of "NTLM", "CRAM-MD5", "LOGIN", "PLAIN".
  std::vector<std::string> mechanisms;
  std::string user, password;
  // With a certificate: STARTTLS on the first port, TLS on connect on the second.
  std::string tlsCert, tlsKey;
  bool authOnlyUnderTls = false;  // AUTH offered only once TLS is on
};

class EximServer {
 public:
  EximServer() = default;
  ~EximServer() { Stop(); }
  EximServer(const EximServer&) = delete;
  EximServer& operator=(const EximServer&) = delete;

  // The exim binary, or empty when exim is not installed.
  static std::string Binary();

  // The name exim logs for a mechanism's authenticator ("A=name:user").
  static std::string AuthenticatorName(const std::string& mechanism);

  // False with a reason in `why` when exim could not be started.
  bool Start(const std::filesystem::path& dir, const EximOptions& opt, std::string& why);
  // Stops the daemon, then waits (bounded) for the processes it forked,
  // which would otherwise write their logs into a folder being removed.
  void Stop();

  int port() const { return port_; }
  int tlsPort() const { return tlsPort_; }  // 0 without a certificate

  // Messages delivered so far (one file each).
  std::size_t DeliveredCount() const;
  // Waits up to `timeout` for `n` messages; returns the count reached.
  std::size_t WaitForDelivered(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(30)) const;
  std::vector<std::string> Delivered() const;
  // The main log and the daemon's own output.
  std::string Log() const;

 private:
  Daemon d_;
  std::filesystem::path root_, conf_;
  int port_ = 0, tlsPort_ = 0;
};

}  // namespace km7::it
