#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>

#include "platform/Clock.h"
#include "smtp/Encoding.h"
#include "smtp/SMTPException.h"
#include "smtp/SMTPMessage.h"

namespace {

const std::regex kUuid("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

// The lines of a header, without their "\r\n"; fails when a line lacks it.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    EXPECT_NE(end, std::string::npos) << "unterminated: " << text.substr(start);
    if (end == std::string::npos) break;
    out.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return out;
}

// What the session transmits for a part (header unless root, content,
// children, footer when it has children).
std::string Transmit(const CZRKSMTPBodyPart& part, bool root) {
  std::string out;
  if (!root) out += part.GetHeader();
  out += part.GetBody(true);
  for (size_t i = 0; i < part.GetNumberOfChildBodyParts(); ++i) {
    out += Transmit(*part.GetChildBodyPart(i), false);
  }
  if (part.GetNumberOfChildBodyParts() > 0) out += part.GetFooter();
  return out;
}

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/km7-msgtest-XXXXXX";
    path_ = mkdtemp(templ);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name, const std::string& content) const {
    const std::string p = path_ + "/" + name;
    std::ofstream(p, std::ios::binary) << content;
    return p;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// --- addresses ---------------------------------------------------------------

TEST(Address, ParsesTheThreeForms) {
  CZRKSMTPAddress a("  Jane Doe <jane@example.org>  ");
  EXPECT_EQ(a.GetFriendlyName(), "Jane Doe");
  EXPECT_EQ(a.GetEmailAddress(), "jane@example.org");

  CZRKSMTPAddress b("\"Doe, Jane\" <jane@example.org> trailing text");
  EXPECT_EQ(b.GetFriendlyName(), "Doe, Jane");
  EXPECT_EQ(b.GetEmailAddress(), "jane@example.org");

  CZRKSMTPAddress c("jane@example.org (Jane Doe)");
  EXPECT_EQ(c.GetFriendlyName(), "Jane Doe");
  EXPECT_EQ(c.GetEmailAddress(), "jane@example.org");

  CZRKSMTPAddress d(" jane@example.org ");
  EXPECT_EQ(d.GetFriendlyName(), "");
  EXPECT_EQ(d.GetEmailAddress(), "jane@example.org");
}

TEST(Address, EmptyBracketsAndShortQuotesAreKept) {
  CZRKSMTPAddress a("Name <>");
  EXPECT_EQ(a.GetEmailAddress(), "Name <>");
  EXPECT_EQ(a.GetFriendlyName(), "");
  CZRKSMTPAddress b("x@y ()");
  EXPECT_EQ(b.GetEmailAddress(), "x@y ()");
  // Two quotes alone are not a quoted name (longer than two characters needed).
  CZRKSMTPAddress c("\"\" <x@y>");
  EXPECT_EQ(c.GetFriendlyName(), "\"\"");
  CZRKSMTPAddress d("\"a\" <x@y>");
  EXPECT_EQ(d.GetFriendlyName(), "a");
}

TEST(Address, Format) {
  EXPECT_EQ(CZRKSMTPAddress("", "x@y").Format(), "x@y");
  EXPECT_EQ(CZRKSMTPAddress("Ops Team", "ops@y").Format(), "\"Ops Team\" <ops@y>");
}

TEST(AddressList, SeparatorsQuotesAndEmptyPieces) {
  CZRKSMTPAddressArray list{CZRKSMTPAddress("old", "old@x")};
  EXPECT_EQ(CZRKSMTPMessage::ParseAddressList("a@x; b@x, c@x", list), 3);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].GetEmailAddress(), "a@x");
  EXPECT_EQ(list[1].GetEmailAddress(), "b@x");
  EXPECT_EQ(list[2].GetEmailAddress(), "c@x");

  EXPECT_EQ(CZRKSMTPMessage::ParseAddressList(",,a@x;; ,;b@x,", list), 2);
  EXPECT_EQ(list[1].GetEmailAddress(), "b@x");

  EXPECT_EQ(CZRKSMTPMessage::ParseAddressList("\"Doe, Jane; Ops\" <j@x>, k@x (Kay)", list), 2);
  EXPECT_EQ(list[0].GetFriendlyName(), "Doe, Jane; Ops");
  EXPECT_EQ(list[0].GetEmailAddress(), "j@x");
  EXPECT_EQ(list[1].GetFriendlyName(), "Kay");

  // Blanks inside quotes around the address are not part of it (a fuzz find).
  EXPECT_EQ(CZRKSMTPMessage::ParseAddressList("Bob <\" bob@x \">, \"\tk@x \" (Kay), <\" \">", list), 2);
  EXPECT_EQ(list[0].GetEmailAddress(), "bob@x");
  EXPECT_EQ(list[1].GetEmailAddress(), "k@x");

  EXPECT_EQ(CZRKSMTPMessage::ParseAddressList("", list), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(CZRKSMTPMessage::ParseAddressList(" ; , ", list), 0);
  // An address text with a name but nothing between the brackets is taken whole.
  EXPECT_EQ(CZRKSMTPMessage::ParseAddressList("Nobody <>", list), 1);
  // An unclosed quote swallows the rest as one piece.
  EXPECT_EQ(CZRKSMTPMessage::ParseAddressList("\"a, b@x, c@x", list), 1);
}

