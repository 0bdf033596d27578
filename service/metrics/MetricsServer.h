#pragma once
// The HTTP endpoint scrapers read: /metrics and a landing page at /. Served
// by libmicrohttpd on a thread of its own; a request only renders the
// latest snapshot, so a scrape never waits on a sensor or on mail.
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "metrics/ListenAddress.h"
#include "status/SensorSnapshot.h"

namespace km7::metrics {

struct ServerLimits {
  // Connections open at once, and from one client address. A new connection
  // past either takes the place of the longest-idle one (of its address, or
  // of all), so a client holding connections open cannot lock out a scraper,
  // not even one on the same host.
  unsigned maxConnections = 256;
  unsigned maxConnectionsPerAddress = 32;
  // Memory one connection may use; a longer request head is answered 431/413
  // and closed.
  std::size_t maxRequestBytes = 16 * 1024;
  // A connection that sends nothing for this long is closed.
  std::chrono::seconds idleTimeout{10};
  // A request must be read and answered within this time after the
  // connection opened or its previous answer went out, however slowly it
  // trickles in; a GET or HEAD with a body is refused unread.
  std::chrono::milliseconds requestDeadline{5000};
};

class MetricsServer {
 public:
  MetricsServer(const status::SnapshotStore& store, ServerLimits limits = {});
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Binds and starts serving. False with a message naming the address and
  // the reason (e.g. the port is in use) in `error`; nothing is left open.
  bool Start(const ListenAddress& address, std::string& error);
  // Stops serving; waits for the server's threads. Also done on destruction.
  void Stop();
  // The port bound (useful when 0 was asked for); 0 when not started.
  std::uint16_t port() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace km7::metrics
