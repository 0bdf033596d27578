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
      {"50% RH", "ORVKM7CFmode_50%25 RH"},
      {"Lab%3D2", "ORVKM7CFmode_Lab%253D2"},  // not the same as "Lab=2"
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
  // A name is never read as a format; its "%" is escaped like the rest.
  EXPECT_NE(EscapedNameNoticeOnce("%s=%s").find("\"%s=%s\" are stored under \"%25s%3D%25s\""),
            std::string::npos);
  // "%" alone is no reason to tell: the name is refused for nothing.
  EXPECT_EQ(EscapedNameNoticeOnce("50% RH"), "");
}

// The refusal and the notice give the same reason for the same character.
TEST(RenameRules, RefusalAndNoticeAgree) {
  const std::string refusal = RenameRefusal("Cellar=1");
  const std::string notice = EscapedNameNoticeOnce("Cellar=1");
  const std::string reason = "\"=\", which the settings file cannot hold in a setting's name";
  EXPECT_NE(refusal.find(reason), std::string::npos) << refusal;
  EXPECT_NE(notice.find(reason), std::string::npos) << notice;
  EXPECT_EQ(refusal.find("could not store"), std::string::npos) << refusal;
}

// Names written before "%" was escaped: found again where only one name can
// have written them.
TEST(RenameRules, NamesBeforePercentWasEscaped) {
  const struct {
    const char* name;
    const char* before;  // empty: none, or not this name's alone
  } cases[] = {
      {"ORVKM7CFmode_Lab", ""},
      {"ORVKM7CFmode_Lab%3D2", ""},             // "Lab=2": "%" was never in it
      {"ORVKM7CFmode_50%25 RH", "ORVKM7CFmode_50% RH"},
      {"ORVKM7CFmode_100%25", "ORVKM7CFmode_100%"},
      {"ORVKM7CFmode_%25zz", "ORVKM7CFmode_%zz"},  // no escape after it
      {"ORVKM7CFmode_x%253d", ""},              // "x=" writes "x%3D", the same name in any case
      {"ORVKM7CFmode_Lab%253D2", ""},           // "Lab=2" wrote "Lab%3D2" as well
      {"ORVKM7CFmode_A%2525", ""},              // "A%25" then is "A%" now
      {"ORVKM7CFmode_T%2509", ""},              // "T%09" then may have been "T<tab>"
  };
  for (const auto& c : cases) EXPECT_EQ(ProfileStore::NameBeforePercentEscape(c.name), c.before) << c.name;
}

}  // namespace
}  // namespace km7
