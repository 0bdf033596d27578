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
#include <sstream>
#include <string>

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
for i, (name, addr) in enumerate(email.utils.getaddresses(msg.get_all('To', []))):
    put('to%d.name' % i, name)
    put('to%d.addr' % i, addr)
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

// The DATA text as the session sends it, before dot-stuffing.
std::string Compose(const CZRKSMTPMessage& m) {
  std::function<std::string(const CZRKSMTPBodyPart&, bool)> transmit =
      [&](const CZRKSMTPBodyPart& part, bool root) {
        std::string out;
        if (!root) out += part.GetHeader();
        out += part.GetBody(false);
        for (size_t i = 0; i < part.GetNumberOfChildBodyParts(); ++i) {
          out += transmit(*part.GetChildBodyPart(i), false);
        }
        if (part.GetNumberOfChildBodyParts() > 0) out += part.GetFooter();
        return out;
      };
  const CZRKSMTPBodyPart& root = m.GetRootPart();
  const bool tree = root.GetNumberOfChildBodyParts() > 0 || m.GetMime();
  return m.GetHeader() + "\r\n" + (tree ? transmit(root, true) : root.GetText());
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
  std::map<std::string, std::string> Read(const CZRKSMTPMessage& m) {
    const std::string script = Write("reader.py", kReader);
    const std::string mail = Write("mail.eml", Compose(m));
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

}  // namespace
