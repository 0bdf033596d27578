// Which names a rename refuses, and what the settings store makes of a name
// it cannot hold as it is.
#include <gtest/gtest.h>

#include <string>

#include "devices/Rename.h"
#include "settings/ProfileStore.h"

namespace km7 {
namespace {

TEST(RenameRules, RefusedNamesAndTheCharacterNamed) {
  struct Case {
    std::string name;
    std::string character;  // named in the message; empty: none
    bool refused;
  };
  const Case cases[] = {
      {"Lab", "", false},
      {"R&D \"Lab\" <1>", "", false},
      {" Lab ", "", false},
      {"50% RH; [north]", "", false},
      {"Lab=2", "\"=\"", true},
      {"=", "\"=\"", true},
      {std::string("Lab\t2"), "the control character 0x09", true},
      {std::string("Lab\n"), "the control character 0x0A", true},
      {std::string("A\x1F" "B"), "the control character 0x1F", true},
      {std::string("A\x7F"), "the control character 0x7F", true},
      {std::string("L\0b", 3), "the control character 0x00", true},
      {"\xB0" "C room", "", false},  // Windows-1252 text is fine
      {"  ", "", true},              // blanks only
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BadNameCharacter(c.name), c.character) << c.name;
    const std::string refusal = RenameRefusal(c.name);
    EXPECT_EQ(!refusal.empty(), c.refused) << c.name;
    if (!c.character.empty()) {
      EXPECT_NE(refusal.find(c.character), std::string::npos) << refusal;
    }
  }
}

TEST(RenameRules, SettingNamesEscapeWhatTheFileCannotHold) {
  struct Case {
    const char* suffix;
    const char* name;
  };
  const Case cases[] = {
      {"Lab", "ORVKM7CFmode_Lab"},
      {"Lab=2", "ORVKM7CFmode_Lab%3D2"},
      {"a\tb\r\n", "ORVKM7CFmode_a%09b%0D%0A"},
      {"50% RH", "ORVKM7CFmode_50% RH"},  // unchanged: names stored before stay found
      {"R&D \"Lab\" <1>", "ORVKM7CFmode_R&D \"Lab\" <1>"},
  };
  for (const Case& c : cases) EXPECT_EQ(ProfileStore::ValueName("ORVKM7CFmode_%s", c.suffix), c.name) << c.suffix;
}

TEST(RenameRules, TheEscapedNameIsToldOncePerName) {
  const std::string first = EscapedNameNoticeOnce("Hall=1");
  EXPECT_NE(first.find("\"Hall%3D1\""), std::string::npos) << first;
  EXPECT_EQ(EscapedNameNoticeOnce("Hall=1"), "");
  EXPECT_NE(EscapedNameNoticeOnce("Hall=2"), "");
  EXPECT_EQ(EscapedNameNoticeOnce("Hall"), "");
  // A name is never read as a format.
  EXPECT_NE(EscapedNameNoticeOnce("%s=%s").find("\"%s=%s\" are stored under \"%s%3D%s\""), std::string::npos);
}

}  // namespace
}  // namespace km7
