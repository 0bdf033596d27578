// Sensor names in setting names, against a real settings file: names that
// once shared one setting get their own, and settings written before "%" was
// escaped are still found where only one name can have written them.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/TempDir.h"
#include "settings/ProfileStore.h"
#include "settings/ProfileStoreFixture.h"

namespace {

using km7::test::ReadFile;
using km7::test::WriteFile;
namespace profile = km7::profile;

class SettingNamesTest : public km7::test::ProfileStoreTest {
 protected:
  void Given(const std::string& lines) { WriteFile(IniPath(), "[MyORVKM7Ap]\r\n" + lines); }
};

TEST_F(SettingNamesTest, AnEscapedLookingNameHasSettingsOfItsOwn) {
  ProfileStore store = Store();
  ASSERT_TRUE(store.WriteText(profile::ServerName, "Lab=2", "mail.two.example"));
  ASSERT_TRUE(store.WriteText(profile::ServerName, "Lab%3D2", "mail.percent.example"));
  EXPECT_EQ(store.ReadText(profile::ServerName, "Lab=2"), "mail.two.example");
  EXPECT_EQ(store.ReadText(profile::ServerName, "Lab%3D2"), "mail.percent.example");
  EXPECT_EQ(ReadFile(IniPath()),
            "[MyORVKM7Ap]\r\nORVKM7ServerName_Lab%3D2=mail.two.example\r\n"
            "ORVKM7ServerName_Lab%253D2=mail.percent.example\r\n");
}

TEST_F(SettingNamesTest, SettingsWrittenBeforePercentWasEscaped) {
  Given("ORVKM7CFmode_50% RH=0\r\nORVKM7ServerName_50% RH=mail.old.example\r\n"
        "ORVKM7CFmode_Lab%3D2=0\r\n");
  ProfileStore store = Store();
  // Only "50% RH" can have written these: found, and its account as well.
  EXPECT_EQ(store.ReadInt(profile::CFmode, "50% RH"), 0);
  EXPECT_EQ(store.ReadText(profile::ServerName, "50% RH"), "mail.old.example");
  // "Lab%3D2=0" may be "Lab=2"'s (whose name it still is) or "Lab%3D2"'s:
  // it stays with the name that writes it now; the other starts afresh.
  EXPECT_EQ(store.ReadInt(profile::CFmode, "Lab=2"), 0);
  EXPECT_EQ(store.ReadInt(profile::CFmode, "Lab%3D2"), profile::CFmode.defaultInt);
  // Written again: under the name of today, which from then on is the one read.
  ASSERT_TRUE(store.WriteInt(profile::CFmode, "50% RH", 1));
  EXPECT_EQ(store.ReadInt(profile::CFmode, "50% RH"), 1);
  EXPECT_NE(ReadFile(IniPath()).find("ORVKM7CFmode_50%25 RH=1\r\n"), std::string::npos) << ReadFile(IniPath());
  EXPECT_EQ(store.ReadText(profile::ServerName, "50% RH"), "mail.old.example");
}

// Every name of up to three characters from those that matter: no two names
// share a setting, and a name written before "%" was escaped is only ever
// read for the one name that can have written it, whatever the case.
TEST(SettingNames, NoTwoSensorsShareASettingOldOrNew) {
  const std::string alphabet = {'%', '=', '2', '3', '5', 'D', 'd', '\t', 'x'};
  std::vector<std::string> names = {""};
  for (std::size_t length = 0, from = 0; length < 3; ++length) {
    const std::size_t to = names.size();
    for (std::size_t i = from; i < to; ++i)
      for (char c : alphabet) names.push_back(names[i] + c);
    from = to;
  }
  auto folded = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  };
  // How names were written before: only "=" and control characters escaped.
  auto written_before = [](const std::string& suffix) {
    std::string out;
    for (char c : suffix) {
      if (!ProfileStore::CannotHoldInName(c)) {
        out += c;
        continue;
      }
      static const char kHex[] = "0123456789ABCDEF";
      const auto u = static_cast<unsigned char>(c);
      out += {'%', kHex[u >> 4], kHex[u & 0xF]};
    }
    return out;
  };
  // A setting name, folded, and the sensor names (folded) that write it.
  std::map<std::string, std::set<std::string>> now, before;
  for (const std::string& n : names) {
    now[folded(ProfileStore::EscapedSuffix(n))].insert(folded(n));
    before[folded(written_before(n))].insert(folded(n));
  }
  // Names that differ only in case share one, as the file has always had it;
  // no others do.
  for (const auto& [setting, owners] : now) EXPECT_EQ(owners.size(), 1u) << setting;
  for (const std::string& n : names) {
    const std::string old = ProfileStore::NameBeforePercentEscape(ProfileStore::EscapedSuffix(n));
    if (old.empty()) continue;
    EXPECT_EQ(old, written_before(n)) << n;
    // Found again only where it was this name's alone, and is nobody's now.
    EXPECT_EQ(before[folded(old)], std::set<std::string>{folded(n)}) << n;
    EXPECT_EQ(now.count(folded(old)), 0u) << n << " would read " << old << ", another name's setting";
  }
}

}  // namespace
