// Composed messages read back by an independent MIME parser (the e-mail
// package of Debian's Python): what a mail client decodes must be exactly
// what was put in.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <vector>
#include <sstream>
#include <string>

#include "smtp/MessageStream.h"
#include "smtp/SMTPMessage.h"

namespace {

// Prints one "key=hex" line per decoded item.
constexpr const char* kReader = R"PY(
import sys, email, email.header, email.utils
raw = open(sys.argv[1], 'rb').read()
msg = email.message_from_bytes(raw)
out = []
def put(key, data):
    if isinstance(data, str):
        data = data.encode('latin-1')
    out.append(key + '=' + data.hex())
subject = b''
for text, charset in email.header.decode_header(msg['Subject']):
    subject += text if isinstance(text, bytes) else text.encode('latin-1')
put('subject', subject)
def raw_words(value):
    data = b''
    for text, charset in email.header.decode_header(value):
        data += text if isinstance(text, bytes) else text.encode('latin-1')
    return data
for field in ('To', 'From'):
    for i, (name, addr) in enumerate(email.utils.getaddresses(msg.get_all(field, []))):
        put('%s%d.name' % (field.lower(), i), raw_words(name))
        put('%s%d.addr' % (field.lower(), i), addr)
for i, line in enumerate(raw.split(b'\r\n\r\n')[0].split(b'\r\n')):
    put('line%d' % i, line)
put('defects', ' '.join(type(d).__name__ for d in msg.defects))
for i, part in enumerate(msg.walk()):
    put('part%d.type' % i, part.get_content_type())
    if part.is_multipart():
        continue
    put('part%d.data' % i, part.get_payload(decode=True) or b'')
    if part.get_filename():
        put('part%d.filename' % i, part.get_filename())
    put('part%d.defects' % i, ' '.join(type(d).__name__ for d in part.defects))
print('\n'.join(out))
)PY";

std::string Unhex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// The DATA text as the session sends it to a server with or without
// 8BITMIME, and as the server stores it (one leading dot of a line removed).
std::string Compose(const CZRKSMTPMessage& m, bool server8Bit = false) {
  std::string stuffed;
  const km7::smtp::OpenedAttachments files(m.GetRootPart());
  km7::smtp::SendMessageContent(m, m.PlainTextEncoding(server8Bit), files,
                                [&stuffed](std::string_view piece) { stuffed += piece; });
  std::string out;
  for (size_t i = 0; i < stuffed.size(); ++i) {
    const bool lineStart = i == 0 || (i >= 2 && stuffed[i - 2] == '\r' && stuffed[i - 1] == '\n');
    if (lineStart && stuffed[i] == '.') ++i;
    if (i < stuffed.size()) out += stuffed[i];
  }
  return out;
}

class MimeInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/km7-mime-XXXXXX";
    dir_ = mkdtemp(templ);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  // Decoded items by key.
  std::map<std::string, std::string> Read(const CZRKSMTPMessage& m, bool server8Bit = false) {
    const std::string script = Write("reader.py", kReader);
    const std::string mail = Write("mail.eml", Compose(m, server8Bit));
    const std::string command = "/usr/bin/python3 " + script + " " + mail;
    std::map<std::string, std::string> items;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
      ADD_FAILURE() << "cannot run " << command;
      return items;
    }
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    EXPECT_EQ(pclose(pipe), 0) << output;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) items[line.substr(0, eq)] = Unhex(line.substr(eq + 1));
    }
    return items;
  }

  std::string dir_;
};

TEST_F(MimeInterop, PlainAlarmMessage) {
  CZRKSMTPMessage m;
  CZRKSMTPMessage::ParseAddressList("\"Doe, Jane\" <jane@example.org>; ops@example.org", m.GetTo());
  m.SetFrom(CZRKSMTPAddress("", "km7@example.org"));
  m.SetSubject("Temperature above 30.0\xb0" "C in Computer Room");
  m.SetXMailer("");
  m.AddTextBody("Temperature 30.4\xb0" "C\nHumidity 41.0%\n");
  const auto items = Read(m);
  EXPECT_EQ(items.at("subject"), "Temperature above 30.0\xb0" "C in Computer Room");
  EXPECT_EQ(items.at("to0.name"), "Doe, Jane");
  EXPECT_EQ(items.at("to0.addr"), "jane@example.org");
  EXPECT_EQ(items.at("to1.addr"), "ops@example.org");
  EXPECT_EQ(items.at("defects"), "");
  EXPECT_EQ(items.at("part0.type"), "text/plain");
  EXPECT_EQ(items.at("part0.data"), "Temperature 30.4\xb0" "C\r\nHumidity 41.0%\r\n");
}

