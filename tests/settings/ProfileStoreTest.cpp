#include "settings/ProfileStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <climits>
#include <cctype>
#include <cstdlib>
#include <set>

#include "platform/TempDir.h"
#include "settings/ProfileStoreFixture.h"
#include "platform/TextFileWriter.h"
#include "platform/Reporter.h"

namespace {

using km7::test::ProfileStoreTest;
using km7::test::ReadFile;
using km7::test::ScopedEnv;
using km7::test::WriteFile;
namespace profile = km7::profile;

TEST_F(ProfileStoreTest, EveryDefaultWithNoFile) {
  ProfileStore store = Store();
  for (const profile::Value* v : profile::kAllValues) {
    SCOPED_TRACE(v->pattern);
    switch (v->kind) {
      case profile::Kind::Integer:
        EXPECT_EQ(store.ReadInt(*v, "Lab"), v->defaultInt);
        break;
      case profile::Kind::Text: {
        std::string expected = v->defaultText;
        while (!expected.empty() && expected.back() == ' ') expected.pop_back();
        EXPECT_EQ(store.ReadText(*v, "Lab"), expected);
        if (v->dispatchDefault != nullptr) {
          EXPECT_EQ(store.ReadText(ProfileStore::ValueName(v->pattern, "Lab"), v->dispatchDefault),
                    v->dispatchDefault);
        }
        break;
      }
      case profile::Kind::Binary: {
        EXPECT_FALSE(store.ReadBinary(ProfileStore::ValueName(v->pattern, "Lab")));
        std::string text = "before";
        EXPECT_FALSE(store.ReadProtectedText(ProfileStore::ValueName(v->pattern, "Lab"), text));
        EXPECT_EQ(text, "before");
        break;
      }
    }
  }
  // The defaults a fresh install starts with.
  EXPECT_EQ(store.ReadInt(profile::CFmode, profile::kFixedSuffix), 1);  // Celsius
  EXPECT_EQ(store.ReadInt(profile::Logging, profile::kFixedSuffix), 0);
  EXPECT_EQ(store.ReadInt(profile::LoggingInterval, "Lab"), 1);
  EXPECT_EQ(store.ReadInt(profile::ChartTimeScale, profile::kFixedSuffix), 0);
  EXPECT_EQ(store.ReadInt(profile::ChartTempScale, profile::kFixedSuffix), 0);
  EXPECT_EQ(store.ReadInt(profile::ChartDewPoint, profile::kFixedSuffix), 0);
  EXPECT_EQ(store.ReadInt(profile::PortNumber, "Lab"), 25);
  EXPECT_EQ(store.ReadInt(profile::Authenticate, "Lab"), 0);
  EXPECT_EQ(store.ReadText(profile::Device, profile::kFixedSuffix), "NoDevicePresent");
  EXPECT_EQ(std::atof(store.ReadText(profile::EmailTempAboveTemp, "Lab").c_str()), 0.0);
  // Reading never creates the file.
  EXPECT_NE(access(IniPath().c_str(), F_OK), 0);
}

TEST_F(ProfileStoreTest, TableHoldsEveryNameOnceWithItsSuffixPlaceholder) {
  std::set<std::string> seen;
  for (const profile::Value* v : profile::kAllValues) {
    std::string pattern = v->pattern;
    EXPECT_EQ(pattern.rfind("ORVKM7", 0), 0u) << pattern;
    EXPECT_EQ(pattern.substr(pattern.size() - 3), "_%s") << pattern;
    std::string upper;
    for (char c : pattern) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(seen.insert(upper).second) << pattern;
    EXPECT_EQ(v->kind == profile::Kind::Text, v->defaultText != nullptr) << pattern;
  }
  EXPECT_EQ(seen.size(), 44u);
}

TEST_F(ProfileStoreTest, ValueNameInsertsTheSuffixAsItIs) {
  EXPECT_EQ(ProfileStore::ValueName("ORVKM7LogFilePath_%s", "Lab"), "ORVKM7LogFilePath_Lab");
  EXPECT_EQ(ProfileStore::ValueName(profile::Device.pattern, profile::kFixedSuffix),
            "ORVKM7Device_Computer Room");
  EXPECT_EQ(ProfileStore::ValueName("A_%s", "%s%d%n"), "A_%25s%25d%25n");
  EXPECT_EQ(ProfileStore::ValueName("100%%_%s", "x"), "100%_x");
}

TEST_F(ProfileStoreTest, NamesMatchWithoutRegardToCase) {
  ProfileStore store = Store();
  ASSERT_TRUE(store.WriteText(ProfileStore::ValueName("ORVKM7EmailTempCC_%s", "Lab"), "a@x, b@y"));
  EXPECT_EQ(store.ReadText(ProfileStore::ValueName("ORVKM7EmailTempCc_%s", "Lab"), "default"),
            "a@x, b@y");
  // A second write in another spelling replaces the one value.
  ASSERT_TRUE(store.WriteText("orvkm7emailtempcc_LAB", "c@z"));
  EXPECT_EQ(store.ReadText("ORVKM7EmailTempCC_Lab", "default"), "c@z");
  std::string file = ReadFile(IniPath());
  EXPECT_EQ(file.find("a@x"), std::string::npos);
  // Windows-1252 letters fold too: 0xE9 is the small letter of 0xC9.
  ASSERT_TRUE(store.WriteInt("ORVKM7CFmode_Caf\xE9", 0));
  EXPECT_EQ(store.ReadInt("ORVKM7CFMODE_CAF\xC9", 1), 0);
}

TEST_F(ProfileStoreTest, DefaultsLoseTrailingBlanksAndReadsStopAt4095) {
  ProfileStore store = Store();
  EXPECT_EQ(store.ReadText(profile::LogFilePath, "Lab"), "");
  EXPECT_EQ(store.ReadText("X_Lab", "  lead kept, tail cut  "), "  lead kept, tail cut");

  std::string big(5000, 'x');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 26);
  EXPECT_EQ(store.ReadText("X_Lab", big), big.substr(0, 4095));
  ASSERT_TRUE(store.WriteText("ORVKM7EmailTempBodyL2_Lab", big));
  EXPECT_EQ(store.ReadText("ORVKM7EmailTempBodyL2_Lab", ""), big.substr(0, 4095));
}

