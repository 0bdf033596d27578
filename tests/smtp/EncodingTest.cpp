#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <set>
#include <string>

#include "smtp/Encoding.h"

using namespace km7;

namespace {

std::string Bytes(size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// --- Base64 -----------------------------------------------------------------

TEST(Base64Encode, Rfc4648Vectors) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode(std::string("\xfb\xff\xbf", 3)), "+/+/");
}

TEST(Base64Encode, LineBreaksAfterEveryNineteenCompleteGroups) {
  const std::string b56 = Base64Encode(Bytes(56));
  EXPECT_EQ(b56.size(), 76u);
  EXPECT_EQ(b56.find('\r'), std::string::npos);
  EXPECT_EQ(b56.back(), '=');  // 18 groups + 2 leftover bytes, one pad
  EXPECT_NE(b56[74], '=');

  const std::string b57 = Base64Encode(Bytes(57));
  ASSERT_EQ(b57.size(), 78u);
  EXPECT_EQ(b57.substr(76), "\r\n");
  EXPECT_EQ(b57.find('='), std::string::npos);

  const std::string b58 = Base64Encode(Bytes(58));
  ASSERT_EQ(b58.size(), 82u);
  EXPECT_EQ(b58.substr(76, 2), "\r\n");
  EXPECT_EQ(b58.substr(80), "==");
  // Same bytes, same first line.
  EXPECT_EQ(Base64Encode(Bytes(58)).substr(0, 76), Base64Encode(Bytes(57)).substr(0, 76));

  const std::string b114 = Base64Encode(Bytes(114));
  EXPECT_EQ(b114.size(), 156u);
  EXPECT_EQ(b114.substr(76, 2), "\r\n");
  EXPECT_EQ(b114.substr(154), "\r\n");
}

TEST(Base64Encode, Flags) {
  const std::string bytes = Bytes(200);
  const std::string oneLine = Base64Encode(bytes, BASE64_NO_LINE_BREAKS);
  EXPECT_EQ(oneLine.find('\r'), std::string::npos);
  EXPECT_EQ(oneLine.size(), 268u);
  EXPECT_EQ(Base64Encode("f", BASE64_NO_PADDING), "Zg");
  EXPECT_EQ(Base64Encode("fo", BASE64_NO_PADDING), "Zm8");
  EXPECT_EQ(Base64Encode(Bytes(57), BASE64_NO_PADDING | BASE64_NO_LINE_BREAKS).size(), 76u);
}

TEST(Base64Decode, SkipsEverythingOutsideTheAlphabet) {
  EXPECT_EQ(Base64Decode("Zm9vYmFy"), "foobar");
  EXPECT_EQ(Base64Decode("Zm9v\r\nYmFy\r\n"), "foobar");
  EXPECT_EQ(Base64Decode("Zm 9v*Ym\tFy!"), "foobar");
  EXPECT_EQ(Base64Decode("Zg=="), "f");
  EXPECT_EQ(Base64Decode("Zg"), "f");     // unpadded final group of 2
  EXPECT_EQ(Base64Decode("Zm8"), "fo");   // of 3
  EXPECT_EQ(Base64Decode("Zm9vY"), "foo");  // a lone last character gives nothing
  EXPECT_EQ(Base64Decode(""), "");
  EXPECT_EQ(Base64Decode("===="), "");
}

TEST(Base64Decode, ZeroByteEndsTheText) {
  EXPECT_EQ(Base64Decode(std::string("Zm9v\0YmFy", 9)), "foo");
}

TEST(Base64Decode, ServerChallengeWithTrailingLineEnd) {
  // "334 " removed by the session; the "\r\n" is skipped here.
  EXPECT_EQ(Base64Decode("VXNlcm5hbWU6\r\n"), "Username:");
}

TEST(Base64, RoundTripsEveryLengthAndFlag) {
  for (size_t n = 0; n < 300; ++n) {
    const std::string bytes = Bytes(n, static_cast<unsigned>(n));
    for (int flags = 0; flags < 4; ++flags) {
      ASSERT_EQ(Base64Decode(Base64Encode(bytes, flags)), bytes) << n << " flags " << flags;
    }
  }
}

// --- quoted-printable ----------------------------------------------------------

TEST(QPEncode, EscapesControlsEqualsAndHighBytes) {
  EXPECT_EQ(QPEncode("a=b"), "a=3Db");
  EXPECT_EQ(QPEncode("line\r\nnext\n"), "line=0D=0Anext=0A");
  EXPECT_EQ(QPEncode("\xe9\x80\x7f"), "=E9=80=7F");
  EXPECT_EQ(QPEncode("tab\there sp ace"), "tab\there sp ace");
  EXPECT_EQ(QPEncode(std::string("\0", 1)), "=00");
}

