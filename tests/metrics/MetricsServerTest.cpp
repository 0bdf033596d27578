#include "metrics/MetricsServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/HttpClient.h"
#include "MetricsTestData.h"
#include "metrics/Exposition.h"

namespace km7::metrics {
namespace {

using namespace std::chrono_literals;

ListenAddress Loopback(std::uint16_t port = 0) {
  ListenAddress a;
  a.host = "127.0.0.1";
  a.port = port;
  return a;
}

TEST(MetricsServerTest, ServesTheLatestSnapshotAndALandingPage) {
  status::SnapshotStore store;
  store.Publish(test::UpSensor("Lab", "KM7A01", 20.5, 40));
  MetricsServer server(store);
  std::string error;
  ASSERT_TRUE(server.Start(Loopback(), error)) << error;
  ASSERT_NE(server.port(), 0);

  auto r = test::HttpGet(server.port(), "/metrics");
  ASSERT_EQ(r.status, 200) << r.head;
  EXPECT_EQ(test::HeaderValue(r.head, "Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
  EXPECT_EQ(r.body, RenderExposition(*store.Current()));
  EXPECT_NE(r.body.find("km7_temperature_celsius{sensor=\"Lab\",serial=\"KM7A01\"} 20.5\n"), std::string::npos);

  // A new reading shows in the next scrape.
  store.Publish(test::UpSensor("Lab", "KM7A01", 22.25, 40));
  r = test::HttpGet(server.port(), "/metrics");
  EXPECT_NE(r.body.find("km7_temperature_celsius{sensor=\"Lab\",serial=\"KM7A01\"} 22.25\n"), std::string::npos);

  r = test::HttpGet(server.port(), "/");
  ASSERT_EQ(r.status, 200);
  EXPECT_EQ(test::HeaderValue(r.head, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_NE(r.body.find("<a href=\"/metrics\">"), std::string::npos);
  // Its own (empty) icon: a browser then asks for no /favicon.ico, which is 404.
  EXPECT_NE(r.body.find("<link rel=\"icon\" href=\"data:,\">"), std::string::npos);

  r = test::HttpRequest(server.port(), "HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.body.empty());
  EXPECT_EQ(test::HttpGet(server.port(), "/metrics/../etc").status, 404);
  EXPECT_EQ(test::HttpGet(server.port(), "/favicon.ico").status, 404);
  r = test::HttpRequest(server.port(),
                        "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\nConnection: close\r\n\r\nabc");
  EXPECT_EQ(r.status, 405);
  EXPECT_EQ(test::HeaderValue(r.head, "Allow"), "GET, HEAD");
  // A line that is no request is closed unanswered or refused.
  int garbage = test::HttpRequest(server.port(), "BLAH\r\n\r\n").status;
  EXPECT_TRUE(garbage == 0 || garbage / 100 == 4) << garbage;

  server.Stop();
  EXPECT_EQ(test::ConnectLoopback(server.port()), -1);
}

TEST(MetricsServerTest, APortInUseIsAClearErrorAndTheFirstServerGoesOn) {
  status::SnapshotStore store;
  MetricsServer first(store);
  std::string error;
  ASSERT_TRUE(first.Start(Loopback(), error)) << error;
  MetricsServer second(store);
  EXPECT_FALSE(second.Start(Loopback(first.port()), error));
  EXPECT_NE(error.find("127.0.0.1:" + std::to_string(first.port())), std::string::npos) << error;
  EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
  EXPECT_EQ(second.port(), 0);
  EXPECT_EQ(test::HttpGet(first.port(), "/metrics").status, 200);
}

TEST(MetricsServerTest, ListensOnIpv6Loopback) {
  status::SnapshotStore store;
  MetricsServer server(store);
  ListenAddress a;
  a.host = "::1";
  a.ipv6 = true;
  a.port = 0;
  std::string error;
  if (!server.Start(a, error)) GTEST_SKIP() << "no IPv6 loopback here: " << error;
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 sa{};
  sa.sin6_family = AF_INET6;
  sa.sin6_port = htons(server.port());
  sa.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  std::string req = "GET /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", all;
  ::send(fd, req.data(), req.size(), MSG_NOSIGNAL);
  EXPECT_TRUE(test::ReadToEnd(fd, all, 10s));
  ::close(fd);
  EXPECT_EQ(all.rfind("HTTP/1.1 200", 0), 0u) << all;
}

// Hostile clients from other loopback addresses: 500 idle connections, one
// that sends a byte a second, one with a 1 MB header. Scrapes from 127.0.0.1
// still answer within a second, and the slow client is cut off.
TEST(MetricsServerTest, HostileClientsDoNotStopScrapes) {
  status::SnapshotStore store;
  store.Publish(test::UpSensor("Lab", "KM7A01", 20.5, 40));
  ServerLimits limits;
  limits.requestDeadline = 3000ms;
  MetricsServer server(store, limits);
  std::string error;
  ASSERT_TRUE(server.Start(Loopback(), error)) << error;
  const int port = server.port();

  std::vector<int> idle;
  for (int i = 0; i < 500; ++i) {
    int fd = test::ConnectLoopback(port, "127.0.0.2");
    if (fd >= 0) idle.push_back(fd);
  }
  EXPECT_GT(idle.size(), 0u);

  std::atomic<bool> stopTrickle{false};
  std::atomic<bool> trickleCut{false};
  std::thread trickle([&] {
    int fd = test::ConnectLoopback(port, "127.0.0.3");
    if (fd < 0) return;
    const std::string head = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    for (std::size_t i = 0; !stopTrickle; ++i) {
      char c = i < head.size() ? head[i] : 'a';
      if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
        trickleCut = true;
        break;
      }
      std::string got;
      if (test::ReadToEnd(fd, got, 1000ms)) {
        trickleCut = true;
        break;
      }
    }
    ::close(fd);
  });

  std::atomic<int> bigStatus{-1};
  std::thread big([&] {
    int fd = test::ConnectLoopback(port, "127.0.0.4");
    if (fd < 0) return;
    std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n";
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string got;
    test::ReadToEnd(fd, got, 10s);
    ::close(fd);
    bigStatus = got.rfind("HTTP/1.", 0) == 0 ? std::stoi(got.substr(9, 3)) : 0;
  });

  std::chrono::milliseconds slowest{0};
  for (int i = 0; i < 10; ++i) {
    auto start = std::chrono::steady_clock::now();
    auto r = test::HttpGet(port, "/metrics", 5s);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    slowest = std::max(slowest, took);
    EXPECT_EQ(r.status, 200) << "scrape " << i;
    EXPECT_NE(r.body.find("km7_sensor_up{sensor=\"Lab\",serial=\"KM7A01\"} 1"), std::string::npos);
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_LT(slowest, 1000ms);

  big.join();
  // Too large a head is refused (4xx) or the connection closed; never served.
  EXPECT_NE(bigStatus, 200);
  EXPECT_TRUE(bigStatus == 0 || bigStatus / 100 == 4) << bigStatus;

  // The deadline (3 s) has passed during the scrapes (5 s): the slow client
  // has been cut off within a few seconds more.
  for (int i = 0; i < 50 && !trickleCut; ++i) std::this_thread::sleep_for(100ms);
  stopTrickle = true;
  trickle.join();
  EXPECT_TRUE(trickleCut);

  // So have the idle connections: each reads the end of the stream.
  int closed = 0;
  for (int fd : idle) {
    std::string got;
    if (test::ReadToEnd(fd, got, 100ms)) ++closed;
    ::close(fd);
  }
  EXPECT_EQ(closed, static_cast<int>(idle.size()));
  EXPECT_EQ(test::HttpGet(port, "/metrics").status, 200);
}

// A GET or HEAD with a body is refused at once; a body trickled in byte by
// byte does not keep the connection past the deadline.
TEST(MetricsServerTest, ARequestBodyIsRefusedAndCannotOutlastTheDeadline) {
  status::SnapshotStore store;
  store.Publish(test::UpSensor("Lab", "KM7A01", 20.5, 40));
  ServerLimits limits;
  limits.requestDeadline = 1000ms;
  MetricsServer server(store, limits);
  std::string error;
  ASSERT_TRUE(server.Start(Loopback(), error)) << error;
  for (const char* request : {
           "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: close\r\n\r\nabcde",
           "HEAD /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: close\r\n\r\nabcde",
           "GET / HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n5\r\nabcde\r\n0\r\n\r\n",
       }) {
    EXPECT_EQ(test::HttpRequest(server.port(), request, 5s).status, 400) << request;
  }

  int fd = test::ConnectLoopback(server.port(), "127.0.0.2");
  ASSERT_GE(fd, 0);
  const std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 100000\r\n\r\n";
  ::send(fd, head.data(), head.size(), MSG_NOSIGNAL);
  const auto start = std::chrono::steady_clock::now();
  bool closed = false;
  std::string got;
  while (!closed && std::chrono::steady_clock::now() - start < 10s) {
    ::send(fd, "a", 1, MSG_NOSIGNAL);
    closed = test::ReadToEnd(fd, got, 100ms);
  }
  ::close(fd);
  EXPECT_TRUE(closed) << "the body kept the connection for 10 s";
  EXPECT_NE(got.find(" 200 "), 9u) << got;
  EXPECT_EQ(test::HttpGet(server.port(), "/metrics").status, 200);
}

// Idle connections from the scraper's own address, and from others until
// every slot is taken, do not lock out a scrape: the longest-idle gives way.
TEST(MetricsServerTest, AScraperGetsInWhileOthersOnItsHostHoldEverySlot) {
  status::SnapshotStore store;
  store.Publish(test::UpSensor("Lab", "KM7A01", 20.5, 40));
  ServerLimits limits;
  limits.maxConnections = 8;
  limits.maxConnectionsPerAddress = 4;
  limits.requestDeadline = 60s;  // not the reason anyone gets in
  limits.idleTimeout = 60s;
  MetricsServer server(store, limits);
  std::string error;
  ASSERT_TRUE(server.Start(Loopback(), error)) << error;

  for (const char* others : {"127.0.0.1", "127.0.0.2"}) {
    std::vector<int> idle;
    // Same address: four, its whole share. Others: two from each of four
    // addresses, every slot there is.
    for (int i = 0; i < 8; ++i) {
      const bool same = std::string(others) == "127.0.0.1";
      if (same && i >= 4) break;
      const std::string from = same ? "127.0.0.1" : "127.0.0." + std::to_string(2 + i / 2);
      int fd = test::ConnectLoopback(server.port(), from.c_str());
      ASSERT_GE(fd, 0);
      idle.push_back(fd);
    }
    std::this_thread::sleep_for(300ms);  // all of them accepted
    for (int scrape = 0; scrape < 3; ++scrape) {
      const auto r = test::HttpGet(server.port(), "/metrics", 5s);
      EXPECT_EQ(r.status, 200) << "idle connections from " << others << ", scrape " << scrape;
    }
    for (int fd : idle) ::close(fd);
    std::this_thread::sleep_for(300ms);
  }
}

}  // namespace
}  // namespace km7::metrics