TEST_F(ProfileStoreTest, AwkwardValuesReadBackExactly) {
  ProfileStore store = Store();
  const std::string values[] = {
      "   three leading blanks",
      "trailing blanks   ",
      " ",
      "\t tab and blank",
      "\"quoted\"",
      "'single'",
      "\"unbalanced",
      "a=b=c",
      "=starts with equals",
      "line one\r\nline two\nline three\r",
      "\n",
      "back\\slash\\n not a line break",
      "C:\\new\\readings.txt",
      std::string("nul\0inside", 10),
      "; not a comment",
      "[not a section]",
      "\x80 euro, 22.5\xB0" "C, \xFF",
      "",
  };
  int i = 0;
  for (const std::string& v : values) {
    std::string name = "ORVKM7EmailTempBodyL" + std::to_string(i++) + "_Lab";
    ASSERT_TRUE(store.WriteText(name, v)) << name;
  }
  i = 0;
  for (const std::string& v : values) {
    std::string name = "ORVKM7EmailTempBodyL" + std::to_string(i++) + "_Lab";
    EXPECT_EQ(store.ReadText(name, "default"), v) << name;
  }
  // One value per line, whatever the values held.
  std::string file = ReadFile(IniPath());
  std::size_t lines = 0;
  for (char c : file) lines += c == '\n';
  EXPECT_EQ(lines, 1 + std::size(values));
}

