#include "smtp/NTLMClientAuth.h"

#include <new>
#include <vector>

#include "platform/SecureWipe.h"

namespace {

// Token buffers hold a server challenge and our response; wiped on every way out.
struct TokenBuffer {
  std::vector<uint8_t> bytes;
  explicit TokenBuffer(size_t size) : bytes(size) {}
  ~TokenBuffer() { km7::SecureZero(bytes.data(), bytes.size()); }
};

}  // namespace

CNTLMClientAuth::CNTLMClientAuth() = default;
CNTLMClientAuth::~CNTLMClientAuth() = default;

int32_t CNTLMClientAuth::Authenticate(std::string_view userName, std::string_view password) {
  using namespace km7::ntlm;
  std::string_view domain;
  std::string_view user = userName;
  if (const size_t slash = userName.find('\\'); slash != std::string_view::npos) {
    domain = userName.substr(0, slash);
    user = userName.substr(slash + 1);
  }
  // There is no logged-on user's NTLM identity to fall back on.
  if (user.empty()) return SEC_E_NO_CREDENTIALS;

  std::unique_ptr<TokenBuffer> input;
  std::unique_ptr<TokenBuffer> output;
  std::unique_ptr<ClientContext> context;
  try {
    input = std::make_unique<TokenBuffer>(kMaxTokenSize);
    output = std::make_unique<TokenBuffer>(kMaxTokenSize);
    context = std::make_unique<ClientContext>(user, domain, password, m_clock, m_random);
  } catch (const std::bad_alloc&) {
    return SEC_E_INSUFFICIENT_MEMORY;
  }

  size_t outLength = 0;
  bool done = false;
  int32_t status = context->Step(nullptr, 0, output->bytes.data(), kMaxTokenSize, outLength, done);
  if (status < 0) return status;
  status = SendFirstToken(output->bytes.data(), static_cast<uint32_t>(outLength));
  while (status >= 0 && !done) {
    uint32_t inLength = 0;
    status = ReceiveChallenge(input->bytes.data(), kMaxTokenSize, inLength);
    if (status < 0) break;
    if (inLength > kMaxTokenSize) return SEC_E_INSUFFICIENT_MEMORY;
    status = context->Step(input->bytes.data(), inLength, output->bytes.data(), kMaxTokenSize,
                           outLength, done);
    if (status < 0) break;
    status = SendNextToken(output->bytes.data(), static_cast<uint32_t>(outLength));
  }
  return status;
}