// --- header --------------------------------------------------------------------

CZRKSMTPMessage AlarmMessage(const char* text = "Temperature 30.4\xb0" "C\nline two") {
  CZRKSMTPMessage m;
  CZRKSMTPMessage::ParseAddressList("ops@example.org; \"Night Shift\" <night@example.org>", m.GetTo());
  CZRKSMTPMessage::ParseAddressList("boss@example.org", m.GetCc());
  CZRKSMTPMessage::ParseAddressList("audit@example.org", m.GetBcc());
  m.SetSubject("Temperature alarm");
  m.AddTextBody(text);
  m.SetFrom(CZRKSMTPAddress("KM7 Monitor", "km7@example.org"));
  m.SetXMailer("");
  m.SetDSNFlags(-1);
  return m;
}

TEST(MessageHeader, AlarmMessageHasExactlyTheseLines) {
  // The readings line carries the degree sign: the text goes quoted-printable,
  // which the header must say.
  const auto lines = Lines(AlarmMessage().GetHeader());
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], "From: \"KM7 Monitor\" <km7@example.org>");
  EXPECT_EQ(lines[1], "To: ops@example.org,");
  EXPECT_EQ(lines[2], " \"Night Shift\" <night@example.org>");
  EXPECT_EQ(lines[3], "Cc: boss@example.org");
  EXPECT_EQ(lines[4], "Subject: =?iso-8859-1?Q?Temperature=20alarm?=");
  EXPECT_EQ(lines[5], "MIME-Version: 1.0");
  EXPECT_EQ(lines[6], "Content-Type: text/plain;");
  EXPECT_EQ(lines[7], "\tcharset=iso-8859-1");
  EXPECT_EQ(lines[8], "Content-Transfer-Encoding: quoted-printable");
  EXPECT_TRUE(std::regex_match(
      lines[9], std::regex("Date: (Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
                           "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} "
                           "[0-9]{2}:[0-9]{2}:[0-9]{2} [+-][0-9]{4}")))
      << lines[9];
  const std::string header = AlarmMessage().GetHeader();
  EXPECT_EQ(header.find("audit"), std::string::npos);  // Bcc never shown
}

TEST(MessageHeader, PlainTextTravelsAsItCan) {
  using TE = CZRKSMTPMessage::TransferEncoding;
  struct Case {
    std::string text;
    bool server8Bit;
    TE expected;
    const char* lines;  // the content lines of the header
  };
  const std::string longLine(999, 'x');
  const std::vector<Case> cases = {
      {"7-bit text\nof short lines", false, TE::SevenBit, "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"},
      {"7-bit text\nof short lines", true, TE::SevenBit, "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"},
      {std::string(998, 'x'), false, TE::SevenBit, "Content-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"},
      {"30.4\xb0" "C", true, TE::EightBit,
       "MIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"
       "Content-Transfer-Encoding: 8bit\r\n"},
      {"30.4\xb0" "C", false, TE::QuotedPrintable,
       "MIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"
       "Content-Transfer-Encoding: quoted-printable\r\n"},
      {"short\n" + longLine, true, TE::QuotedPrintable,
       "MIME-Version: 1.0\r\nContent-Type: text/plain;\r\n\tcharset=iso-8859-1\r\n"
       "Content-Transfer-Encoding: quoted-printable\r\n"},
  };
  for (const Case& c : cases) {
    CZRKSMTPMessage m;
    m.AddTextBody(c.text);
    const TE travel = m.PlainTextEncoding(c.server8Bit);
    EXPECT_EQ(travel, c.expected) << c.text.substr(0, 20);
    EXPECT_NE(m.GetHeader(travel).find(c.lines), std::string::npos) << m.GetHeader(travel);
    EXPECT_EQ(m.NeedsEightBitBody(travel), c.expected == TE::EightBit);
  }
  // MIME messages keep their own lines whatever the text.
  CZRKSMTPMessage mime;
  mime.SetMime(true);
  mime.AddTextBody("30.4\xb0" "C");
  EXPECT_EQ(mime.GetHeader(TE::QuotedPrintable).find("Content-Transfer-Encoding"), std::string::npos);
  EXPECT_FALSE(mime.NeedsEightBitBody(TE::EightBit));
}

