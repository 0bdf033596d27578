// The monitoring server itself (Debian's prometheus) scrapes our endpoint
// every second; its query API must return what the snapshot holds.
#include <gtest/gtest.h>

#include "Harness.h"
#include "MetricsTestData.h"
#include "metrics/MetricsServer.h"
#include "support/PrometheusServer.h"

namespace km7::metrics {
namespace {

class PrometheusScrapeTest : public ::testing::Test {
 protected:
  bool WaitFor(const std::string& query, const std::string& want) { return server_.WaitFor(query, want); }

  it::TempDir dir_;
  test::PrometheusServer server_;
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
  ASSERT_TRUE(server_.Start(dir_.path(), exporter.port())) << server_.Logs();

  EXPECT_TRUE(WaitFor(R"(km7_temperature_celsius{sensor="Server room \"A\""})", "21.5")) << server_.Logs();
  EXPECT_TRUE(WaitFor(R"(km7_temperature_celsius{sensor="Lab",serial="KM7B02"})", "-4.25")) << server_.Logs();
  EXPECT_TRUE(WaitFor(R"(km7_relative_humidity_ratio{serial="KM7A01"})", "0.455")) << server_.Logs();
  EXPECT_TRUE(WaitFor(R"(km7_alarm_firing{serial="KM7A01",alarm="temperature_high"})", "1")) << server_.Logs();
  EXPECT_TRUE(WaitFor(R"(km7_sensor_up{sensor="Lab"})", "1")) << server_.Logs();
  // The scrape itself was healthy.
  EXPECT_TRUE(WaitFor(R"(up{job="km7"})", "1")) << server_.Logs();

  // The module is unplugged: no more values, up 0.
  status::SensorSnapshot gone = test::UpSensor("Lab", "KM7B02", -4.25, 80);
  gone.up = false;
  store.Publish(gone);
  EXPECT_TRUE(WaitFor(R"(km7_sensor_up{sensor="Lab"})", "0")) << server_.Logs();
  EXPECT_TRUE(WaitFor(R"(km7_temperature_celsius{sensor="Lab"})", "")) << server_.Logs();
  EXPECT_TRUE(WaitFor(R"(km7_temperature_celsius{serial="KM7A01"})", "21.5")) << server_.Logs();
}

}  // namespace
}  // namespace km7::metrics
