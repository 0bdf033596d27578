// The monitoring server itself (Debian's prometheus) scrapes our endpoint
// every second; its query API must return what the snapshot holds.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "Harness.h"
#include "HttpClient.h"
#include "MetricsTestData.h"
#include "metrics/MetricsServer.h"

namespace km7::metrics {
namespace {

using namespace std::chrono_literals;

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

class PrometheusScrapeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    prometheus_ = it::FindProgram("prometheus");
    if (prometheus_.empty()) GTEST_SKIP() << "prometheus is not installed";
  }

  // Starts the monitoring server scraping 127.0.0.1:target every second.
  void StartPrometheus(int target) {
    it::WriteFile(dir_ / "prometheus.yml",
                  "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n  evaluation_interval: 1s\n"
                  "scrape_configs:\n  - job_name: km7\n    static_configs:\n      - targets: ['127.0.0.1:" +
                      std::to_string(target) + "']\n");
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = it::FreePort();
      bool started = server_.Start({prometheus_, "--config.file=" + (dir_ / "prometheus.yml").string(),
                                    "--storage.tsdb.path=" + (dir_ / "data").string(),
                                    "--web.listen-address=127.0.0.1:" + std::to_string(port_), "--log.level=warn"},
                                   dir_.path(), "prometheus");
      if (started && it::WaitForPort(port_, server_, 60s)) return;
      server_.Stop();
    }
    FAIL() << "prometheus did not come up\n" << server_.Logs();
  }

  // The instant vector for `query`: (labels, value) of each series.
  nlohmann::json Query(const std::string& query) {
    auto r = test::HttpGet(port_, "/api/v1/query?query=" + UrlEncode(query));
    if (r.status != 200) return nlohmann::json::array();
    auto j = nlohmann::json::parse(r.body, nullptr, false);
    if (j.is_discarded() || j.value("status", "") != "success") return nlohmann::json::array();
    return j["data"]["result"];
  }

  // Polls until `query` returns exactly one series with the value `want`
  // ("" for no series at all), up to `timeout`.
  bool WaitFor(const std::string& query, const std::string& want, std::chrono::seconds timeout = 60s) {
    auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      nlohmann::json result = Query(query);
      if (want.empty() ? result.empty() : result.size() == 1 && result[0]["value"][1] == want) return true;
      last_ = result.dump();
      std::this_thread::sleep_for(250ms);
    }
    return false;
  }

  std::string prometheus_;
  it::TempDir dir_;
  it::Daemon server_;
  int port_ = 0;
  std::string last_;
};

TEST_F(PrometheusScrapeTest, QueriesReturnTheSensorsValuesAndUpZeroOnceItIsGone) {
  status::SnapshotStore store;
  store.Publish(test::UpSensor("Server room \"A\"", "KM7A01", 21.5, 45.5));
  store.Publish(test::UpSensor("Lab", "KM7B02", -4.25, 80));
  MetricsServer exporter(store);
  std::string error;
  ListenAddress a;
  a.host = "127.0.0.1";
  a.port = 0;
  ASSERT_TRUE(exporter.Start(a, error)) << error;
  StartPrometheus(exporter.port());
  if (HasFatalFailure()) return;

  EXPECT_TRUE(WaitFor(R"(km7_temperature_celsius{sensor="Server room \"A\""})", "21.5")) << last_ << server_.Logs();
  EXPECT_TRUE(WaitFor(R"(km7_temperature_celsius{sensor="Lab",serial="KM7B02"})", "-4.25")) << last_;
  EXPECT_TRUE(WaitFor(R"(km7_relative_humidity_ratio{serial="KM7A01"})", "0.455")) << last_;
  EXPECT_TRUE(WaitFor(R"(km7_alarm_firing{serial="KM7A01",alarm="temperature_high"})", "1")) << last_;
  EXPECT_TRUE(WaitFor(R"(km7_sensor_up{sensor="Lab"})", "1")) << last_;
  // The scrape itself was healthy.
  EXPECT_TRUE(WaitFor(R"(up{job="km7"})", "1")) << last_;

  // The module is unplugged: no more values, up 0.
  status::SensorSnapshot gone = test::UpSensor("Lab", "KM7B02", -4.25, 80);
  gone.up = false;
  store.Publish(gone);
  EXPECT_TRUE(WaitFor(R"(km7_sensor_up{sensor="Lab"})", "0")) << last_;
  EXPECT_TRUE(WaitFor(R"(km7_temperature_celsius{sensor="Lab"})", "")) << last_;
  EXPECT_TRUE(WaitFor(R"(km7_temperature_celsius{serial="KM7A01"})", "21.5")) << last_;
}

}  // namespace
}  // namespace km7::metrics