TEST(MessageHeader, AsciiAlarmMessageKeepsItsEightLines) {
  const auto lines = Lines(AlarmMessage("Temperature 30.4 C\nline two").GetHeader());
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[5], "Content-Type: text/plain;");
  EXPECT_EQ(lines[6], "\tcharset=iso-8859-1");
  EXPECT_EQ(lines[7].rfind("Date: ", 0), 0u);
}

TEST(MessageHeader, EmptyListsAndDefaults) {
  CZRKSMTPMessage m;
  const auto lines = Lines(m.GetHeader());
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "From: ");
  EXPECT_EQ(lines[1], "To: ");
  EXPECT_EQ(lines[2], "Subject: =?iso-8859-1?Q?" "?=");
  EXPECT_EQ(lines[3], "X-Mailer: CZRKSMTPConnection v2.82");
  for (const auto& l : lines) EXPECT_NE(l.rfind("Cc:", 0), 0u) << l;
}

TEST(MessageHeader, OptionalLinesInOrder) {
  CZRKSMTPMessage m;
  m.SetReplyTo(CZRKSMTPAddress("", "reply@x"));
  m.SetPriority(CZRKSMTPMessage::High);
  m.AddCustomHeader("X-Sensor: Computer Room");
  m.AddCustomHeader("X-Second: 2");
  const auto lines = Lines(m.GetHeader());
  const size_t n = lines.size();
  ASSERT_GE(n, 6u);
  EXPECT_EQ(lines[n - 5], "Reply-To: reply@x");
  EXPECT_EQ(lines[n - 4].rfind("Date: ", 0), 0u);
  EXPECT_EQ(lines[n - 3], "X-Priority: 1");
  EXPECT_EQ(lines[n - 2], "X-Sensor: Computer Room");
  EXPECT_EQ(lines[n - 1], "X-Second: 2");

  m.SetPriority(CZRKSMTPMessage::Low);
  EXPECT_NE(m.GetHeader().find("X-Priority: 5\r\n"), std::string::npos);
  m.SetPriority(CZRKSMTPMessage::Normal);
  EXPECT_NE(m.GetHeader().find("X-Priority: 3\r\n"), std::string::npos);
  m.SetPriority(CZRKSMTPMessage::NoPriority);
  EXPECT_EQ(m.GetHeader().find("X-Priority"), std::string::npos);
}

TEST(MessageHeader, LongSubjectBecomesEncodedWordsOfAtMost75) {
  CZRKSMTPMessage m;
  std::string subject;
  for (int i = 0; i < 100; ++i) subject += static_cast<char>('a' + i % 26);
  m.SetSubject(subject);
  const std::string header = m.GetHeader();
  const std::string expected = "Subject: =?iso-8859-1?Q?" + subject.substr(0, 50) +
                               "?=\r\n =?iso-8859-1?Q?" + subject.substr(50) + "?=\r\n";
  EXPECT_NE(header.find(expected), std::string::npos) << header;
  // The first line is exactly 76 characters.
  EXPECT_EQ(std::string("Subject: =?iso-8859-1?Q?" + subject.substr(0, 50) + "?=").size(), 76u);
}

TEST(MessageHeader, SubjectSplitLengths) {
  CZRKSMTPMessage m;
  auto words = [&m](const std::string& subject) {
    m.SetSubject(subject);
    std::vector<size_t> sizes;
    for (const auto& line : Lines(m.GetHeader())) {
      const size_t q = line.find("?Q?");
      if (q == std::string::npos) continue;
      sizes.push_back(line.size() - q - 3 - 2);
      if (m.GetRootPart().GetCharset().size() < 20) {
        EXPECT_LE(line.size(), 76u) << line;
      }
    }
    return sizes;
  };
  struct Case {
    std::string subject;
    std::vector<size_t> encodedLengths;  // of the text inside each word
  };
  const std::vector<Case> cases = {
      {std::string(50, 's'), {50}},
      {std::string(51, 's'), {50, 1}},
      // 50 on the Subject line, then 58 per word.
      {std::string(200, 's'), {50, 58, 58, 34}},
      // Escapes count three: a word never takes half of one.
      {std::string(40, 's') + std::string(10, '\xe9'), {49, 21}},
  };
  for (const Case& c : cases) EXPECT_EQ(words(c.subject), c.encodedLengths) << c.subject.size();
  // A charset name longer than the room still ends (one character per word).
  m.GetRootPart().SetCharset(std::string(70, 'c'));
  EXPECT_EQ(words(std::string(80, 's')).size(), 80u);
}

