// Wiping secrets: every byte the text ever held is zero afterwards, also the
// ones past the end of a text that shrank.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/SecureWipe.h"

TEST(SecureWipe, TextIsEmptiedAndItsWholeBufferZeroed) {
  struct Case {
    const char* name;
    std::string text;
    size_t shrinkTo;  // the secret shrinks before the wipe
  };
  const std::vector<Case> cases = {
      {"short (in-place buffer)", "hunter2", 7},
      {"long", std::string(300, 'p'), 300},
      {"shrunk", std::string(200, 's'), 3},
      {"empty", "", 0},
  };
  for (Case c : cases) {
    std::string secret = c.text;
    secret.resize(c.shrinkTo);
    const size_t capacity = secret.capacity();
    const char* buffer = secret.data();
    km7::Wipe(secret);
    EXPECT_TRUE(secret.empty()) << c.name;
    // Still the same buffer: growing back into it shows what it holds now.
    secret.resize(capacity);
    EXPECT_EQ(secret.data(), buffer) << c.name;
    EXPECT_EQ(secret, std::string(capacity, '\0')) << c.name;
  }
}

TEST(SecureWipe, BytesAndRawMemory) {
  std::vector<unsigned char> key(32, 0xAB);
  const unsigned char* data = key.data();
  km7::Wipe(key);
  EXPECT_TRUE(key.empty());
  key.resize(32);  // same allocation, value-initialised either way
  EXPECT_EQ(key.data(), data);

  unsigned char raw[16];
  for (auto& b : raw) b = 0x5A;
  km7::SecureZero(raw + 4, 8);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(raw[i], (i >= 4 && i < 12) ? 0 : 0x5A) << i;
  km7::SecureZero(nullptr, 10);  // nothing to do, no crash
}