TEST_F(ProfileStoreTest, PlainValuesStayPlainWithCrLfLineEnds) {
  ProfileStore store = Store();
  ASSERT_TRUE(store.WriteInt(ProfileStore::ValueName(profile::CFmode.pattern, "Lab"), 0));
  ASSERT_TRUE(store.WriteText(ProfileStore::ValueName(profile::LogFilePath.pattern, "Lab"),
                              "C:\\logs\\lab data.txt"));
  ASSERT_TRUE(store.WriteInt(ProfileStore::ValueName(profile::PortNumber.pattern, "Lab"), -587));
  EXPECT_EQ(ReadFile(IniPath()),
            "[MyORVKM7Ap]\r\n"
            "ORVKM7CFmode_Lab=0\r\n"
            "ORVKM7LogFilePath_Lab=C:\\logs\\lab data.txt\r\n"
            "ORVKM7PortNumber_Lab=-587\r\n");
}

TEST_F(ProfileStoreTest, FileOfTheOriginalPlatformReadsAndStaysItsForm) {
  const std::string original =
      "[MyORVKM7Ap]\r\n"
      "ORVKM7Device_Computer Room=KM7 Lab\r\n"
      "ORVKM7CFmode_Computer Room=0\r\n"
      "ORVKM7LogFilePath_KM7 Lab=C:\\Data\\lab.txt\r\n"
      "ORVKM7LoggingInterval_KM7 Lab=60\r\n"
      "ORVKM7EmailTempAboveTemp_KM7 Lab=30.000\r\n"
      "ORVKM7EmailTempSubject_KM7 Lab=Too warm in the lab!\r\n"
      "ORVKM7UsernameE_KM7 Lab=MDAAPP\r\n";
  WriteFile(IniPath(), original);
  ProfileStore store = Store();
  EXPECT_EQ(store.ReadText(profile::Device, profile::kFixedSuffix), "KM7 Lab");
  EXPECT_EQ(store.ReadInt(profile::CFmode, profile::kFixedSuffix), 0);
  EXPECT_EQ(store.ReadText(profile::LogFilePath, "KM7 Lab"), "C:\\Data\\lab.txt");
  EXPECT_EQ(store.ReadInt(profile::LoggingInterval, "KM7 Lab"), 60);
  EXPECT_EQ(std::atof(store.ReadText(profile::EmailTempAboveTemp, "KM7 Lab").c_str()), 30.0);
  EXPECT_EQ(store.ReadBinary("ORVKM7UsernameE_KM7 Lab"),
            (std::vector<unsigned char>{0x3C, 0x00, 0xFF}));

  ASSERT_TRUE(store.WriteInt(profile::LoggingInterval, "KM7 Lab", 5));
  ASSERT_TRUE(store.WriteText(profile::EmailTempTo, "KM7 Lab", "ops@example.org"));
  std::string expected = original;
  expected.replace(expected.find("Interval_KM7 Lab=60"), 19, "Interval_KM7 Lab=5");
  expected += "ORVKM7EmailTempTo_KM7 Lab=ops@example.org\r\n";
  EXPECT_EQ(ReadFile(IniPath()), expected);
}

TEST_F(ProfileStoreTest, RenamedModuleStartsFreshAndOldValuesStay) {
  ProfileStore store = Store();
  ASSERT_TRUE(store.WriteInt(profile::LoggingInterval, "Lab", 30));
  ASSERT_TRUE(store.WriteInt(profile::ChartTempScale, profile::kFixedSuffix, 2));
  EXPECT_EQ(store.ReadInt(profile::LoggingInterval, "Cellar"), 1);
  ASSERT_TRUE(store.WriteInt(profile::LoggingInterval, "Cellar", 10));
  EXPECT_EQ(store.ReadInt(profile::LoggingInterval, "Lab"), 30);
  EXPECT_EQ(store.ReadInt(profile::ChartTempScale, profile::kFixedSuffix), 2);
}

