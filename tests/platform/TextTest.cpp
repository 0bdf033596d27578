#include <gtest/gtest.h>

#include "platform/Text.h"

using km7::Cp1252ToUtf8;
using km7::Utf8ToCp1252;

TEST(Text, DegreeSignAndEuroConvertBothWays) {
  EXPECT_EQ(Cp1252ToUtf8("22.5\xB0" "C"), "22.5\xC2\xB0" "C");
  EXPECT_EQ(Cp1252ToUtf8("\x80"), "\xE2\x82\xAC");
  EXPECT_EQ(Utf8ToCp1252("\xE2\x82\xAC 5\xC2\xB0"), "\x80 5\xB0");
}

TEST(Text, EveryByteRoundTrips) {
  std::string all;
  for (int i = 1; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(Utf8ToCp1252(Cp1252ToUtf8(all)), all);
}

TEST(Text, UnmappableAndBrokenUtf8BecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToCp1252("a\xE4\xB8\xAD" "b"), "a?b");      // CJK character
  EXPECT_EQ(Utf8ToCp1252("a\xC3"), "a?");                   // cut sequence
  EXPECT_EQ(Utf8ToCp1252("\xFF" "x"), "?x");                // invalid lead byte
  EXPECT_EQ(Utf8ToCp1252("\xF0\x9F\x98\x80"), "?");          // emoji
}

TEST(Text, ControlCharactersAreShownEscapedAndTheRestKept) {
  EXPECT_EQ(km7::EscapeControls("Lab \xC2\xB0 2\\x"), "Lab \xC2\xB0 2\\x");    // degree sign, backslash
  EXPECT_EQ(km7::EscapeControls("a\x1B[2Jb\x07\n"), "a\\x1B[2Jb\\x07\\x0A");  // C0
  EXPECT_EQ(km7::EscapeControls("x\x7F"), "x\\x7F");                         // DEL
  EXPECT_EQ(km7::EscapeControls("\xC2\x9B" "31m"), "\\xC2\\x9B31m");         // C1 CSI
  EXPECT_EQ(km7::EscapeControls("\xC2"), "\xC2");                            // cut sequence: no control
}