TEST(QPEncode, SoftBreaksKeepLinesShort) {
  const std::string text(150, 'x');
  const std::string qp = QPEncode(text);
  // 65 characters, then "=\r\n".
  EXPECT_EQ(qp.substr(0, 65), std::string(65, 'x'));
  EXPECT_EQ(qp.substr(65, 3), "=\r\n");
  EXPECT_EQ(qp.substr(68, 65), std::string(65, 'x'));
  EXPECT_EQ(qp.substr(133, 3), "=\r\n");
  EXPECT_EQ(qp.substr(136), std::string(20, 'x'));
  // No line of the output exceeds 68 characters (67 and the "="), and removing the soft
  // breaks and escapes gives the text back.
  const std::string mixed = std::string(63, 'y') + "==\xff  \t" + std::string(70, ' ') + "z";
  const std::string out = QPEncode(mixed);
  size_t start = 0;
  for (size_t pos; (pos = out.find("\r\n", start)) != std::string::npos; start = pos + 2) {
    EXPECT_LE(pos - start, 68u);
    EXPECT_EQ(out[pos - 1], '=');
  }
  std::string decoded;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '=' && out.compare(i, 3, "=\r\n") == 0) {
      i += 2;
    } else if (out[i] == '=') {
      decoded += static_cast<char>(std::stoi(out.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      decoded += out[i];
    }
  }
  EXPECT_EQ(decoded, mixed);
}

TEST(QPEncode, BlanksNearTheLineEndAreEncoded) {
  const std::string text = std::string(64, 'a') + " b";
  // The 65th character is a space at count 64: encoded, then the soft break.
  EXPECT_EQ(QPEncode(text), std::string(64, 'a') + "=20=\r\nb");
}

TEST(QPEncode, Flags) {
  EXPECT_EQ(QPEncode("a", QP_FINAL_SOFT_BREAK), "a=\r\n");
  EXPECT_EQ(QPEncode(".a.", QP_DOUBLE_LEADING_DOTS), "..a.");
  EXPECT_EQ(QPEncode(".a."), ".a.");
}

// --- Q encoding --------------------------------------------------------------

TEST(QEncode, EncodedWord) {
  EXPECT_EQ(QEncode("Alarm ", "iso-8859-1"), "=?iso-8859-1?Q?Alarm=20?=");
  EXPECT_EQ(QEncode("", "iso-8859-1"), "=?iso-8859-1?Q?" "?=");
  EXPECT_EQ(QEncode("a?b_c=d", "utf-8"), "=?utf-8?Q?a=3Fb=5Fc=3Dd?=");
  EXPECT_EQ(QEncode("30\xb0" "C\r\n", "windows-1252"), "=?windows-1252?Q?30=B0C=0D=0A?=");
}

// --- line ends and dot-stuffing -----------------------------------------------

TEST(NormaliseLineEnds, EveryKindBecomesCrLf) {
  EXPECT_EQ(NormaliseLineEnds("a\nb\rc\r\nd\n\re"), "a\r\nb\r\nc\r\nd\r\n\r\ne");
  EXPECT_EQ(NormaliseLineEnds("\r\r\n\n"), "\r\n\r\n\r\n");
  EXPECT_EQ(NormaliseLineEnds("plain"), "plain");
}

TEST(DotStuff, DoublesEveryDotThatStartsALine) {
  EXPECT_EQ(DotStuff("."), "..");
  EXPECT_EQ(DotStuff(".\r\nnext"), "..\r\nnext");
  EXPECT_EQ(DotStuff("a\r\n.\r\nb"), "a\r\n..\r\nb");
  EXPECT_EQ(DotStuff("a\r\n.b"), "a\r\n..b");
  // A first line beginning with a dot keeps its dot after the server removes one.
  EXPECT_EQ(DotStuff(".hidden"), "..hidden");
  EXPECT_EQ(DotStuff("no dots. here.\r\n"), "no dots. here.\r\n");
  EXPECT_EQ(DotStuff(""), "");
}

TEST(DotStuff, NoLineOfTheResultIsTheEndOfDataMark) {
  const std::string text = ".\r\n.\r\n..\r\n.\r\nx\r\n.";
  const std::string stuffed = DotStuff(text);
  EXPECT_EQ(("\r\n" + stuffed + "\r\n").find("\r\n.\r\n"), std::string::npos);
  // Undoing: every line-leading dot removed once.
  std::string undone;
  for (size_t i = 0; i < stuffed.size(); ++i) {
    const bool lineStart = i == 0 || (i >= 2 && stuffed.compare(i - 2, 2, "\r\n") == 0);
    if (!(lineStart && stuffed[i] == '.')) undone += stuffed[i];
  }
  EXPECT_EQ(undone, text);
}

// --- unique identifiers --------------------------------------------------------

TEST(UniqueId, LowerCaseUuidTextAndFresh) {
  const std::regex form("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    const std::string id = MakeUniqueIdText();
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 200u);
}

TEST(UniqueId, EnvelopeIdIsThirtyTwoUpperCaseDigits) {
  const std::string id = MakeEnvelopeId();
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{32}"))) << id;
  EXPECT_NE(id, MakeEnvelopeId());
}

}  // namespace
