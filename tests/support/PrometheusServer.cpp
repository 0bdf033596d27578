#include "support/PrometheusServer.h"

#include <cctype>
#include <thread>

#include "support/HttpClient.h"

namespace km7::test {
namespace {

std::string UrlEncode(const std::string& s) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace

bool PrometheusServer::Start(const std::filesystem::path& dir, int targetPort) {
  const std::string program = it::FindProgram("prometheus");
  if (program.empty()) {
    last_ = "prometheus is not installed (scripts/install-deps.sh)";
    return false;
  }
  it::WriteFile(dir / "prometheus.yml",
                "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
                "scrape_configs:\n  - job_name: km7\n    static_configs:\n      - targets: ['127.0.0.1:" +
                    std::to_string(targetPort) + "']\n");
  // The free port may be taken before the server binds it: try again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    port_ = it::FreePort();
    if (server_.Start({program, "--config.file=" + (dir / "prometheus.yml").string(),
                       "--storage.tsdb.path=" + (dir / "tsdb").string(),
                       "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--log.level=warn"},
                      dir, "prometheus") &&
        it::WaitForPort(port_, server_, std::chrono::seconds(60))) {
      return true;
    }
    server_.Stop();
  }
  port_ = 0;
  last_ = "prometheus did not come up";
  return false;
}

nlohmann::json PrometheusServer::Query(const std::string& query) {
  const HttpReply r = HttpGet(port_, "/api/v1/query?query=" + UrlEncode(query));
  const auto j = nlohmann::json::parse(r.body, nullptr, false);
  if (r.status != 200 || j.is_discarded() || j.value("status", "") != "success") {
    last_ = std::to_string(r.status) + " " + r.body;
    return nlohmann::json::array();
  }
  return j["data"]["result"];
}

bool PrometheusServer::WaitFor(const std::string& query, const std::string& want,
                               std::chrono::milliseconds timeout) {
  return it::Eventually(
      [&] {
        const nlohmann::json result = Query(query);
        const bool match = want.empty() ? result.empty() : result.size() == 1 && result[0]["value"][1] == want;
        if (!match) last_ = query + " gave " + result.dump();
        return match;
      },
      timeout);
}

}  // namespace km7::test
