// Sending a message against scripted servers: the travel of a plain text by
// what the server offers, DSN only where offered, the null sender, files
// opened before MAIL FROM, content streamed intact, and a connection given up
// (without QUIT) when the content cannot be completed.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "platform/TempDir.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPMessage.h"
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/ScriptedServer.h"
#include "smtp/support/TestSession.h"

using km7::test::ScriptedPeer;
using km7::test::Itf;
using km7::test::Win32;
using km7::test::ScriptedServer;
using km7::test::ScriptError;
using km7::test::Session;

namespace {

uint32_t CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CZRKSMTPException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

// Greets; with extensions (one per line) the client must say EHLO.
void Greet(ScriptedPeer& p, const std::vector<std::string>& extensions) {
  p.Send("220 test.example ESMTP\r\n");
  if (extensions.empty()) {
    p.Expect("HELO ");
    p.Send("250 test.example\r\n");
    return;
  }
  p.Expect("EHLO ");
  std::string reply = "250-test.example\r\n";
  for (const auto& e : extensions) reply += "250-" + e + "\r\n";
  p.Send(reply + "250 HELP\r\n");
}

// Takes one message: the envelope commands and the DATA text.
struct Received {
  std::vector<std::string> envelope;
  std::string data;
};

void TakeMessage(ScriptedPeer& p, Received& r, size_t recipients = 1) {
  r.envelope.push_back(p.Expect("MAIL FROM:"));
  p.Send("250 ok\r\n");
  for (size_t i = 0; i < recipients; ++i) {
    r.envelope.push_back(p.Expect("RCPT TO:"));
    p.Send("250 ok\r\n");
  }
  p.Expect("DATA\r\n");
  p.Send("354 go\r\n");
  r.data = p.ReadUntil("\r\n.\r\n");
  p.Send("250 queued\r\n");
}

void AnswerQuit(ScriptedPeer& p) {
  p.Expect("QUIT");
  p.Send("221 bye\r\n");
}

std::string HeaderOf(const std::string& data) { return data.substr(0, data.find("\r\n\r\n") + 2); }
std::string BodyOf(const std::string& data) { return data.substr(data.find("\r\n\r\n") + 4); }

CZRKSMTPMessage Message(const std::string& text) {
  CZRKSMTPMessage m;
  m.SetFrom(CZRKSMTPAddress("", "from@example.org"));
  m.GetTo().push_back(CZRKSMTPAddress("", "to@example.org"));
  m.SetSubject("s");
  m.SetXMailer("");
  m.AddTextBody(text);
  return m;
}

}  // namespace

TEST(SMTPSendTest, PlainTextTravelsByWhatTheServerOffers) {
  const std::string eightBit = "30.4\xb0" "C\r\nline two \r\n";
  const std::string longLine = std::string(1500, 'w') + "\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> extensions;
    std::string text;
    std::string mailFrom;
    const char* encodingLine;  // nullptr: no MIME lines at all
    std::string body;          // before the end-of-data mark
  };
  const std::vector<Case> cases = {
      {"7-bit", {}, "plain\r\n", "MAIL FROM:<from@example.org>\r\n", nullptr, "plain\r\n"},
      {"8-bit to 8BITMIME", {"8BITMIME"}, eightBit, "MAIL FROM:<from@example.org> BODY=8BITMIME\r\n",
       "Content-Transfer-Encoding: 8bit\r\n", eightBit},
      {"8-bit without 8BITMIME", {"SIZE 100000"}, eightBit, "MAIL FROM:<from@example.org>\r\n",
       "Content-Transfer-Encoding: quoted-printable\r\n", "30.4=B0C\r\nline two=20\r\n"},
      {"8-bit after HELO", {}, eightBit, "MAIL FROM:<from@example.org>\r\n",
       "Content-Transfer-Encoding: quoted-printable\r\n", "30.4=B0C\r\nline two=20\r\n"},
      {"long line to 8BITMIME", {"8bitmime"}, longLine, "MAIL FROM:<from@example.org>\r\n",
       "Content-Transfer-Encoding: quoted-printable\r\n", km7::QPEncode(longLine, km7::QP_HARD_LINE_BREAKS)},
  };
  for (const Case& c : cases) {
    Received r;
    ScriptedServer server([&](ScriptedPeer& p) {
      Greet(p, c.extensions);
      TakeMessage(p, r);
      AnswerQuit(p);
    });
    Session s;
    s.Connect("127.0.0.1", c.extensions.empty() ? SMTPAuthMethod::None : SMTPAuthMethod::AutoDetect, "", "",
              server.Port());
    CZRKSMTPMessage m = Message(c.text);
    s.SendMessage(m);
    s.Disconnect(true);
    ASSERT_EQ(server.Finish(), "") << c.name;
    EXPECT_EQ(r.envelope[0], c.mailFrom) << c.name;
    const std::string header = HeaderOf(r.data);
    if (c.encodingLine == nullptr) {
      EXPECT_EQ(header.find("MIME-Version"), std::string::npos) << c.name;
      EXPECT_EQ(header.find("Content-Transfer-Encoding"), std::string::npos) << c.name;
    } else {
      EXPECT_NE(header.find("MIME-Version: 1.0\r\n"), std::string::npos) << c.name;
      EXPECT_NE(header.find(c.encodingLine), std::string::npos) << c.name << "\n" << header;
    }
    EXPECT_EQ(BodyOf(r.data), c.body + "\r\n.\r\n") << c.name;
  }
}

