// /metrics latency: a fresh connection and one scrape at a time against the
// endpoint serving four modules, while four threads publish readings ten
// times a second each. Prints the 50th, 99th percentile and the slowest.
// Usage: bench_metrics_scrape [scrapes]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "metrics/Exposition.h"
#include "metrics/MetricsServer.h"

namespace {

km7::status::SensorSnapshot Sensor(int i, int n) {
  km7::status::SensorSnapshot s;
  s.name = "Room " + std::to_string(i);
  s.serial = "KM7" + std::to_string(1000 + i);
  s.up = true;
  s.temperatureC = 20 + i + n * 0.01;
  s.humidityPercent = 40 + i;
  s.dewPointC = 8 + i;
  s.lastGoodReading = std::chrono::system_clock::now();
  s.crcErrorsTotal = static_cast<std::uint64_t>(n / 100);
  s.alarms = {{"temperature_high", false}, {"temperature_low", false}, {"humidity_high", false},
              {"humidity_low", false}, {"sensor_lost", false}};
  return s;
}

bool Scrape(int port, std::string& body) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return false;
  }
  const char req[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  ::send(fd, req, sizeof req - 1, MSG_NOSIGNAL);
  body.clear();
  char buf[16384];
  ssize_t n;
  while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) body.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  return body.rfind("HTTP/1.1 200", 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int scrapes = argc > 1 ? std::atoi(argv[1]) : 5000;
  km7::status::SnapshotStore store;
  for (int i = 0; i < 4; ++i) store.Publish(Sensor(i, 0));
  km7::metrics::MetricsServer server(store);
  km7::metrics::ListenAddress address;
  address.host = "127.0.0.1";
  address.port = 0;
  std::string error;
  if (!server.Start(address, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int i = 0; i < 4; ++i)
    writers.emplace_back([&, i] {
      for (int n = 0; !stop; ++n) {
        store.Publish(Sensor(i, n));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    });

  std::vector<double> micros;
  micros.reserve(static_cast<std::size_t>(scrapes));
  std::string body;
  int failed = 0;
  for (int i = 0; i < scrapes; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    if (!Scrape(server.port(), body)) ++failed;
    micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  stop = true;
  for (auto& t : writers) t.join();
  std::sort(micros.begin(), micros.end());
  auto at = [&](double q) { return micros[static_cast<std::size_t>(q * (micros.size() - 1))]; };
  std::printf("scrapes %d (failed %d), page %zu bytes\n", scrapes, failed, body.size());
  std::printf("latency p50 %.0f us, p99 %.0f us, max %.0f us\n", at(0.5), at(0.99), micros.back());

  auto t0 = std::chrono::steady_clock::now();
  std::size_t bytes = 0;
  for (int i = 0; i < 10000; ++i) bytes += km7::metrics::RenderExposition(*store.Current()).size();
  std::printf("rendering alone: %.1f us per page (%zu bytes)\n",
              std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count() / 10000,
              bytes / 10000);
  return failed ? 1 : 0;
}