TEST_F(MimeInterop, MultipartWithLongSubjectEncodedTextAndAttachment) {
  std::string subject;
  for (int i = 0; i < 130; ++i) subject += static_cast<char>(i % 3 == 0 ? '\xe9' : 'a' + i % 26);
  subject += " ?_= end ";
  std::string text = ".leading dot\n";
  text += std::string(150, 'x') + " = \t trailing \n.\n";
  for (int c = 1; c < 256; ++c) text += static_cast<char>(c);
  std::mt19937 rng(7);
  std::string binary(3000, '\0');
  for (auto& c : binary) c = static_cast<char>(rng() & 0xFF);

  CZRKSMTPMessage m;
  m.SetMime(true);
  m.SetSubject(subject);
  CZRKSMTPMessage::ParseAddressList("a@example.org", m.GetTo());
  m.AddTextBody(text);
  m.AddAttachment(Write("readings.bin", binary));
  CZRKSMTPBodyPart b64;
  b64.SetText("base64 text part\n");
  b64.SetBase64(true);
  m.GetRootPart().AddChildBodyPart(b64);

  const auto items = Read(m);
  EXPECT_EQ(items.at("subject"), subject);
  EXPECT_EQ(items.at("defects"), "");
  EXPECT_EQ(items.at("part0.type"), "multipart/mixed");
  EXPECT_EQ(items.at("part1.type"), "text/plain");
  // The text comes back with its line ends as "\r\n", everything else intact.
  std::string expected;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
      expected += "\r\n";
    } else if (text[i] == '\r') {
      expected += "\r\n";
      ++i;
    } else {
      expected += text[i];
    }
  }
  // An attachment's header opens with an empty line, which the part before
  // it receives as a final line end.
  EXPECT_EQ(items.at("part1.data"), expected + "\r\n");
  EXPECT_EQ(items.at("part1.defects"), "");
  EXPECT_EQ(items.at("part2.type"), "application/octet-stream");
  EXPECT_EQ(items.at("part2.filename"), "readings.bin");
  EXPECT_EQ(items.at("part2.data"), binary);
  EXPECT_EQ(items.at("part3.data"), "base64 text part\r\n");
}

// The length of every encoded word in the header lines.
std::vector<size_t> WordLengths(const std::map<std::string, std::string>& items) {
  std::vector<size_t> lengths;
  const std::regex word("=\\?[^?]+\\?Q\\?[^?]*\\?=");
  for (const auto& [key, line] : items) {
    if (key.rfind("line", 0) != 0) continue;
    for (auto it = std::sregex_iterator(line.begin(), line.end(), word); it != std::sregex_iterator(); ++it) {
      lengths.push_back(static_cast<size_t>(it->length()));
    }
  }
  return lengths;
}

TEST_F(MimeInterop, Utf8SubjectWithAccentsAtEverySplitPoint) {
  // Accented letters (two bytes), euro signs (three) and plain letters, in
  // an order that puts a multi-byte character across every possible cut.
  const char* pieces[] = {"\xc3\xa9", "a", "\xe2\x82\xac", "\xc3\xbc", "b", "c"};
  for (size_t shift = 0; shift < 6; ++shift) {
    std::string subject;
    for (size_t i = 0; i < 200; ++i) subject += pieces[(i + shift) % 6];
    CZRKSMTPMessage m;
    m.GetRootPart().SetCharset("utf-8");
    m.SetSubject(subject);
    CZRKSMTPMessage::ParseAddressList("a@example.org", m.GetTo());
    m.AddTextBody("x");
    const auto items = Read(m);
    EXPECT_EQ(items.at("subject"), subject) << shift;
    EXPECT_EQ(items.at("defects"), "");
    const auto lengths = WordLengths(items);
    EXPECT_GT(lengths.size(), 5u);
    for (size_t n : lengths) EXPECT_LE(n, 75u) << shift;
  }
}