TEST(SMTPSendTest, DsnParametersOnlyWhereOfferedAndTheNullSender) {
  struct Case {
    const char* name;
    std::vector<std::string> extensions;
    std::string from;
    std::string mailFrom;  // expected, with ENVID made when DSN is offered
    std::string rcptTo;
  };
  const std::vector<Case> cases = {
      {"no DSN", {"8BITMIME"}, "from@example.org", "MAIL FROM:<from@example.org>\r\n",
       "RCPT TO:<to@example.org>\r\n"},
      {"HELO", {}, "from@example.org", "MAIL FROM:<from@example.org>\r\n", "RCPT TO:<to@example.org>\r\n"},
      {"DSN", {"DSN"}, "from@example.org", "MAIL FROM:<from@example.org> RET=HDRS ENVID=",
       "RCPT TO:<to@example.org> NOTIFY=FAILURE\r\n"},
      {"null sender", {}, "<>", "MAIL FROM:<>\r\n", "RCPT TO:<to@example.org>\r\n"},
      {"empty sender", {}, "", "MAIL FROM:<>\r\n", "RCPT TO:<to@example.org>\r\n"},
  };
  for (const Case& c : cases) {
    Received r;
    ScriptedServer server([&](ScriptedPeer& p) {
      Greet(p, c.extensions);
      TakeMessage(p, r);
      AnswerQuit(p);
    });
    Session s;
    s.Connect("127.0.0.1", c.extensions.empty() ? SMTPAuthMethod::None : SMTPAuthMethod::AutoDetect, "", "",
              server.Port());
    CZRKSMTPMessage m = Message("text\r\n");
    m.SetFrom(CZRKSMTPAddress(std::string_view(c.from)));
    m.SetDSNFlags(CZRKSMTPMessage::DSN_FAILURE);
    s.SendMessage(m);
    s.Disconnect(true);
    ASSERT_EQ(server.Finish(), "") << c.name;
    EXPECT_EQ(r.envelope[0].rfind(c.mailFrom, 0), 0u) << c.name << ": " << r.envelope[0];
    EXPECT_EQ(r.envelope[1], c.rcptTo) << c.name;
    // An envelope id is made only for a server that takes it.
    EXPECT_EQ(m.GetEnvelopeId().empty(), c.mailFrom.find("ENVID") == std::string::npos) << c.name;
  }
}

