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

// --- pieces, blanks, words and parameters --------------------------------------

namespace {

// Undoes quoted-printable (soft breaks and escapes).
std::string QpDecode(const std::string& qp) {
  std::string out;
  for (size_t i = 0; i < qp.size(); ++i) {
    if (qp.compare(i, 3, "=\r\n") == 0) {
      i += 2;
    } else if (qp[i] == '=') {
      out += static_cast<char>(std::stoi(qp.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += qp[i];
    }
  }
  return out;
}

// Splits text at the given cut points.
std::vector<std::string_view> Pieces(std::string_view text, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    const size_t n = std::min<size_t>(text.size(), rng() % 9);
    pieces.push_back(text.substr(0, n));
    text.remove_prefix(n);
  }
  return pieces;
}

}  // namespace

TEST(Base64Encode, LengthAndAppendingInWholeLinesMatchTheWholeText) {
  for (int flags : {0, BASE64_NO_PADDING, BASE64_NO_LINE_BREAKS}) {
    for (size_t n : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 114u, 1000u}) {
      EXPECT_EQ(Base64EncodedLength(n, flags), Base64Encode(Bytes(n), flags).size()) << n << " " << flags;
    }
  }
  // An attachment goes out in blocks of whole lines.
  const std::string data = Bytes(57 * 10 + 20, 9);
  std::string pieces;
  for (size_t at = 0; at < data.size(); at += 57 * 3) {
    Base64EncodeAppend(std::string_view(data).substr(at, 57 * 3), 0, pieces);
  }
  EXPECT_EQ(pieces, Base64Encode(data));
}