TEST_F(MimeInterop, DisplayNamesWithAccentsAndQuotes) {
  struct Case {
    std::string charset;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"iso-8859-1", "Zo\xeb"},
      {"utf-8", "Zo\xc3\xab"},
      {"utf-8", "No\xc3\xabl \"the\" <boss>, R."},
      {"iso-8859-1", "Plain \"quoted\" \\ name"},
  };
  for (const Case& c : cases) {
    CZRKSMTPMessage m;
    m.GetRootPart().SetCharset(c.charset);
    m.SetFrom(CZRKSMTPAddress(c.name, "from@example.org"));
    m.GetTo().push_back(CZRKSMTPAddress(c.name, "to@example.org"));
    m.GetTo().push_back(CZRKSMTPAddress("", "second@example.org"));
    m.AddTextBody("x");
    const auto items = Read(m);
    EXPECT_EQ(items.at("from0.name"), c.name);
    EXPECT_EQ(items.at("from0.addr"), "from@example.org");
    EXPECT_EQ(items.at("to0.name"), c.name);
    EXPECT_EQ(items.at("to0.addr"), "to@example.org");
    EXPECT_EQ(items.at("to1.addr"), "second@example.org");
    EXPECT_EQ(items.at("defects"), "");
    for (size_t n : WordLengths(items)) EXPECT_LE(n, 75u);
  }
}

TEST_F(MimeInterop, AttachmentNamesWithQuotesAndAccents) {
  struct Case {
    std::string title;
    std::string charset;
    std::string decoded;  // as the reader prints it (Latin-1)
  };
  const std::vector<Case> cases = {
      {"we\"ird \xfc.dat", "iso-8859-1", "we\"ird \xfc.dat"},
      {"we\"ird \xc3\xbc.dat", "utf-8", "we\"ird \xfc.dat"},
      {"we\"ird.dat", "iso-8859-1", "we\"ird.dat"},
      {"back\\slash;x=1.txt", "iso-8859-1", "back\\slash;x=1.txt"},
  };
  for (const Case& c : cases) {
    const std::string content = "attached bytes \x01\xff";
    CZRKSMTPMessage m;
    CZRKSMTPMessage::ParseAddressList("a@example.org", m.GetTo());
    m.AddTextBody("see attached");
    m.AddAttachment(Write("file.dat", content), c.title);
    m.GetRootPart().GetChildBodyPart(1)->SetCharset(c.charset);
    const auto items = Read(m);
    EXPECT_EQ(items.at("part2.filename"), c.decoded) << c.title;
    EXPECT_EQ(items.at("part2.data"), content) << c.title;
    EXPECT_EQ(items.at("part2.defects"), "") << c.title;
  }
}

TEST_F(MimeInterop, PlainBodyWithTrailingBlanksEightBitTextAndALongLine) {
  std::string text = "Temperature 30.4\xb0" "C  \r\ntab at the end\t\r\n" + std::string(2000, 'L') + "\r\n" +
                     ".leading dot\r\n\xe9t\xe9 \xe0 la plage \r\nlast line ends in a blank ";
  for (bool server8Bit : {false, true}) {
    CZRKSMTPMessage m;
    CZRKSMTPMessage::ParseAddressList("a@example.org", m.GetTo());
    m.AddTextBody(text);
    const auto items = Read(m, server8Bit);
    EXPECT_EQ(items.at("part0.data"), text) << server8Bit;
    EXPECT_EQ(items.at("defects"), "") << server8Bit;
    EXPECT_EQ(items.at("part0.defects"), "") << server8Bit;
    // The long line rules out 8bit: quoted-printable either way, every line short.
    const std::string mail = Compose(m, server8Bit);
    EXPECT_NE(mail.find("Content-Transfer-Encoding: quoted-printable\r\n"), std::string::npos);
    for (size_t start = mail.find("\r\n\r\n") + 4, end; (end = mail.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
      EXPECT_LE(end - start, 76u);
      EXPECT_TRUE(end == start || (mail[end - 1] != ' ' && mail[end - 1] != '\t')) << mail.substr(start, end - start);
    }
  }
  // Without the long line and with 8BITMIME the text goes as it is.
  const std::string short8Bit = "30.4\xb0" "C  \r\n\xe9t\xe9 ";
  CZRKSMTPMessage m;
  CZRKSMTPMessage::ParseAddressList("a@example.org", m.GetTo());
  m.AddTextBody(short8Bit);
  const auto items = Read(m, true);
  EXPECT_NE(Compose(m, true).find("Content-Transfer-Encoding: 8bit\r\n"), std::string::npos);
  EXPECT_EQ(items.at("part0.data"), short8Bit);
}

}  // namespace