TEST_F(ProfileStoreTest, IntegersReadTheLeadingNumber) {
  const std::pair<const char*, int> cases[] = {
      {"42", 42},          {" 42abc", 42},           {"-7", -7},          {"+8", 8},
      {"abc", 0},          {"--", 0},                {"3.9", 3},          {"2147483647", INT_MAX},
      {"99999999999", INT_MAX}, {"-2147483648", INT_MIN}, {"-99999999999", INT_MIN},
  };
  ProfileStore store = Store();
  for (const auto& [text, number] : cases) {
    ASSERT_TRUE(store.WriteText("ORVKM7PortNumber_Lab", text));
    EXPECT_EQ(store.ReadInt("ORVKM7PortNumber_Lab", 25), number) << text;
  }
  ASSERT_TRUE(store.WriteText("ORVKM7PortNumber_Lab", ""));
  EXPECT_EQ(store.ReadInt("ORVKM7PortNumber_Lab", 25), 25);
  ASSERT_TRUE(store.WriteInt("ORVKM7PortNumber_Lab", INT_MIN));
  EXPECT_EQ(store.ReadInt("ORVKM7PortNumber_Lab", 25), INT_MIN);
}

TEST_F(ProfileStoreTest, LetterPairForm) {
  const unsigned char mixed[] = {0x3C, 0x00, 0xFF, 0xA5};
  EXPECT_EQ(profile::EncodeLetterPairs(mixed, 1), "MD");
  EXPECT_EQ(profile::EncodeLetterPairs(mixed, 4), "MDAAPPFK");
  EXPECT_EQ(profile::DecodeLetterPairs("MDAAPPFK"), std::vector<unsigned char>(mixed, mixed + 4));
  // An odd last letter is dropped; letters outside A..P wrap to 8 bits.
  EXPECT_EQ(profile::DecodeLetterPairs("MDA"), (std::vector<unsigned char>{0x3C}));
  EXPECT_EQ(profile::DecodeLetterPairs("M"), (std::vector<unsigned char>{}));
  EXPECT_EQ(profile::DecodeLetterPairs("aA"), (std::vector<unsigned char>{32}));
  EXPECT_EQ(profile::DecodeLetterPairs("AQ"), (std::vector<unsigned char>{0}));

  ProfileStore store = Store();
  std::vector<unsigned char> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<unsigned char>(i);
  ASSERT_TRUE(store.WriteBinary("ORVKM7PasswordE_Lab", all.data(), all.size()));
  EXPECT_EQ(store.ReadBinary("ORVKM7PasswordE_Lab"), all);
  ASSERT_TRUE(store.WriteText("ORVKM7UsernameE_Lab", "MDA"));
  EXPECT_EQ(store.ReadBinary("ORVKM7UsernameE_Lab"), (std::vector<unsigned char>{0x3C}));
  ASSERT_TRUE(store.WriteBinary("ORVKM7UsernameE_Lab", all.data(), 0));
  EXPECT_FALSE(store.ReadBinary("ORVKM7UsernameE_Lab"));  // empty counts as missing
}

TEST_F(ProfileStoreTest, ProtectedTextRoundTripsAndHidesTheText) {
  ProfileStore store = Store();
  const std::string secret = "s3cr\xE9t \x80uro \xB0 \"quoted\" ";
  ASSERT_TRUE(store.WriteProtectedText("ORVKM7PasswordE_Lab", secret));
  std::string stored = store.ReadText("ORVKM7PasswordE_Lab", "");
  EXPECT_EQ(stored.find_first_not_of("ABCDEFGHIJKLMNOP"), std::string::npos);
  // UTF-16 with its terminator, sealed: 2 * (overhead + 2 * (length + 1)).
  EXPECT_EQ(stored.size(), 2 * (km7::DataProtector::kOverhead + 2 * (secret.size() + 1)));
  EXPECT_EQ(ReadFile(IniPath()).find("s3cr"), std::string::npos);

  std::string read = "old";
  EXPECT_TRUE(store.ReadProtectedText("orvkm7passworde_lab", read));
  EXPECT_EQ(read, secret);

  // What is sealed is the UTF-16LE text with its terminating zero.
  ASSERT_TRUE(store.WriteProtectedText("ORVKM7UsernameE_Lab", "A\x80\xB0"));
  std::optional<std::vector<unsigned char>> blob = store.ReadBinary("ORVKM7UsernameE_Lab");
  ASSERT_TRUE(blob);
  km7::SecretBytes plain;
  ASSERT_TRUE(Me().Unprotect(blob->data(), blob->size(), plain));
  EXPECT_EQ(std::vector<unsigned char>(plain.Data(), plain.Data() + plain.Size()),
            (std::vector<unsigned char>{'A', 0, 0xAC, 0x20, 0xB0, 0, 0, 0}));

  std::string everyByte;
  for (int i = 1; i < 256; ++i) everyByte += static_cast<char>(i);
  ASSERT_TRUE(store.WriteProtectedText("ORVKM7UsernameE_Lab", everyByte));
  EXPECT_TRUE(store.ReadProtectedText("ORVKM7UsernameE_Lab", read));
  EXPECT_EQ(read, everyByte);

  ASSERT_TRUE(store.WriteProtectedText("ORVKM7UsernameE_Lab", ""));
  read = "old";
  EXPECT_TRUE(store.ReadProtectedText("ORVKM7UsernameE_Lab", read));
  EXPECT_EQ(read, "");
}