TEST(SMTPSendTest, AnUnreadableAttachmentFailsBeforeMailFrom) {
  km7::test::TempDir dir;
  ScriptedServer server([&](ScriptedPeer& p) {
    Greet(p, {});
    AnswerQuit(p);  // the next thing the client says
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  CZRKSMTPMessage m = Message("see attached\r\n");
  m.AddAttachment(dir / "missing.bin");
  EXPECT_EQ(CodeOf([&] { s.SendMessage(m); }), Win32(km7::ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(s.IsConnected());
  s.Disconnect(true);
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received().find("MAIL"), std::string::npos);
}

TEST(SMTPSendTest, AttachmentLargerThanOneBlockArrivesIntact) {
  km7::test::TempDir dir;
  std::mt19937 rng(11);
  std::string bytes(3 * 57 * 4096 + 1000, '\0');
  for (auto& b : bytes) b = static_cast<char>(rng());
  const std::string path = dir / "data.bin";
  std::ofstream(path, std::ios::binary) << bytes;

  Received r;
  ScriptedServer server([&](ScriptedPeer& p) {
    Greet(p, {});
    TakeMessage(p, r);
    AnswerQuit(p);
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  CZRKSMTPMessage m = Message("see attached\r\n");
  m.AddAttachment(path);
  s.SendMessage(m);
  s.Disconnect(true);
  ASSERT_EQ(server.Finish(), "");
  const std::string base64 = km7::Base64Encode(bytes);
  EXPECT_NE(r.data.find("\r\n\r\n" + base64 + "\r\n--"), std::string::npos);
}

TEST(SMTPSendTest, FailuresWhileTheContentIsSentCloseWithoutQuit) {
  struct Case {
    const char* name;
    bool serverReads;  // false: the server stops reading after 354
  };
  for (const Case c : {Case{"server stops reading", false}, Case{"no reply to the end of data", true}}) {
    std::promise<void> clientFailed;
    auto failed = clientFailed.get_future();
    std::string afterData;
    ScriptedServer server(
        [&](ScriptedPeer& p) {
          Greet(p, {});
          p.Expect("MAIL");
          p.Send("250 ok\r\n");
          p.Expect("RCPT");
          p.Send("250 ok\r\n");
          p.Expect("DATA");
          p.Send("354 go\r\n");
          if (c.serverReads) {
            p.ReadUntil("\r\n.\r\n");
          } else if (failed.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
            throw ScriptError("the client never gave up");
          }
          if (!p.WaitClosed()) throw ScriptError("not closed");
        },
        60000);
    Session s;
    s.SetTimeout(300);
    s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
    // More than every socket buffer between us holds.
    CZRKSMTPMessage m = Message(c.serverReads ? "short\r\n" : std::string(24 << 20, 'x'));
    const uint32_t code = CodeOf([&] { s.SendMessage(m); });
    clientFailed.set_value();
    EXPECT_NE(code, 0u) << c.name;
    if (c.serverReads) {
      EXPECT_EQ(code, Itf(km7::IDS_NO_ANSWER)) << c.name;
    }
    EXPECT_FALSE(s.IsConnected()) << c.name;
    EXPECT_NO_THROW(s.Disconnect(true)) << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
    const std::string received = server.Received();
    EXPECT_NE(received.substr(received.size() - 8), "QUIT\r\n") << c.name;
    EXPECT_EQ(received.find("\r\nQUIT\r\n"), std::string::npos) << c.name;
  }
}

TEST(SMTPSendTest, PreparedContentGoesAsItIsWithCrLfAndDotStuffing) {
  struct Case {
    const char* name;
    std::vector<std::string> extensions;
    std::string content;
    std::string mailFrom;
    std::string data;
  };
  const std::vector<Case> cases = {
      {"unix line ends", {}, "Subject: x\n\n.dot\nline\n", "MAIL FROM:<from@example.org>\r\n",
       "Subject: x\r\n\r\n..dot\r\nline\r\n.\r\n"},
      {"already CRLF, no final line end", {}, "Subject: x\r\n\r\nbody", "MAIL FROM:<from@example.org>\r\n",
       "Subject: x\r\n\r\nbody\r\n.\r\n"},
      {"8-bit to 8BITMIME", {"8BITMIME"}, "Subject: x\r\n\r\n30\xb0\r\n",
       "MAIL FROM:<from@example.org> BODY=8BITMIME\r\n", "Subject: x\r\n\r\n30\xb0\r\n.\r\n"},
  };
  for (const Case& c : cases) {
    Received r;
    ScriptedServer server([&](ScriptedPeer& p) {
      Greet(p, c.extensions);
      TakeMessage(p, r);
      AnswerQuit(p);
    });
    Session s;
    s.Connect("127.0.0.1", c.extensions.empty() ? SMTPAuthMethod::None : SMTPAuthMethod::AutoDetect, "", "",
              server.Port());
    CZRKSMTPMessage m = Message("ignored: the prepared text replaces the built one");
    m.SetPreparedContent(c.content);
    s.SendMessage(m);
    s.Disconnect(true);
    ASSERT_EQ(server.Finish(), "") << c.name;
    EXPECT_EQ(r.envelope[0], c.mailFrom) << c.name;
    EXPECT_EQ(r.data, c.data) << c.name;
  }
}

TEST(SMTPSendTest, TranscriptShowsTheDialogueButNeitherCredentialsNorContent) {
  ScriptedServer server([](ScriptedPeer& p) {
    Greet(p, {"AUTH PLAIN"});
    p.Expect("AUTH PLAIN\r\n");
    p.Send("334 \r\n");
    p.ReadLine();
    p.Send("235 ok\r\n");
    Received r;
    TakeMessage(p, r);
    AnswerQuit(p);
  });
  std::string transcript;
  Session s;
  s.SetTranscript([&](bool fromClient, std::string_view text) {
    transcript += fromClient ? "C: " : "S: ";
    transcript += text;
  });
  s.Connect("127.0.0.1", SMTPAuthMethod::Plain, "alice", "pa55word", server.Port());
  CZRKSMTPMessage m = Message("secret body text\r\n");
  s.SendMessage(m);
  s.Disconnect(true);
  ASSERT_EQ(server.Finish(), "");
  const std::string credential = km7::Base64Encode(std::string("\0alice\0pa55word", 15), km7::BASE64_NO_LINE_BREAKS);
  const std::vector<std::string> parts = {"S: 220 test.example", "C: EHLO client.test\r\n", "C: AUTH PLAIN\r\n",
                                 "C: (credentials, " + std::to_string(credential.size()) + " characters)\r\n",
                                 std::string("S: 235 ok\r\n"), std::string("C: MAIL FROM:<from@example.org>\r\n"),
                                 std::string("C: (message content, "), std::string("C: \r\n.\r\nS: 250 queued\r\n"),
                                 std::string("C: QUIT\r\nS: 221 bye\r\n")};
  for (const std::string& part : parts) {
    EXPECT_NE(transcript.find(part), std::string::npos) << part << "\n" << transcript;
  }
  EXPECT_EQ(transcript.find(credential), std::string::npos);
  EXPECT_EQ(transcript.find("pa55word"), std::string::npos);
  EXPECT_EQ(transcript.find("secret body text"), std::string::npos);
}
