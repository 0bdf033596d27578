#pragma once
// The monitoring server from Debian's package, run on loopback with its own
// folder, scraping one target every second. Stopped by its PID.
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <string>

#include "Harness.h"

namespace km7::test {

class PrometheusServer {
 public:
  // False when it is not installed or did not come up; Logs() says why.
  bool Start(const std::filesystem::path& dir, int targetPort);
  // The series of the instant `query`; an empty array when none or on an
  // error answer (until its storage is ready the server answers 503).
  nlohmann::json Query(const std::string& query);
  // Until `query` gives exactly one series of value `want` ("" for no
  // series), up to `timeout`.
  bool WaitFor(const std::string& query, const std::string& want,
               std::chrono::milliseconds timeout = std::chrono::seconds(60));
  // The last answer that was not what was waited for, and the server's output.
  std::string Logs() const { return last_ + "\n" + server_.Logs(); }

 private:
  it::Daemon server_;
  int port_ = 0;
  std::string last_;
};

}  // namespace km7::test
