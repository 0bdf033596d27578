#include "smtp/Resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "smtp/CancelToken.h"
#include "smtp/ErrorMessages.h"

namespace km7 {

namespace {

// How soon a cancel is seen while a lookup runs.
constexpr std::chrono::milliseconds kCancelCheck{50};

// The state of one lookup, shared with its thread, which may outlive the
// caller's wait.
struct Lookup {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  uint32_t error = 0;
  std::vector<SocketAddress> addresses;
};

void RunLookup(Lookup& lookup, const std::string& host, uint16_t port, int family) {
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* result = nullptr;
  errno = 0;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &result);
  uint32_t error = 0;
  std::vector<SocketAddress> addresses;
  if (rc != 0 || result == nullptr) {
    error = SocketErrorFromResolver(rc != 0 ? rc : EAI_NONAME, errno);
  } else {
    for (const addrinfo* a = result; a != nullptr; a = a->ai_next) {
      if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) || a->ai_addrlen > sizeof(SocketAddress::bytes)) {
        continue;
      }
      SocketAddress address;
      address.family = a->ai_family;
      address.length = static_cast<unsigned>(a->ai_addrlen);
      std::memcpy(address.bytes, a->ai_addr, a->ai_addrlen);
      addresses.push_back(address);
    }
    if (addresses.empty()) error = WSAHOST_NOT_FOUND;
  }
  if (result != nullptr) freeaddrinfo(result);
  std::lock_guard<std::mutex> lock(lookup.mutex);
  lookup.error = error;
  lookup.addresses = std::move(addresses);
  lookup.finished = true;
  lookup.done.notify_all();
}

bool ParseLiteral(const char* host, uint16_t port, int family, SocketAddress& out) {
  if (host == nullptr) return false;
  if (family != AF_INET6) {
    sockaddr_in a{};
    if (inet_pton(AF_INET, host, &a.sin_addr) == 1) {
      a.sin_family = AF_INET;
      a.sin_port = htons(port);
      out.family = AF_INET;
      out.length = sizeof a;
      std::memcpy(out.bytes, &a, sizeof a);
      return true;
    }
  }
  if (family != AF_INET) {
    sockaddr_in6 a{};
    if (inet_pton(AF_INET6, host, &a.sin6_addr) == 1) {
      a.sin6_family = AF_INET6;
      a.sin6_port = htons(port);
      out.family = AF_INET6;
      out.length = sizeof a;
      std::memcpy(out.bytes, &a, sizeof a);
      return true;
    }
  }
  return false;
}

}  // namespace

uint32_t ResolveHost(const char* host, uint16_t port, int family, uint32_t timeoutMs,
                     std::vector<SocketAddress>& out, const smtp::CancelToken* cancel) {
  out.clear();
  SocketAddress literal;
  if (ParseLiteral(host, port, family, literal)) {
    out.push_back(literal);
    return 0;
  }
  if (host == nullptr || *host == '\0') return WSAHOST_NOT_FOUND;
  // The system resolver has no time-out of its own that callers can set; a
  // lookup left behind finishes on its thread and is then dropped.
  auto lookup = std::make_shared<Lookup>();
  try {
    std::thread([lookup, name = std::string(host), port, family] { RunLookup(*lookup, name, port, family); })
        .detach();
  } catch (const std::system_error&) {
    RunLookup(*lookup, host, port, family);  // no thread to spare: look up here
  }
  std::unique_lock<std::mutex> lock(lookup->mutex);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // In slices, so that a cancel is seen soon: the lookup thread knows
  // nothing of the token.
  while (!lookup->finished) {
    if (cancel != nullptr && cancel->Cancelled()) return WSAECANCELLED;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return WSATRY_AGAIN;
    lookup->done.wait_for(lock, std::min<std::chrono::steady_clock::duration>(deadline - now, kCancelCheck));
  }
  if (lookup->error != 0) return lookup->error;
  out = lookup->addresses;
  return 0;
}

uint32_t ResolveIPv4(const char* host, uint32_t& addressNetworkOrder, uint32_t timeoutMs) {
  in_addr dotted{};
  if (host != nullptr && inet_pton(AF_INET, host, &dotted) == 1) {
    addressNetworkOrder = dotted.s_addr;
    return 0;
  }
  std::vector<SocketAddress> addresses;
  if (const uint32_t error = ResolveHost(host, 0, AF_INET, timeoutMs, addresses)) return error;
  sockaddr_in a{};
  std::memcpy(&a, addresses.front().bytes, sizeof a);
  addressNetworkOrder = a.sin_addr.s_addr;
  return 0;
}

}  // namespace km7