TEST(MessageHeader, XMailerFoldedBlindly) {
  CZRKSMTPMessage m;
  m.SetXMailer(std::string(200, 'm'));
  const std::string text = "X-Mailer: " + std::string(200, 'm');
  const std::string expected = text.substr(0, 78) + "\r\n " + text.substr(78, 77) + "\r\n " +
                               text.substr(155) + "\r\n";
  EXPECT_NE(m.GetHeader().find(expected), std::string::npos);
  m.SetXMailer(std::string(68, 'm'));  // exactly 78 characters: unchanged
  EXPECT_NE(m.GetHeader().find("X-Mailer: " + std::string(68, 'm') + "\r\n"), std::string::npos);
}

TEST(MessageHeader, MimeContentLines) {
  CZRKSMTPMessage m;
  m.SetMime(true);
  EXPECT_NE(m.GetHeader().find("MIME-Version: 1.0\r\nContent-Type: text/plain\r\n"),
            std::string::npos);
  m.AddTextBody("hello");
  const std::string header = m.GetHeader();
  EXPECT_NE(header.find("MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" +
                        m.GetRootPart().GetBoundary() + "\"\r\n"),
            std::string::npos)
      << header;
}

// --- date line --------------------------------------------------------------------

TEST(DateLine, Format) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 7;
  t.tm_wday = 1;
  t.tm_hour = 9;
  t.tm_min = 5;
  t.tm_sec = 3;
  EXPECT_EQ(CZRKSMTPMessage::FormatDateLine(t, -60), "Date: Mon, 7 Dec 2026 09:05:03 +0100\r\n");
  EXPECT_EQ(CZRKSMTPMessage::FormatDateLine(t, 300), "Date: Mon, 7 Dec 2026 09:05:03 -0500\r\n");
  EXPECT_EQ(CZRKSMTPMessage::FormatDateLine(t, -330), "Date: Mon, 7 Dec 2026 09:05:03 +0530\r\n");
  EXPECT_EQ(CZRKSMTPMessage::FormatDateLine(t, 0), "Date: Mon, 7 Dec 2026 09:05:03 +0000\r\n");
  EXPECT_EQ(CZRKSMTPMessage::FormatDateLine(t, 30), "Date: Mon, 7 Dec 2026 09:05:03 -0030\r\n");
}

