#include "metrics/MetricsServer.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "metrics/Exposition.h"

namespace km7::metrics {

namespace {

constexpr int kListenBacklog = 128;
// Connections beyond ServerLimits::maxConnections that the library accepts
// so that one may take an idle connection's place.
constexpr unsigned kEvictionHeadroom = 16;
// How often the deadline of slow requests is checked.
constexpr auto kWatchdogPeriod = std::chrono::milliseconds(100);

// An empty icon of its own: a browser asks for /favicon.ico otherwise and
// logs the 404 as an error.
constexpr char kLandingPage[] =
    "<!DOCTYPE html>\n"
    "<html><head><meta charset=\"utf-8\"><title>km7 exporter</title>"
    "<link rel=\"icon\" href=\"data:,\"></head>\n"
    "<body><h1>km7 exporter</h1>\n"
    "<p>Temperature, humidity and dew point of the attached sensor modules.</p>\n"
    "<p><a href=\"/metrics\">Metrics</a></p>\n"
    "</body></html>\n";

int Listen(const ListenAddress& address, std::uint16_t& bound, std::string& error) {
  sockaddr_storage ss{};
  socklen_t len;
  if (address.ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(address.port);
    if (inet_pton(AF_INET6, address.host.c_str(), &a->sin6_addr) != 1) {
      error = "bad IPv6 address " + address.host;
      return -1;
    }
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_port = htons(address.port);
    if (inet_pton(AF_INET, address.host.c_str(), &a->sin_addr) != 1) {
      error = "bad IPv4 address " + address.host;
      return -1;
    }
    len = sizeof *a;
  }
  int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  auto fail = [&](const char* step) {
    int err = errno;
    error = "cannot listen for metrics on " + address.ToString() + ": " + step + std::strerror(err);
    if (err == EADDRINUSE) error += " (another program has this port; choose another with --metrics-listen)";
    if (fd >= 0) ::close(fd);
    return -1;
  };
  if (fd < 0) return fail("");
  int one = 1;
  // A restart must not wait for the old connections' TIME_WAIT; a port with a
  // live listener still fails with EADDRINUSE.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (address.ipv6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0) return fail("");
  if (::listen(fd, kListenBacklog) != 0) return fail("listen: ");
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) return fail("");
  bound = ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                         : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
  return fd;
}

}  // namespace

struct MetricsServer::Impl {
  const status::SnapshotStore& store;
  ServerLimits limits;
  MHD_Daemon* daemon = nullptr;
  std::uint16_t port = 0;

  // Open connections, for the deadline of requests and the cap per address.
  // An entry is removed before the library closes its socket, so shutting
  // one down under the mutex never touches a reused descriptor.
  struct Conn {
    int fd = -1;
    std::string client;  // the peer's address bytes
    std::chrono::steady_clock::time_point waitingSince;
    bool handling = false;  // a request head is complete
    bool cut = false;
  };
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  std::unordered_map<MHD_Connection*, Conn> conns;
  std::thread watchdog;

  Impl(const status::SnapshotStore& s, ServerLimits l) : store(s), limits(l) {}

  static std::string ClientOf(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (!info || !info->client_addr) return {};
    const sockaddr* sa = info->client_addr;
    if (sa->sa_family == AF_INET6) {
      const auto& a = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
      return std::string(reinterpret_cast<const char*>(&a), sizeof a);
    }
    const auto& a = reinterpret_cast<const sockaddr_in*>(sa)->sin_addr;
    return std::string(reinterpret_cast<const char*>(&a), sizeof a);
  }

  void Cut(Conn& conn) {
    // The library sees the end of the stream and closes the connection.
    if (conn.fd >= 0) ::shutdown(conn.fd, SHUT_RDWR);
    conn.cut = true;
  }

  // Room for a new connection: over the cap of its address (or of all), the
  // longest-waiting connection without a request in hand gives way. A
  // scraper sends its request at once, so it is never the one to go, however
  // many idle connections another client on its host holds.
  void MakeRoom(MHD_Connection* fresh) {
    Conn& conn = conns[fresh];
    std::size_t sameAddress = 0;
    std::size_t open = 0;
    for (const auto& [c, other] : conns) {
      if (other.cut) continue;
      ++open;
      if (other.client == conn.client) ++sameAddress;
    }
    const bool addressFull = sameAddress > limits.maxConnectionsPerAddress;
    if (!addressFull && open <= limits.maxConnections) return;
    Conn* oldest = nullptr;
    for (auto& [c, other] : conns) {
      if (c == fresh || other.cut || other.handling) continue;
      if (addressFull && other.client != conn.client) continue;
      if (!oldest || other.waitingSince < oldest->waitingSince) oldest = &other;
    }
    Cut(oldest ? *oldest : conn);
  }

  static void OnConnection(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<Impl*>(cls);
    std::lock_guard lock(self->mutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
      Conn conn;
      conn.fd = info ? info->connect_fd : -1;
      conn.client = ClientOf(c);
      conn.waitingSince = std::chrono::steady_clock::now();
      self->conns[c] = conn;
      self->MakeRoom(c);
    } else {
      self->conns.erase(c);
    }
  }

