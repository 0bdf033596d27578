#include "platform/SecureWipe.h"

#include <openssl/crypto.h>

namespace km7 {

void SecureZero(void* data, std::size_t size) noexcept {
  if (data != nullptr && size != 0) OPENSSL_cleanse(data, size);
}

void Wipe(std::string& text) noexcept {
  // The whole capacity: a text that shrank may keep old bytes past its end.
  // Grows into the capacity without reallocating, so the bytes past the
  // end get zeroed as well: a text that shrank may keep old ones there.
  text.resize(text.capacity());
  SecureZero(text.data(), text.size());
  text.clear();
}

}  // namespace km7