class DateLineInZone : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) oldTz_ = tz;
  }
  void TearDown() override {
    if (hadTz_) {
      setenv("TZ", oldTz_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    km7::SetNowHook(nullptr);
  }
  static void UseZone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  bool hadTz_ = false;
  std::string oldTz_;
};

std::time_t WinterNoon() { return 1796644800; }  // 2026-12-07 12:00:00 UTC, a Monday
std::time_t SummerNoon() { return 1783425600; }  // 2026-07-07 12:00:00 UTC, a Tuesday

TEST_F(DateLineInZone, LocalTimeWithDaylightSaving) {
  CZRKSMTPMessage m;
  UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
  km7::SetNowHook(WinterNoon);
  EXPECT_EQ(m.GetDateLine(), "Date: Mon, 7 Dec 2026 13:00:00 +0100\r\n");
  km7::SetNowHook(SummerNoon);
  EXPECT_EQ(m.GetDateLine(), "Date: Tue, 7 Jul 2026 14:00:00 +0200\r\n");
  UseZone("EST5EDT,M3.2.0,M11.1.0");
  km7::SetNowHook(WinterNoon);
  EXPECT_EQ(m.GetDateLine(), "Date: Mon, 7 Dec 2026 07:00:00 -0500\r\n");
  UseZone("UTC0");
  EXPECT_EQ(m.GetDateLine(), "Date: Mon, 7 Dec 2026 12:00:00 +0000\r\n");
}

// --- body parts --------------------------------------------------------------------

TEST(BodyPart, DefaultsAndFreshBoundaries) {
  CZRKSMTPBodyPart a, b;
  EXPECT_EQ(a.GetContentType(), "text/plain");
  EXPECT_EQ(a.GetCharset(), "iso-8859-1");
  EXPECT_TRUE(a.GetQuotedPrintable());
  EXPECT_FALSE(a.GetBase64());
  EXPECT_TRUE(std::regex_match(a.GetBoundary(), kUuid)) << a.GetBoundary();
  EXPECT_NE(a.GetBoundary(), b.GetBoundary());
}

TEST(BodyPart, SetTextNormalisesLineEndsAndSetsTextPlain) {
  CZRKSMTPBodyPart p;
  p.SetContentType("text/html");
  p.SetText("a\nb\rc\r\nd");
  EXPECT_EQ(p.GetText(), "a\r\nb\r\nc\r\nd");
  EXPECT_EQ(p.GetContentType(), "text/plain");
}

TEST(BodyPart, CopiesAreDeepAndReparented) {
  CZRKSMTPBodyPart root;
  CZRKSMTPBodyPart child;
  child.SetText("child");
  CZRKSMTPBodyPart grandChild;
  grandChild.SetText("grand");
  child.AddChildBodyPart(grandChild);
  EXPECT_EQ(root.AddChildBodyPart(child), 0u);
  EXPECT_EQ(root.AddChildBodyPart(child), 1u);

  CZRKSMTPBodyPart copy(root);
  EXPECT_EQ(copy.GetBoundary(), root.GetBoundary());
  ASSERT_EQ(copy.GetNumberOfChildBodyParts(), 2u);
  CZRKSMTPBodyPart* c0 = copy.GetChildBodyPart(0);
  EXPECT_NE(c0, root.GetChildBodyPart(0));
  EXPECT_EQ(c0->GetParentBodyPart(), &copy);
  EXPECT_EQ(c0->GetBoundary(), child.GetBoundary());
  ASSERT_EQ(c0->GetNumberOfChildBodyParts(), 1u);
  EXPECT_EQ(c0->GetChildBodyPart(0)->GetParentBodyPart(), c0);
  EXPECT_EQ(c0->GetChildBodyPart(0)->GetText(), "grand");
  // Changing the copy leaves the original alone.
  c0->GetChildBodyPart(0)->SetText("changed");
  EXPECT_EQ(root.GetChildBodyPart(0)->GetChildBodyPart(0)->GetText(), "grand");

  // Assigning a part its own descendant keeps the descendant's contents.
  CZRKSMTPBodyPart& self = copy;
  self = *copy.GetChildBodyPart(0);
  EXPECT_EQ(copy.GetText(), "child");
  ASSERT_EQ(copy.GetNumberOfChildBodyParts(), 1u);
  EXPECT_EQ(copy.GetChildBodyPart(0)->GetText(), "changed");
  EXPECT_EQ(copy.GetChildBodyPart(0)->GetParentBodyPart(), &copy);
}

TEST(BodyPart, FindFirstBodyPartIsExactAndDirect) {
  CZRKSMTPBodyPart root;
  CZRKSMTPBodyPart html;
  html.SetContentType("text/html");
  CZRKSMTPBodyPart inner;
  inner.SetContentType("multipart/alternative");
  inner.AddChildBodyPart(CZRKSMTPBodyPart());  // text/plain, but not direct
  root.AddChildBodyPart(html);
  root.AddChildBodyPart(inner);
  EXPECT_EQ(root.FindFirstBodyPart("text/plain"), nullptr);
  EXPECT_EQ(root.FindFirstBodyPart("TEXT/HTML"), nullptr);
  EXPECT_EQ(root.FindFirstBodyPart("text/html"), root.GetChildBodyPart(0));
}

TEST(BodyPart, HeadersForEveryKindOfPart) {
  CZRKSMTPBodyPart parent;
  const std::string pb = parent.GetBoundary();
  parent.AddChildBodyPart(CZRKSMTPBodyPart());
  const CZRKSMTPBodyPart& text = *parent.GetChildBodyPart(0);
  EXPECT_EQ(text.GetHeader(), "\r\n--" + pb +
                                  "\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
                                  "Content-Transfer-Encoding: quoted-printable\r\n\r\n");

  CZRKSMTPBodyPart* p = parent.GetChildBodyPart(0);
  p->SetBase64(true);
  EXPECT_EQ(p->GetHeader(), "\r\n--" + pb +
                                "\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
                                "Content-Transfer-Encoding: base64\r\n\r\n");
  p->SetBase64(false);
  p->SetQuotedPrintable(false);
  p->SetContentID("<id@x>");
  p->SetContentBase("http://base/");
  p->SetContentLocation("loc");
  EXPECT_EQ(p->GetHeader(), "\r\n--" + pb +
                                "\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
                                "Content-Base: http://base/\r\nContent-ID: <id@x>\r\n"
                                "Content-Location: loc\r\n\r\n");

  p->AddChildBodyPart(CZRKSMTPBodyPart());
  p->SetContentID("");
  p->SetContentBase("");
  p->SetContentLocation("");
  p->SetContentType("multipart/alternative");
  p->SetQuotedPrintable(true);
  EXPECT_EQ(p->GetHeader(), "\r\n--" + pb +
                                "\r\nContent-Type: multipart/alternative; charset=iso-8859-1; "
                                "Boundary=\"" + p->GetBoundary() +
                                "\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n");

  CZRKSMTPBodyPart attachment;
  attachment.SetFilename("/tmp/x.txt");
  attachment.SetTitle("x.txt");
  attachment.SetContentType("application/octet-stream");
  parent.AddChildBodyPart(attachment);
  EXPECT_EQ(parent.GetChildBodyPart(1)->GetHeader(),
            "\r\n\r\n--" + pb +
                "\r\nContent-Type: application/octet-stream; name=\"x.txt\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"x.txt\"\r\n\r\n");
  parent.GetChildBodyPart(1)->AddChildBodyPart(CZRKSMTPBodyPart());
  EXPECT_EQ(parent.GetChildBodyPart(1)->GetHeader(),
            "\r\n\r\n--" + pb +
                "\r\nContent-Type: application/octet-stream; name=\"x.txt\"; Boundary=\"" +
                parent.GetChildBodyPart(1)->GetBoundary() +
                "\"\r\nContent-Transfer-Encoding: base64\r\n"
                "Content-Disposition: attachment; filename=\"x.txt\"\r\n\r\n");
  EXPECT_EQ(parent.GetFooter(), "\r\n--" + pb + "--");
}

TEST(BodyPart, BodiesByEncoding) {
  CZRKSMTPBodyPart p;
  p.SetText(".first\nsecond = 2\n.\nend");
  EXPECT_EQ(p.GetBody(false), ".first=0D=0Asecond =3D 2=0D=0A.=0D=0Aend");
  EXPECT_EQ(p.GetBody(true), "..first=0D=0Asecond =3D 2=0D=0A.=0D=0Aend");
  p.SetQuotedPrintable(false);
  EXPECT_EQ(p.GetBody(false), ".first\r\nsecond = 2\r\n.\r\nend");
  EXPECT_EQ(p.GetBody(true), "..first\r\nsecond = 2\r\n..\r\nend");
  p.SetBase64(true);
  EXPECT_EQ(km7::Base64Decode(p.GetBody(true)), p.GetText());
  EXPECT_EQ(p.GetBody(true), km7::Base64Encode(p.GetText()));
}

// --- attachments ------------------------------------------------------------------

TEST(Attachment, ReadsARealFile) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 1000; ++i) content += static_cast<char>(i * 31);
  CZRKSMTPBodyPart p;
  p.SetFilename(dir.File("data.bin", content));
  const std::string body = p.GetBody(true);
  EXPECT_EQ(body, km7::Base64Encode(content));
  EXPECT_EQ(km7::Base64Decode(body), content);
  EXPECT_NE(body.find("\r\n"), std::string::npos);
}