TEST_F(ProfileStoreTest, ProtectedTextOfAnotherUserOrDamagedLeavesTheCallersText) {
  ProfileStore store = Store();
  ASSERT_TRUE(store.WriteProtectedText("ORVKM7UsernameE_Lab", "alice"));

  ProfileStore otherUser(IniPath(), km7::DataProtector(dir_ / "keys/other.key", "machine-1", 1001));
  ASSERT_TRUE(otherUser.WriteProtectedText("ORVKM7UsernameE_Other", "bob"));  // has a key of its own
  std::string text = "unchanged";
  EXPECT_FALSE(otherUser.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_EQ(text, "unchanged");
  // The same key file copied to another account or machine does not help.
  ProfileStore sameKeyOtherUid(IniPath(), km7::DataProtector(dir_ / "keys/me.key", "machine-1", 1001));
  EXPECT_FALSE(sameKeyOtherUid.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  ProfileStore otherMachine(IniPath(), km7::DataProtector(dir_ / "keys/me.key", "machine-2", 1000));
  EXPECT_FALSE(otherMachine.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_EQ(text, "unchanged");

  // One letter changed anywhere in the stored form.
  const std::string good = store.ReadText("ORVKM7UsernameE_Lab", "");
  for (std::size_t pos : {std::size_t(0), std::size_t(9), good.size() / 2, good.size() - 1}) {
    std::string bad = good;
    bad[pos] = bad[pos] == 'A' ? 'B' : 'A';
    ASSERT_TRUE(store.WriteText("ORVKM7UsernameE_Lab", bad));
    EXPECT_FALSE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text)) << pos;
    EXPECT_EQ(text, "unchanged");
  }
  ASSERT_TRUE(store.WriteText("ORVKM7UsernameE_Lab", good.substr(0, good.size() - 2)));
  EXPECT_FALSE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  ASSERT_TRUE(store.WriteText("ORVKM7UsernameE_Lab", "not letters at all"));
  EXPECT_FALSE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_EQ(text, "unchanged");

  // A missing key: reading fails and makes no new key.
  ASSERT_TRUE(store.WriteText("ORVKM7UsernameE_Lab", good));
  ASSERT_EQ(unlink((dir_ / "keys/me.key").c_str()), 0);
  EXPECT_FALSE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_EQ(text, "unchanged");
  EXPECT_NE(access((dir_ / "keys/me.key").c_str(), F_OK), 0);
}

TEST_F(ProfileStoreTest, FailedProtectionWritesNothing) {
  ProfileStore store = Store();
  ASSERT_TRUE(store.WriteProtectedText("ORVKM7PasswordE_Lab", "first"));
  const std::string before = ReadFile(IniPath());
  // A key others can read is not used.
  ASSERT_EQ(chmod((dir_ / "keys/me.key").c_str(), 0644), 0);
  EXPECT_FALSE(store.WriteProtectedText("ORVKM7PasswordE_Lab", "second"));
  EXPECT_EQ(ReadFile(IniPath()), before);
  ASSERT_EQ(chmod((dir_ / "keys/me.key").c_str(), 0600), 0);

  // A text whose stored form would be cut by a read is refused.
  EXPECT_FALSE(store.WriteProtectedText("ORVKM7PasswordE_Lab", std::string(1007, 'p')));
  EXPECT_EQ(ReadFile(IniPath()), before);
  std::string text;
  EXPECT_TRUE(store.ReadProtectedText("ORVKM7PasswordE_Lab", text));
  EXPECT_EQ(text, "first");
  // The longest one that fits still comes back whole.
  const std::string longest(1006, 'q');
  ASSERT_TRUE(store.WriteProtectedText("ORVKM7PasswordE_Lab", longest));
  EXPECT_TRUE(store.ReadProtectedText("ORVKM7PasswordE_Lab", text));
  EXPECT_EQ(text, longest);
}

TEST_F(ProfileStoreTest, RefusedWriteKeepsTheOldValue) {
  ProfileStore store = Store();
  ASSERT_TRUE(store.WriteText(profile::ServerName.pattern, "mail.old.example"));
  // Read-only file: no write bit at all (checked by the store itself, so
  // this holds for root as well).
  ASSERT_EQ(chmod(IniPath().c_str(), 0444), 0);
  EXPECT_FALSE(store.WriteText(profile::ServerName.pattern, "mail.new.example"));
  EXPECT_EQ(store.ReadText(profile::ServerName.pattern, ""), "mail.old.example");
  ASSERT_EQ(chmod(IniPath().c_str(), 0644), 0);
  // Names the file cannot hold are refused rather than written wrongly.
  EXPECT_FALSE(store.WriteInt("ORVKM7CFmode_A=B", 0));
  EXPECT_EQ(store.ReadInt("ORVKM7CFmode_A=B", 1), 1);
  EXPECT_EQ(ReadFile(IniPath()), "[MyORVKM7Ap]\r\nORVKM7ServerName_%s=mail.old.example\r\n");
  // A sensor named so gets its settings all the same, under an escaped name.
  EXPECT_TRUE(store.WriteInt(profile::CFmode, "A=B", 0));
  EXPECT_EQ(store.ReadInt(profile::CFmode, "A=B"), 0);
  EXPECT_EQ(ReadFile(IniPath()),
            "[MyORVKM7Ap]\r\nORVKM7ServerName_%s=mail.old.example\r\nORVKM7CFmode_A%3DB=0\r\n");
}

TEST_F(ProfileStoreTest, DefaultFileLivesInTheConfigFolder) {
  {
    ScopedEnv config("XDG_CONFIG_HOME", (dir_ / "cfg").c_str());
    EXPECT_EQ(ProfileStore::DefaultFilePath(), dir_ / "cfg/km7.INI");
    ProfileStore store;
    ASSERT_TRUE(store.WriteInt(profile::CFmode, profile::kFixedSuffix, 0));  // makes the folder
    EXPECT_EQ(ProfileStore(dir_ / "cfg/km7.INI").ReadInt(profile::CFmode, profile::kFixedSuffix), 0);
  }
  ScopedEnv home("HOME", dir_.Path().c_str());
  {
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(ProfileStore::DefaultFilePath(), dir_ / ".config/km7.INI");
  }
  ScopedEnv relative("XDG_CONFIG_HOME", "relative/ignored");
  EXPECT_EQ(ProfileStore::DefaultFilePath(), dir_ / ".config/km7.INI");
}

TEST_F(ProfileStoreTest, DefaultProtectionKeepsItsKeyInTheDataFolder) {
  ScopedEnv data("XDG_DATA_HOME", (dir_ / "data").c_str());
  ProfileStore store(IniPath());
  if (!store.WriteProtectedText("ORVKM7UsernameE_Lab", "me@example.org"))
    GTEST_SKIP() << "this machine has no machine id";
  EXPECT_EQ(km7::test::Mode(dir_ / "data/km7/protect.key"), 0600u);
  EXPECT_EQ(km7::test::Mode(dir_ / "data/km7"), 0700u);
  std::string text;
  EXPECT_TRUE(store.ReadProtectedText("ORVKM7UsernameE_Lab", text));
  EXPECT_EQ(text, "me@example.org");
}

}  // namespace
