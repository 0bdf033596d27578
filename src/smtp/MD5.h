#pragma once
// MD5 (RFC 1321) and HMAC-MD5 (RFC 2104) for the CRAM-MD5 exchange.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class CZRKMD5 {
 public:
  static constexpr size_t kDigestSize = 16;

  CZRKMD5();
  virtual ~CZRKMD5();
  CZRKMD5(const CZRKMD5&) = delete;
  CZRKMD5& operator=(const CZRKMD5&) = delete;

  // The 16-byte digest of data; false when the hashing service fails.
  bool Hash(const void* data, size_t length, uint8_t digest[kDigestSize]);
  bool Hash(std::string_view data, uint8_t digest[kDigestSize]) {
    return Hash(data.data(), data.size(), digest);
  }

  // HMAC-MD5 of data under key (keys over 64 bytes are hashed first); every
  // derived copy of the key is wiped before returning. False on failure.
  bool HMAC(const void* data, size_t dataLength, const void* key, size_t keyLength,
            uint8_t digest[kDigestSize]);
  bool HMAC(std::string_view data, std::string_view key, uint8_t digest[kDigestSize]) {
    return HMAC(data.data(), data.size(), key.data(), key.size(), digest);
  }

  // 32 hexadecimal digits, lower-case unless upperCase.
  static std::string ToHex(const uint8_t digest[kDigestSize], bool upperCase = false);
};
