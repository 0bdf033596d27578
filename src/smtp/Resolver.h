#pragma once
// Host names to addresses, with a time limit the system resolver lacks.
#include <cstdint>
#include <vector>

namespace km7 {
namespace smtp {
class CancelToken;
}

// Bound on a lookup unless the caller gives its own.
inline constexpr uint32_t kDefaultResolveTimeoutMs = 60000;

// Resolves a host as the socket layer does: dotted IPv4 first, else the first
// IPv4 address of a lookup. Returns 0 and the address in network order, or
// the Windows socket error of the failed lookup (WSATRY_AGAIN when it did not
// finish within timeoutMs).
uint32_t ResolveIPv4(const char* host, uint32_t& addressNetworkOrder,
                     uint32_t timeoutMs = kDefaultResolveTimeoutMs);

// One address of a host, ready for connect or bind.
struct SocketAddress {
  int family = 0;
  unsigned length = 0;
  alignas(8) unsigned char bytes[128] = {};  // a sockaddr_storage
};
// All addresses of host (a literal gives itself without a lookup), in the
// resolver's order; family AF_UNSPEC, AF_INET or AF_INET6. The lookup runs
// on a thread of its own so it can be abandoned at timeoutMs: returns 0 or
// the Windows socket error (WSATRY_AGAIN on time-out, WSAECANCELLED when
// cancel was raised while it waited).
uint32_t ResolveHost(const char* host, uint16_t port, int family, uint32_t timeoutMs,
                     std::vector<SocketAddress>& out, const smtp::CancelToken* cancel = nullptr);

}  // namespace km7