  static void OnCompleted(void* cls, MHD_Connection* c, void**, MHD_RequestTerminationCode) {
    auto* self = static_cast<Impl*>(cls);
    std::lock_guard lock(self->mutex);
    auto it = self->conns.find(c);
    if (it == self->conns.end()) return;
    it->second.handling = false;
    it->second.waitingSince = std::chrono::steady_clock::now();
  }

  void MarkHandling(MHD_Connection* c) {
    std::lock_guard lock(mutex);
    auto it = conns.find(c);
    if (it != conns.end()) it->second.handling = true;
  }

  void Watch() {
    std::unique_lock lock(mutex);
    while (!stopping) {
      wake.wait_for(lock, kWatchdogPeriod);
      auto now = std::chrono::steady_clock::now();
      // The whole exchange, head, body and answer, is bounded: a request in
      // hand is no reason to wait longer.
      for (auto& [c, conn] : conns) {
        if (conn.cut || conn.fd < 0) continue;
        if (now - conn.waitingSince >= limits.requestDeadline) Cut(conn);
      }
    }
  }

  static bool HasBody(MHD_Connection* c) {
    const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (length && std::strcmp(length, "0") != 0) return true;
    return MHD_lookup_connection_value(c, MHD_HEADER_KIND, MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
  }

  static MHD_Result Queue(MHD_Connection* c, unsigned status, const std::string& body, const char* type,
                          const char* allow = nullptr) {
    MHD_Response* r =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (allow) MHD_add_response_header(r, MHD_HTTP_HEADER_ALLOW, allow);
    MHD_Result ret = MHD_queue_response(c, status, r);
    MHD_destroy_response(r);
    return ret;
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                              const char*, size_t* uploadSize, void** reqState) {
    auto* self = static_cast<Impl*>(cls);
    const bool readOnly =
        std::strcmp(method, MHD_HTTP_METHOD_GET) == 0 || std::strcmp(method, MHD_HTTP_METHOD_HEAD) == 0;
    if (*reqState == nullptr) {
      // First call: the head is complete. Answer on the next call, as the
      // library expects, unless a body is coming that we do not want.
      self->MarkHandling(c);
      *reqState = self;
      if (readOnly && !HasBody(c)) return MHD_YES;
    }
    if (!readOnly) {
      *uploadSize = 0;
      return Queue(c, MHD_HTTP_METHOD_NOT_ALLOWED, "Only GET and HEAD are served.\n", "text/plain; charset=utf-8",
                   "GET, HEAD");
    }
    if (*uploadSize != 0 || HasBody(c)) {
      // Refused before it is read: a body could trickle in for ever.
      *uploadSize = 0;
      return Queue(c, MHD_HTTP_BAD_REQUEST, "A GET or HEAD request has no body.\n", "text/plain; charset=utf-8");
    }
    if (std::strcmp(url, "/metrics") == 0)
      return Queue(c, MHD_HTTP_OK, RenderExposition(*self->store.Current(), self->store.UnreadableMails()), kExpositionContentType);
    if (std::strcmp(url, "/") == 0) return Queue(c, MHD_HTTP_OK, kLandingPage, "text/html; charset=utf-8");
    return Queue(c, MHD_HTTP_NOT_FOUND, "Not found. The metrics are at /metrics.\n", "text/plain; charset=utf-8");
  }
};

MetricsServer::MetricsServer(const status::SnapshotStore& store, ServerLimits limits)
    : impl_(std::make_unique<Impl>(store, limits)) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const ListenAddress& address, std::string& error) {
  if (impl_->daemon) {
    error = "the metrics server is already running";
    return false;
  }
  std::uint16_t bound = 0;
  int fd = Listen(address, bound, error);
  if (fd < 0) return false;
  const ServerLimits& l = impl_->limits;
  unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD;
  if (address.ipv6) flags |= MHD_USE_IPv6;
  impl_->daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, &Impl::OnRequest, impl_.get(),  //
      MHD_OPTION_LISTEN_SOCKET, fd,                               //
      // Past the limits below, the oldest idle connection is closed to make
      // room (MakeRoom); the library's own limit only bounds a flood that
      // arrives faster than that.
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(l.maxConnections + kEvictionHeadroom),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(l.maxRequestBytes),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(l.idleTimeout.count()),
      MHD_OPTION_NOTIFY_CONNECTION, &Impl::OnConnection, impl_.get(),  //
      MHD_OPTION_NOTIFY_COMPLETED, &Impl::OnCompleted, impl_.get(),    //
      MHD_OPTION_END);
  if (!impl_->daemon) {
    ::close(fd);
    error = "cannot start the metrics server on " + address.ToString();
    return false;
  }
  impl_->port = bound;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = false;
  }
  if (l.requestDeadline.count() > 0) impl_->watchdog = std::thread([this] { impl_->Watch(); });
  error.clear();
  return true;
}

void MetricsServer::Stop() {
  if (!impl_ || !impl_->daemon) return;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->wake.notify_all();
  if (impl_->watchdog.joinable()) impl_->watchdog.join();
  MHD_stop_daemon(impl_->daemon);  // closes the listening socket too
  impl_->daemon = nullptr;
  impl_->port = 0;
}

std::uint16_t MetricsServer::port() const { return impl_->port; }

}  // namespace km7::metrics
