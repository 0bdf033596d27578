// A process that publishes one module's state over MQTT every 200 ms until it
// is killed: the tests kill it with SIGKILL to see the broker's Will.
// Usage: mqtt_publish_fixture URL SERIAL NAME
#include <chrono>
#include <cstdio>
#include <thread>

#include "mqtt/MqttPublisher.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s URL SERIAL NAME\n", argv[0]);
    return 2;
  }
  std::string error;
  auto url = km7::mqtt::ParseBrokerUrl(argv[1], error);
  if (!url) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  km7::mqtt::MqttSettings settings;
  settings.broker = *url;
  settings.softwareVersion = "test";
  settings.report = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
  km7::mqtt::MqttPublisher publisher(settings);
  if (!publisher.Start(error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  km7::status::SensorSnapshot s;
  s.name = argv[3];
  s.serial = argv[2];
  s.up = true;
  s.temperatureC = 21.5;
  s.humidityPercent = 45;
  s.dewPointC = 9;
  for (int i = 0;; ++i) {
    s.lastGoodReading = std::chrono::system_clock::now();
    s.crcErrorsTotal = static_cast<std::uint64_t>(i);  // a change every time
    publisher.PublishState(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}
