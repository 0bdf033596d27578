#include "platform/DataProtection.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "platform/TempDir.h"

namespace {

using km7::DataProtector;
using km7::SecretBytes;
using km7::test::Mode;
using km7::test::ReadFile;
using km7::test::ScopedEnv;
using km7::test::TempDir;
using km7::test::WriteFile;

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }
std::string Text(const SecretBytes& b) {
  return std::string(reinterpret_cast<const char*>(b.Data()), b.Size());
}

class DataProtectionTest : public ::testing::Test {
 protected:
  std::string KeyPath() const { return dir_ / "share/km7/protect.key"; }
  DataProtector Me() const { return DataProtector(KeyPath(), "0123456789abcdef", 1000); }

  TempDir dir_;
};

TEST_F(DataProtectionTest, RoundTripWithFreshNonceEachTime) {
  const std::vector<unsigned char> data = Bytes("account password");
  std::vector<unsigned char> a, b;
  ASSERT_TRUE(Me().Protect(data.data(), data.size(), a));
  ASSERT_TRUE(Me().Protect(data.data(), data.size(), b));
  ASSERT_EQ(a.size(), DataProtector::kOverhead + data.size());
  EXPECT_EQ(std::memcmp(a.data(), "KM7P\x01", 5), 0);
  EXPECT_NE(a, b);
  EXPECT_EQ(std::search(a.begin(), a.end(), data.begin(), data.end()), a.end());

  SecretBytes plain;
  ASSERT_TRUE(Me().Unprotect(a.data(), a.size(), plain));
  EXPECT_EQ(Text(plain), "account password");
  ASSERT_TRUE(Me().Unprotect(b.data(), b.size(), plain));
  EXPECT_EQ(Text(plain), "account password");

  std::vector<unsigned char> empty;
  ASSERT_TRUE(Me().Protect(nullptr, 0, empty));
  ASSERT_TRUE(Me().Unprotect(empty.data(), empty.size(), plain));
  EXPECT_EQ(plain.Size(), 0u);
}

TEST_F(DataProtectionTest, KeyIsMadeOnceWithPrivateModes) {
  const std::vector<unsigned char> data = Bytes("x");
  std::vector<unsigned char> blob;
  ASSERT_TRUE(Me().Protect(data.data(), data.size(), blob));
  EXPECT_EQ(Mode(KeyPath()), 0600u);
  EXPECT_EQ(Mode(dir_ / "share/km7"), 0700u);
  const std::string key = ReadFile(KeyPath());
  EXPECT_EQ(key.size(), 32u);
  ASSERT_TRUE(Me().Protect(data.data(), data.size(), blob));
  EXPECT_EQ(ReadFile(KeyPath()), key);
}

TEST_F(DataProtectionTest, OtherUserMachineOrKeyCannotOpen) {
  const std::vector<unsigned char> data = Bytes("secret");
  std::vector<unsigned char> blob;
  ASSERT_TRUE(Me().Protect(data.data(), data.size(), blob));
  DataProtector otherKey(dir_ / "other/protect.key", "0123456789abcdef", 1000);
  std::vector<unsigned char> ignored;
  ASSERT_TRUE(otherKey.Protect(data.data(), data.size(), ignored));

  SecretBytes plain;
  EXPECT_FALSE(otherKey.Unprotect(blob.data(), blob.size(), plain));
  EXPECT_FALSE(DataProtector(KeyPath(), "0123456789abcdef", 1001).Unprotect(blob.data(), blob.size(), plain));
  EXPECT_FALSE(DataProtector(KeyPath(), "fedcba9876543210", 1000).Unprotect(blob.data(), blob.size(), plain));
  EXPECT_EQ(plain.Size(), 0u);
}

TEST_F(DataProtectionTest, AnyDamageFailsAndLeavesTheOutputAlone) {
  const std::vector<unsigned char> data = Bytes("secret");
  std::vector<unsigned char> blob;
  ASSERT_TRUE(Me().Protect(data.data(), data.size(), blob));
  SecretBytes plain;
  ASSERT_TRUE(Me().Unprotect(blob.data(), blob.size(), plain));
  for (std::size_t i = 0; i < blob.size(); ++i) {
    std::vector<unsigned char> bad = blob;
    bad[i] ^= 0x01;
    EXPECT_FALSE(Me().Unprotect(bad.data(), bad.size(), plain)) << i;
  }
  for (std::size_t n = 0; n < blob.size(); ++n)
    EXPECT_FALSE(Me().Unprotect(blob.data(), n, plain)) << n;
  std::vector<unsigned char> longer = blob;
  longer.push_back(0);
  EXPECT_FALSE(Me().Unprotect(longer.data(), longer.size(), plain));
  EXPECT_FALSE(Me().Unprotect(nullptr, 0, plain));
  EXPECT_EQ(Text(plain), "secret");
}

TEST_F(DataProtectionTest, UnusableKeyFailsAndIsNeverReplaced) {
  const std::vector<unsigned char> data = Bytes("secret");
  std::vector<unsigned char> blob;
  ASSERT_TRUE(Me().Protect(data.data(), data.size(), blob));
  const std::string key = ReadFile(KeyPath());
  SecretBytes plain;

  ASSERT_EQ(chmod(KeyPath().c_str(), 0640), 0);  // others may have read it
  EXPECT_FALSE(Me().Unprotect(blob.data(), blob.size(), plain));
  EXPECT_FALSE(Me().Protect(data.data(), data.size(), blob));
  ASSERT_EQ(chmod(KeyPath().c_str(), 0600), 0);

  WriteFile(KeyPath(), key.substr(0, 31));  // damaged
  EXPECT_FALSE(Me().Unprotect(blob.data(), blob.size(), plain));
  EXPECT_FALSE(Me().Protect(data.data(), data.size(), blob));
  EXPECT_EQ(ReadFile(KeyPath()).size(), 31u);

  ASSERT_EQ(unlink(KeyPath().c_str()), 0);  // missing: reading makes none
  EXPECT_FALSE(Me().Unprotect(blob.data(), blob.size(), plain));
  EXPECT_NE(access(KeyPath().c_str(), F_OK), 0);
  EXPECT_EQ(plain.Size(), 0u);

  EXPECT_FALSE(DataProtector(KeyPath(), "", 1000).Protect(data.data(), data.size(), blob));
}

TEST_F(DataProtectionTest, CurrentUserKeyFollowsTheDataFolder) {
  {
    ScopedEnv data("XDG_DATA_HOME", (dir_ / "xdg").c_str());
    EXPECT_EQ(DataProtector::DefaultKeyPath(), dir_ / "xdg/km7/protect.key");
  }
  ScopedEnv home("HOME", dir_.Path().c_str());
  ScopedEnv data("XDG_DATA_HOME", nullptr);
  EXPECT_EQ(DataProtector::DefaultKeyPath(), dir_ / ".local/share/km7/protect.key");
  const std::vector<unsigned char> bytes = Bytes("me");
  std::vector<unsigned char> blob;
  if (!DataProtector().Protect(bytes.data(), bytes.size(), blob))
    GTEST_SKIP() << "this machine has no machine id";
  EXPECT_EQ(Mode(dir_ / ".local/share/km7/protect.key"), 0600u);
  SecretBytes plain;
  ASSERT_TRUE(DataProtector().Unprotect(blob.data(), blob.size(), plain));
  EXPECT_EQ(Text(plain), "me");
}

}  // namespace
