#include "smtp/MD5.h"

#include <openssl/evp.h>

#include <cstring>
#include <memory>

#include "platform/SecureWipe.h"

namespace {

constexpr size_t kBlockSize = 64;

struct MdCtxDeleter {
  void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

// MD5 over two consecutive pieces.
bool Md5Of(const void* a, size_t aLength, const void* b, size_t bLength,
           uint8_t digest[CZRKMD5::kDigestSize]) {
  MdCtx ctx(EVP_MD_CTX_new());
  if (!ctx) return false;
  unsigned int outLength = 0;
  return EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1 &&
         EVP_DigestUpdate(ctx.get(), a, aLength) == 1 &&
         EVP_DigestUpdate(ctx.get(), b, bLength) == 1 &&
         EVP_DigestFinal_ex(ctx.get(), digest, &outLength) == 1 &&
         outLength == CZRKMD5::kDigestSize;
}

}  // namespace

CZRKMD5::CZRKMD5() = default;
CZRKMD5::~CZRKMD5() = default;

bool CZRKMD5::Hash(const void* data, size_t length, uint8_t digest[kDigestSize]) {
  return Md5Of(data, length, nullptr, 0, digest);
}

bool CZRKMD5::HMAC(const void* data, size_t dataLength, const void* key, size_t keyLength,
                   uint8_t digest[kDigestSize]) {
  uint8_t paddedKey[kBlockSize] = {};
  uint8_t pad[kBlockSize];
  uint8_t inner[kDigestSize];
  bool ok = true;
  if (keyLength > kBlockSize) {
    ok = Hash(key, keyLength, paddedKey);
  } else if (keyLength > 0) {
    std::memcpy(paddedKey, key, keyLength);
  }
  if (ok) {
    for (size_t i = 0; i < kBlockSize; ++i) pad[i] = paddedKey[i] ^ 0x36;
    ok = Md5Of(pad, kBlockSize, data, dataLength, inner);
  }
  if (ok) {
    for (size_t i = 0; i < kBlockSize; ++i) pad[i] = paddedKey[i] ^ 0x5C;
    ok = Md5Of(pad, kBlockSize, inner, kDigestSize, digest);
  }
  // Everything derived from the key is secret.
  km7::SecureZero(paddedKey, sizeof paddedKey);
  km7::SecureZero(pad, sizeof pad);
  km7::SecureZero(inner, sizeof inner);
  return ok;
}

std::string CZRKMD5::ToHex(const uint8_t digest[kDigestSize], bool upperCase) {
  const char* digits = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(kDigestSize * 2);
  for (size_t i = 0; i < kDigestSize; ++i) {
    out += digits[digest[i] >> 4];
    out += digits[digest[i] & 0x0F];
  }
  return out;
}
