#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <string>

#include "smtp/MD5.h"

namespace {

std::string HexHash(std::string_view data) {
  CZRKMD5 md5;
  uint8_t digest[16];
  EXPECT_TRUE(md5.Hash(data, digest));
  return CZRKMD5::ToHex(digest);
}

std::string HexHmac(std::string_view data, std::string_view key) {
  CZRKMD5 md5;
  uint8_t digest[16];
  EXPECT_TRUE(md5.HMAC(data, key, digest));
  return CZRKMD5::ToHex(digest);
}

TEST(Md5, HashMatchesRfc1321Vectors) {
  EXPECT_EQ(HexHash(""), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(HexHash("abc"), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(HexHash("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
  std::string eighty;
  for (int i = 0; i < 8; ++i) eighty += "1234567890";
  EXPECT_EQ(HexHash(eighty),
            "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, HmacMatchesRfc2104Vectors) {
  EXPECT_EQ(HexHmac("Hi There", std::string(16, '\x0b')), "9294727a3638bb1c13f48ef8158bfc9d");
  EXPECT_EQ(HexHmac("what do ya want for nothing?", "Jefe"), "750c783e6ab0b503eaa86e310a5db738");
  EXPECT_EQ(HexHmac(std::string(50, '\xdd'), std::string(16, '\xaa')),
            "56be34521d144c88dbb8c733f0e8b3f6");
}

TEST(Md5, HmacHashesKeysLongerThanOneBlockFirst) {
  // RFC 2202 cases 6 and 7: an 80-byte key.
  const std::string key(80, '\xaa');
  EXPECT_EQ(HexHmac("Test Using Larger Than Block-Size Key - Hash Key First", key),
            "6b1ab7fe4bd7bf8f0b62e6ce61b9d0cd");
  EXPECT_EQ(HexHmac("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data",
                    key),
            "6f630fad67cda0ee1fb1f562db3aa53e");
  // A 64-byte key is used as it stands, a 65-byte one is hashed: different results.
  EXPECT_NE(HexHmac("x", std::string(64, 'k')), HexHmac("x", std::string(65, 'k')));
}

TEST(Md5, HmacAgreesWithOpenSslForEveryKeyLengthAroundTheBlockSize) {
  for (size_t keyLength = 0; keyLength <= 130; ++keyLength) {
    std::string key(keyLength, '\0');
    for (size_t i = 0; i < keyLength; ++i) key[i] = static_cast<char>(i * 7 + 3);
    const std::string data(keyLength * 3 + 1, static_cast<char>(keyLength));
    unsigned char expected[EVP_MAX_MD_SIZE];
    size_t expectedLength = 0;
    ASSERT_NE(EVP_Q_mac(nullptr, "HMAC", nullptr, "MD5", nullptr, key.data(), key.size(),
                        reinterpret_cast<const unsigned char*>(data.data()), data.size(),
                        expected, sizeof expected, &expectedLength),
              nullptr);
    ASSERT_EQ(expectedLength, 16u);
    EXPECT_EQ(HexHmac(data, key), CZRKMD5::ToHex(expected)) << "key length " << keyLength;
  }
}

TEST(Md5, CramMd5ExampleOfRfc2195) {
  EXPECT_EQ(HexHmac("<1896.697170952@postoffice.reston.mci.net>", "tanstaaftanstaaf"),
            "b913a602c7eda7a495b4e6e7334d3890");
}

TEST(Md5, ToHexCase) {
  const uint8_t digest[16] = {0x00, 0x1a, 0xff, 0x10, 0xab, 0xcd, 0xef, 0x01,
                              0x23, 0x45, 0x67, 0x89, 0x9a, 0xbc, 0xde, 0xf0};
  EXPECT_EQ(CZRKMD5::ToHex(digest), "001aff10abcdef0123456789" "9abcdef0");
  EXPECT_EQ(CZRKMD5::ToHex(digest, true), "001AFF10ABCDEF0123456789" "9ABCDEF0");
}

}  // namespace