TEST(QPEncode, BlanksAtTheEndAreEncoded) {
  struct Case {
    std::string text;
    int flags;
    std::string qp;
  };
  const std::vector<Case> cases = {
      {"end ", 0, "end=20"},
      {"end\t", 0, "end=09"},
      {"two  ", 0, "two =20"},
      {" ", 0, "=20"},
      {"a b", 0, "a b"},
      {"line \r\nnext", 0, "line =0D=0Anext"},
      // With hard line breaks the line ends stay and blanks before them go.
      {"line \r\nnext\t\r\n", QP_HARD_LINE_BREAKS, "line=20\r\nnext=09\r\n"},
      {"a\r\n\r\nb", QP_HARD_LINE_BREAKS, "a\r\n\r\nb"},
      {"lone\rcr \n", QP_HARD_LINE_BREAKS, "lone=0Dcr =0A"},
      {"ends in cr \r", QP_HARD_LINE_BREAKS, "ends in cr =0D"},
      {"x= \r\n", QP_HARD_LINE_BREAKS, "x=3D=20\r\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(QPEncode(c.text, c.flags), c.qp) << c.text;
    EXPECT_EQ(QpDecode(c.qp), c.text) << c.text;
  }
}

TEST(QPEncode, HardLineBreaksKeepEveryLineShortAndDecodeBack) {
  std::string text = std::string(2000, 'L') + "\r\n" + std::string(70, ' ') + "\r\n\xe9t\xe9 \r\n";
  const std::string qp = QPEncode(text, QP_HARD_LINE_BREAKS);
  size_t start = 0;
  for (size_t pos; (pos = qp.find("\r\n", start)) != std::string::npos; start = pos + 2) {
    EXPECT_LE(pos - start, 76u);
    if (pos > start) {
      EXPECT_NE(qp[pos - 1], ' ');
    }
  }
  EXPECT_EQ(QpDecode(qp), text);
}

TEST(QPEncoder, PiecesGiveTheSameTextAsTheWhole) {
  const std::string text = "a \r\n.b\t\r\n" + std::string(100, ' ') + "\r" + Bytes(500, 3) + " \r\n \r";
  for (int flags : {0, QP_HARD_LINE_BREAKS, QP_FINAL_SOFT_BREAK, QP_DOUBLE_LEADING_DOTS}) {
    for (unsigned seed = 1; seed < 20; ++seed) {
      QPEncoder encoder(flags);
      std::string out;
      for (std::string_view piece : Pieces(text, seed)) encoder.Encode(piece, out);
      encoder.Finish(out);
      ASSERT_EQ(out, QPEncode(text, flags)) << flags << " " << seed;
    }
  }
}

TEST(DotStuffer, PiecesGiveTheSameTextAsTheWhole) {
  const std::string text = ".a\r\n.\r\n..\r\nb.\r\r\n.\n.x\r\n.";
  for (unsigned seed = 1; seed < 30; ++seed) {
    DotStuffer stuffer;
    std::string out;
    for (std::string_view piece : Pieces(text, seed)) stuffer.Stuff(piece, out);
    ASSERT_EQ(out, DotStuff(text)) << seed;
  }
}

TEST(QEncodeWords, SplitBetweenCharactersAndAtMost75) {
  // Two-, three- and four-byte UTF-8 characters at every offset.
  std::string utf8;
  const char* chars[] = {"\xc3\xa9", "a", "\xe2\x82\xac", " ", "\xf0\x9f\x98\x80", "?"};
  for (int i = 0; i < 200; ++i) utf8 += chars[i % 6];
  struct Case {
    std::string text;
    std::string charset;
    size_t first;
  };
  const std::vector<Case> cases = {
      {utf8, "utf-8", 67}, {utf8, "UTF-8", 75}, {std::string(300, '\xe9'), "iso-8859-1", 67},
      {"short", "iso-8859-1", 67}, {"", "utf-8", 67},
  };
  const std::regex word("=\\?([^?]+)\\?Q\\?([^?]*)\\?=");
  for (const Case& c : cases) {
    const auto words = QEncodeWords(c.text, c.charset, c.first);
    ASSERT_FALSE(words.empty());
    std::string decoded;
    for (size_t i = 0; i < words.size(); ++i) {
      EXPECT_LE(words[i].size(), i == 0 ? c.first : kMaxEncodedWord) << words[i];
      std::smatch m;
      ASSERT_TRUE(std::regex_match(words[i], m, word)) << words[i];
      const std::string piece = QpDecode(m[2].str());
      if (c.charset != "iso-8859-1" && !piece.empty()) {
        // No word starts with a continuation byte: each holds whole characters.
        EXPECT_NE(static_cast<unsigned char>(piece[0]) & 0xC0, 0x80) << words[i];
      }
      decoded += piece;
    }
    EXPECT_EQ(decoded, c.text);
    // Words are filled: each but the last would overflow with one more character.
    if (words.size() > 1) {
      EXPECT_GT(words[0].size(), c.first - 12);
    }
  }
}

TEST(QEncodeWords, PhraseEscapesEverySpecial) {
  const auto words = QEncodeWords("J\xebrg \"Q\", <x@y>.(z)_=", "iso-8859-1", 75, 75, true);
  ASSERT_EQ(words.size(), 1u);
  EXPECT_EQ(words[0], "=?iso-8859-1?Q?J=EBrg=20=22Q=22=2C=20=3Cx=40y=3E=2E=28z=29=5F=3D?=");
}

TEST(MimeParameter, QuotedOrRfc2231) {
  struct Case {
    std::string value;
    std::string charset;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"report.txt", "iso-8859-1", "filename=\"report.txt\""},
      {"we\"ird.dat", "iso-8859-1", "filename=\"we\\\"ird.dat\""},
      {"back\\slash", "iso-8859-1", "filename=\"back\\\\slash\""},
      {"we\"ird \xfc.dat", "iso-8859-1", "filename*=iso-8859-1''we%22ird%20%FC.dat"},
      {"we\"ird \xc3\xbc.dat", "utf-8", "filename*=utf-8''we%22ird%20%C3%BC.dat"},
      {"tab\there", "utf-8", "filename*=utf-8''tab%09here"},
      {"100%*'", "utf-8", "filename=\"100%*'\""},
      {"100%*'\xe9", "iso-8859-1", "filename*=iso-8859-1''100%25%2A%27%E9"},
  };
  for (const Case& c : cases) EXPECT_EQ(MimeParameter("filename", c.value, c.charset), c.expected);
}

TEST(TextMeasures, EightBitBytesAndLongestLine) {
  EXPECT_FALSE(HasEightBitBytes("plain ascii\r\n~"));
  EXPECT_TRUE(HasEightBitBytes("30\xb0" "C"));
  EXPECT_EQ(LongestLine(""), 0u);
  EXPECT_EQ(LongestLine("abc"), 3u);
  EXPECT_EQ(LongestLine("ab\r\n" + std::string(999, 'x') + "\r\nc\r\n"), 999u);
  EXPECT_EQ(LongestLine("\r\n\r\n"), 0u);
}
