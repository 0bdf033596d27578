// Feeds arbitrary proxy replies to the SOCKS4, SOCKS5 and HTTP CONNECT reply
// parsers, with the SOCKS5 reply read the way the handshake reads it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "smtp/ErrorMessages.h"
#include "smtp/ProxyProtocol.h"
#include "smtp/Socket.h"

namespace proxy = km7::proxy;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t selector = data[0];
  const size_t piece = 1 + data[1] % 8;
  data += 2;
  size -= 2;

  if (size >= 8) {
    const uint32_t e = proxy::Socks4ReplyError(data);
    if (e != 0 && e != km7::ERROR_BAD_NET_RESP) std::abort();
  }
  if (size >= 2) {
    bool authenticate = false;
    const uint32_t e = proxy::Socks5MethodError(data[1], selector & 1, authenticate);
    if (e != 0 && e != km7::WSAECONNREFUSED) std::abort();
    if (authenticate && !(selector & 1)) std::abort();
    const uint32_t a = proxy::Socks5AuthReplyError(data);
    if (a != 0 && a != km7::ERROR_ACCESS_DENIED) std::abort();
  }

  // SOCKS5 connect reply: never ask for more than the reply still lacks,
  // never beyond the reply buffer.
  std::vector<uint8_t> buffer(proxy::kSocks5ReplyBufferSize);
  size_t got = 0;
  size_t offered = 0;
  for (;;) {
    const proxy::Socks5ReplyState s = proxy::Socks5ConnectReplyState(buffer.data(), got);
    if (s.error != 0 || s.complete) {
      if (s.complete) {
        // IPv4, IPv6 or a name with its length byte, then the port.
        const size_t total = buffer[3] == 1 ? 10u : buffer[3] == 4 ? 22u : 7u + buffer[4];
        if (got != total) std::abort();
      }
      break;
    }
    if (s.needed == 0 || got + s.needed > buffer.size()) std::abort();
    if (offered >= size) break;
    size_t n = size - offered < piece ? size - offered : piece;
    if (n > s.needed) n = s.needed;
    for (size_t i = 0; i < n; ++i) buffer[got + i] = data[offered + i];
    got += n;
    offered += n;
  }

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const uint32_t h = proxy::HttpReplyError(text);
  if (h != 0 && h != km7::ERROR_CONNECTION_REFUSED) std::abort();
  proxy::HttpReplyComplete(text);
  return 0;
}