TEST(Attachment, EmptyFileGivesEmptyContent) {
  TempDir dir;
  CZRKSMTPBodyPart p;
  p.SetFilename(dir.File("empty.txt", ""));
  EXPECT_EQ(p.GetBody(true), "");
}

uint32_t RaisedCode(const CZRKSMTPBodyPart& p) {
  try {
    p.GetBody(true);
  } catch (const CZRKSMTPException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

TEST(Attachment, FileErrorsRaisePlatformErrors) {
  TempDir dir;
  CZRKSMTPBodyPart p;
  p.SetFilename(dir.Path() + "/missing.txt");
  EXPECT_EQ(RaisedCode(p), 0x80070002u);  // file not found
  p.SetFilename(dir.Path() + "/nodir/missing.txt");
  EXPECT_EQ(RaisedCode(p), 0x80070002u);
  p.SetFilename(dir.Path());
  EXPECT_EQ(RaisedCode(p) & 0xFFFF0000u, 0x80070000u);  // a folder is no attachment
  if (geteuid() != 0) {  // root reads anything
    const std::string locked = dir.File("locked.txt", "secret");
    chmod(locked.c_str(), 0);
    p.SetFilename(locked);
    EXPECT_EQ(RaisedCode(p), 0x80070005u);  // access denied
  }
}

TEST(Attachment, FourGibibytesOrMoreIsTooLarge) {
  TempDir dir;
  // Sparse files: no disk space used, nothing read.
  const std::string big = dir.File("big.bin", "");
  ASSERT_EQ(truncate(big.c_str(), off_t{1} << 32), 0);
  CZRKSMTPBodyPart p;
  p.SetFilename(big);
  EXPECT_EQ(RaisedCode(p), 0x80040000u | 522u);
}

TEST(Attachment, WindowsCharactersInTheNameReachTheFileSystemAsUtf8) {
  TempDir dir;
  dir.File("caf\xc3\xa9.txt", "coffee");
  CZRKSMTPBodyPart p;
  p.SetFilename(dir.Path() + "/caf\xe9.txt");  // e-acute in Windows-1252
  EXPECT_EQ(km7::Base64Decode(p.GetBody(true)), "coffee");
}

// --- MIME structure -------------------------------------------------------------------

TEST(Mime, AddTextBodyBuildsAMultipartWithOneTextPart) {
  CZRKSMTPMessage m;
  m.SetMime(true);
  m.GetRootPart().SetCharset("windows-1252");
  m.AddTextBody("first");
  const CZRKSMTPBodyPart& root = m.GetRootPart();
  EXPECT_EQ(root.GetContentType(), "multipart/mixed");
  EXPECT_EQ(root.GetText(), "This is a multi-part message in MIME format");
  ASSERT_EQ(root.GetNumberOfChildBodyParts(), 1u);
  EXPECT_EQ(root.GetChildBodyPart(0)->GetText(), "first");
  EXPECT_EQ(root.GetChildBodyPart(0)->GetCharset(), "windows-1252");
  // A second text replaces the first part's text instead of adding a part.
  m.AddTextBody("second");
  ASSERT_EQ(root.GetNumberOfChildBodyParts(), 1u);
  EXPECT_EQ(root.GetChildBodyPart(0)->GetText(), "second");
}

TEST(Mime, PlainMessageTextGoesToTheRoot) {
  CZRKSMTPMessage m;
  m.AddTextBody("line\nnext");
  EXPECT_EQ(m.GetRootPart().GetText(), "line\r\nnext");
  EXPECT_EQ(m.GetRootPart().GetNumberOfChildBodyParts(), 0u);
}

TEST(Mime, MessageWithTextAndAttachmentHasTheFullStructure) {
  TempDir dir;
  const std::string content = "Time\tTemp\n12:00\t21.5\n";
  CZRKSMTPMessage m;
  m.AddTextBody("See the log.\n.\nEnd");
  m.AddAttachment(dir.File("log.txt", content), "", "text/tab-separated-values");
  EXPECT_TRUE(m.GetMime());
  const CZRKSMTPBodyPart& root = m.GetRootPart();
  ASSERT_EQ(root.GetNumberOfChildBodyParts(), 2u);
  EXPECT_EQ(root.GetChildBodyPart(0)->GetText(), "See the log.\r\n.\r\nEnd");
  EXPECT_EQ(root.GetChildBodyPart(1)->GetTitle(), "log.txt");

  const std::string b = root.GetBoundary();
  const std::string data = m.GetHeader() + "\r\n" + Transmit(root, true);
  EXPECT_NE(data.find("Content-Type: multipart/mixed; boundary=\"" + b + "\"\r\n"), std::string::npos);
  const std::string expectedBody =
      "This is a multi-part message in MIME format"
      "\r\n--" + b + "\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
      "See the log.=0D=0A.=0D=0AEnd"
      "\r\n\r\n--" + b + "\r\nContent-Type: text/tab-separated-values; name=\"log.txt\"\r\n"
      "Content-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment; filename=\"log.txt\"\r\n\r\n" +
      km7::Base64Encode(content) + "\r\n--" + b + "--";
  EXPECT_EQ(Transmit(root, true), expectedBody);
  // Nothing in the data can end it early.
  EXPECT_EQ(data.find("\r\n.\r\n"), std::string::npos);
}

// --- refusing header injection ------------------------------------------------------

TEST(Validate, CleanMessagePasses) {
  CZRKSMTPMessage m = AlarmMessage();
  EXPECT_EQ(m.FindUnsafeField(), "");
  EXPECT_NO_THROW(m.Validate());
  m.SetSubject("line\r\nBcc: evil@x");  // the subject is always encoded
  EXPECT_EQ(m.FindUnsafeField(), "");
}

TEST(Validate, LineBreaksAnywhereInAddressesOrHeaderFieldsAreRefused) {
  struct Case {
    const char* where;
    void (*spoil)(CZRKSMTPMessage&);
  };
  const Case cases[] = {
      {"From address", [](CZRKSMTPMessage& m) { m.SetFrom(CZRKSMTPAddress("a\r\nBcc: x", "f@x")); }},
      {"To address 2", [](CZRKSMTPMessage& m) { m.GetTo()[1].SetEmailAddress("n@x>\r\nRCPT TO:<e@x"); }},
      {"Cc address 1", [](CZRKSMTPMessage& m) { m.GetCc()[0].SetFriendlyName("Boss\n"); }},
      {"Bcc address 1", [](CZRKSMTPMessage& m) { m.GetBcc()[0].SetEmailAddress("a@x\rDATA"); }},
      {"To address 1", [](CZRKSMTPMessage& m) { m.GetTo()[0].SetEmailAddress(std::string("a@x\0b", 5)); }},
      {"Reply-To address", [](CZRKSMTPMessage& m) { m.SetReplyTo(CZRKSMTPAddress("", "r@x\n")); }},
      {"X-Mailer", [](CZRKSMTPMessage& m) { m.SetXMailer("v1\r\nX-Evil: 1"); }},
      {"Envelope id", [](CZRKSMTPMessage& m) { m.SetEnvelopeId("ID\r\nRSET"); }},
      {"Custom header line 1", [](CZRKSMTPMessage& m) { m.AddCustomHeader("X-A: 1\r\nX-B: 2"); }},
      {"Custom header line 1", [](CZRKSMTPMessage& m) { m.AddCustomHeader(""); }},
      {"body part charset", [](CZRKSMTPMessage& m) { m.GetRootPart().SetCharset("x\r\n"); }},
  };
  for (const auto& c : cases) {
    CZRKSMTPMessage m = AlarmMessage();
    c.spoil(m);
    EXPECT_EQ(m.FindUnsafeField(), c.where);
    try {
      m.Validate();
      ADD_FAILURE() << c.where << " not refused";
    } catch (const CZRKSMTPException& e) {
      EXPECT_EQ(e.GetErrorCode(), 0x80040000u | 561u);
      EXPECT_EQ(e.GetLastResponse(), c.where);
    }
  }
}

TEST(Validate, ChildPartFieldsAreChecked) {
  CZRKSMTPMessage m;
  m.SetMime(true);
  m.AddTextBody("x");
  m.GetRootPart().GetChildBodyPart(0)->SetTitle("a\"\r\nContent-Type: text/html");
  EXPECT_EQ(m.FindUnsafeField(), "child 1 body part title");
}

TEST(Address, IsSafe) {
  EXPECT_TRUE(CZRKSMTPAddress("Name", "a@x").IsSafe());
  EXPECT_FALSE(CZRKSMTPAddress("Name\n", "a@x").IsSafe());
  EXPECT_FALSE(CZRKSMTPAddress("Name", "a@x\r").IsSafe());
}

}  // namespace

TEST(Address, FormatQuotesEscapesOrEncodesTheName) {
  struct Case {
    std::string name;
    std::string charset;
    std::string formatted;
  };
  const std::vector<Case> cases = {
      {"", "utf-8", "x@y"},
      {"Ops Team", "utf-8", "\"Ops Team\" <x@y>"},
      {"Say \"hi\"", "iso-8859-1", "\"Say \\\"hi\\\"\" <x@y>"},
      {"back\\slash", "iso-8859-1", "\"back\\\\slash\" <x@y>"},
      {"Zo\xeb", "iso-8859-1", "=?iso-8859-1?Q?Zo=EB?= <x@y>"},
      {"Zo\xc3\xab, R.", "utf-8", "=?utf-8?Q?Zo=C3=AB=2C=20R=2E?= <x@y>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CZRKSMTPAddress(c.name, "x@y").Format(c.charset), c.formatted) << c.name;
  }
  // A long name becomes several words on folded lines.
  const std::string formatted = CZRKSMTPAddress(std::string(60, '\xe9'), "x@y").Format("iso-8859-1");
  EXPECT_NE(formatted.find("?=\r\n =?iso-8859-1?Q?"), std::string::npos) << formatted;
  for (size_t start = 0, end; start < formatted.size(); start = end + 2) {
    end = formatted.find("\r\n", start);
    if (end == std::string::npos) end = formatted.size();
    EXPECT_LE(end - start, 82u);  // a word, its blank and " <x@y>"
  }
}

TEST(Attachment, TitlesAreQuotedOrEncodedInTheHeader) {
  struct Case {
    std::string title;
    std::string charset;
    std::string name;
    std::string filename;
  };
  const std::vector<Case> cases = {
      {"we\"ird.dat", "iso-8859-1", "name=\"we\\\"ird.dat\"", "filename=\"we\\\"ird.dat\""},
      {"we\"ird \xfc.dat", "iso-8859-1", "name*=iso-8859-1''we%22ird%20%FC.dat",
       "filename*=iso-8859-1''we%22ird%20%FC.dat"},
  };
  for (const Case& c : cases) {
    CZRKSMTPBodyPart parent;
    CZRKSMTPBodyPart part;
    part.SetFilename("/nonexistent/file");
    part.SetTitle(c.title);
    part.SetCharset(c.charset);
    part.SetContentType("application/octet-stream");
    parent.AddChildBodyPart(part);
    const std::string header = parent.GetChildBodyPart(0)->GetHeader();
    EXPECT_NE(header.find("Content-Type: application/octet-stream; " + c.name + "\r\n"), std::string::npos)
        << header;
    EXPECT_NE(header.find("Content-Disposition: attachment; " + c.filename + "\r\n"), std::string::npos)
        << header;
  }
}
