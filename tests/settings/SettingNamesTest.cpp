// Sensor names in setting names, against a real settings file: names that
// once shared one setting get their own, and settings written before "%" was
// escaped are still found where only one name can have written them.
#include <gtest/gtest.h>

#include <string>

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

}  // namespace
