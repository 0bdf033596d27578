// The SMTP session against scripted servers on loopback: greeting and
// introduction, every command/reply pair with its failure id, the envelope
// with DSN, dot-stuffing, Disconnect in each state, refusal of line breaks,
// and sessions through each kind of proxy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPMessage.h"
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/SessionScripts.h"
#include "smtp/support/ScriptedServer.h"
#include "smtp/support/TestSession.h"

// The scripted servers, the session and the codes they raise.
using namespace km7::test;


TEST(SMTPSessionTest, ConnectsSendsAndQuits) {
  const CZRKSMTPMessage sent = SimpleMessage("Line one\r\nLine two\r\n");
  std::string data;
  ScriptedServer server([&](ScriptedPeer& p) {
    Greet(p, "HELO client.test\r\n");
    p.Expect("MAIL FROM:<from@example.org>\r\n");
    p.Send("250 ok\r\n");
    p.Expect("RCPT TO:<to@example.org>\r\n");
    p.Send("250 ok\r\n");
    p.Expect("DATA\r\n");
    p.Send("354 go\r\n");
    data = p.ReadUntil("\r\n.\r\n");
    p.Send("250 queued\r\n");
    AnswerQuit(p);
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  EXPECT_TRUE(s.IsConnected());
  CZRKSMTPMessage message = sent;
  s.SendMessage(message);
  EXPECT_EQ(s.GetLastResponseCode(), 250);
  EXPECT_EQ(s.GetLastResponseText(), "250 queued\r\n");
  s.Disconnect(true);
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(data.rfind("From: ", 0), 0u);
  EXPECT_NE(data.find("\r\nSubject: "), std::string::npos);
  EXPECT_EQ(BodyOf(data), "Line one\r\nLine two\r\n\r\n.\r\n");
}

TEST(SMTPSessionTest, ReplyArrivingInFragmentsIsAssembledOverTheSocket) {
  ScriptedServer server([](ScriptedPeer& p) {
    p.SendInPieces({"22", "0-first line\r\n220-sec", "ond\r\n", "220 third\r\n"});
    p.Expect("EHLO ");
    p.Send("250-test\r\n250 OK\r\n");
    AnswerQuit(p);
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::AutoDetect, "", "", server.Port());
  s.Disconnect(true);
  EXPECT_EQ(server.Finish(), "");
}

TEST(SMTPSessionTest, GreetingThatNeverCompletesFailsAfterTheTimeOutWithoutQuit) {
  ScriptedServer server([](ScriptedPeer& p) {
    p.Send("220-more to come\r\n");  // and then nothing
    // A QUIT would only wait for a second time-out.
    if (!p.WaitClosed()) throw ScriptError("not closed");
  });
  Session s;
  s.SetTimeout(2000);
  const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port()); });
  EXPECT_EQ(f.code, Itf(km7::IDS_NO_ANSWER));
  EXPECT_EQ(f.lastResponse, "220-more to come\r\n");
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received(), "");
}

TEST(SMTPSessionTest, RefusedGreetingSendsQuitAndCloses) {
  ScriptedServer server([](ScriptedPeer& p) {
    p.Send("554 no service\r\n");
    p.Expect("QUIT\r\n");
    p.Send("221 bye\r\n");
    if (!p.WaitClosed()) throw ScriptError("socket left open");
  });
  Session s;
  const Failure f = Catch([&] { s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port()); });
  EXPECT_EQ(f.code, Itf(512));
  EXPECT_EQ(f.lastResponse, "554 no service\r\n");
  EXPECT_FALSE(s.IsConnected());
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(server.Received(), "QUIT\r\n");
}

// ---------------------------------------------------------------------------
// Each command/reply pair failing

namespace {

struct PairCase {
  const char* name;
  int failAt;  // 0 greeting, 1 HELO/EHLO, 2 MAIL, 3 RCPT, 4 DATA, 5 end of data
  bool ehlo;
  const char* reply;
  uint32_t id;
};

class CommandReplyTest : public testing::TestWithParam<PairCase> {};

}  // namespace

TEST_P(CommandReplyTest, FailureRaisesItsIdWithTheReply) {
  const PairCase& c = GetParam();
  ScriptedServer server([&c](ScriptedPeer& p) {
    auto step = [&](int index, const char* expect, const char* ok) {
      if (expect != nullptr) p.Expect(expect);
      p.Send(index == c.failAt ? c.reply : ok);
      return index != c.failAt;
    };
    if (!step(0, nullptr, "220 hi\r\n") || !step(1, c.ehlo ? "EHLO " : "HELO ", "250 hi\r\n") ||
        !step(2, "MAIL FROM:", "250 ok\r\n") || !step(3, "RCPT TO:", "250 ok\r\n") ||
        !step(4, "DATA", "354 go\r\n")) {
      AnswerQuit(p);
      return;
    }
    p.ReadUntil("\r\n.\r\n");
    p.Send(c.reply);
    AnswerQuit(p);
  });
  Session s;
  const Failure f = Catch([&] {
    s.Connect("127.0.0.1", c.ehlo ? SMTPAuthMethod::AutoDetect : SMTPAuthMethod::None, "", "", server.Port());
    CZRKSMTPMessage m = SimpleMessage();
    s.SendMessage(m);
  });
  EXPECT_EQ(f.code, Itf(c.id));
  EXPECT_EQ(f.lastResponse, c.reply);
  // Connect failures leave the session closed; after a sending failure it
  // stays connected for the caller's Disconnect.
  EXPECT_EQ(s.IsConnected(), c.failAt >= 2);
  if (s.IsConnected()) s.Disconnect(true);
  EXPECT_EQ(server.Finish(), "");
}

INSTANTIATE_TEST_SUITE_P(Pairs, CommandReplyTest,
                         testing::Values(PairCase{"greeting", 0, false, "421 busy\r\n", 512},
                                         PairCase{"helo", 1, false, "500 what\r\n", 517},
                                         PairCase{"ehlo", 1, true, "502 no ehlo\r\n", 516},
                                         PairCase{"mail_from", 2, false, "550 sender refused\r\n", 519},
                                         PairCase{"rcpt_to", 3, false, "550 no such user\r\n", 524},
                                         PairCase{"data", 4, false, "554 no data\r\n", 520},
                                         PairCase{"end_of_data", 5, false, "552 too big\r\n", 521}),
                         [](const testing::TestParamInfo<PairCase>& info) { return std::string(info.param.name); });

TEST(SMTPSessionTest, RecipientAnswered251IsAcceptedAnd550EndsTheTransaction) {
  ScriptedServer server([](ScriptedPeer& p) {
    Greet(p);
    p.Expect("MAIL FROM:");
    p.Send("250 ok\r\n");
    p.Expect("RCPT TO:<a@x>");
    p.Send("251 forwarded\r\n");
    p.Expect("RCPT TO:<b@x>");
    p.Send("550 unknown\r\n");
    // No third recipient, no DATA: the next thing is QUIT.
    AnswerQuit(p);
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  CZRKSMTPMessage m = SimpleMessage();
  m.GetTo() = {CZRKSMTPAddress("", "a@x"), CZRKSMTPAddress("", "b@x")};
  m.GetCc().push_back(CZRKSMTPAddress("", "c@x"));
  const Failure f = Catch([&] { s.SendMessage(m); });
  EXPECT_EQ(f.code, Itf(524));
  EXPECT_EQ(f.lastResponse, "550 unknown\r\n");
  s.Disconnect(true);
  EXPECT_EQ(server.Finish(), "");
}

// A server that offers delivery-status notifications (the parameters go
// only to such a one).
void GreetWithDsn(ScriptedPeer& p) {
  p.Send("220 test.example ESMTP\r\n");
  p.Expect("EHLO ");
  p.Send("250-test.example\r\n250-DSN\r\n250 HELP\r\n");
}

TEST(SMTPSessionTest, RecipientsInToCcBccOrderWithDsn) {
  std::vector<std::string> commands;
  ScriptedServer server([&](ScriptedPeer& p) {
    GreetWithDsn(p);
    for (int i = 0; i < 4; ++i) {
      commands.push_back(p.ReadLine());
      p.Send("250 ok\r\n");
    }
    p.Expect("DATA");
    p.Send("354 go\r\n");
    p.ReadUntil("\r\n.\r\n");
    p.Send("250 ok\r\n");
    AnswerQuit(p);
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::AutoDetect, "", "", server.Port());
  CZRKSMTPMessage m = SimpleMessage();
  m.GetCc().push_back(CZRKSMTPAddress("", "cc@x"));
  m.GetBcc().push_back(CZRKSMTPAddress("", "bcc@x"));
  m.SetDSNFlags(3);
  m.SetDSNReturnFull(true);
  s.SendMessage(m);
  s.Disconnect(true);
  ASSERT_EQ(server.Finish(), "");
  const std::string& envid = m.GetEnvelopeId();
  ASSERT_EQ(envid.size(), 32u);
  EXPECT_EQ(envid.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands[0], "MAIL FROM:<from@example.org> RET=FULL ENVID=" + envid + "\r\n");
  EXPECT_EQ(commands[1], "RCPT TO:<to@example.org> NOTIFY=SUCCESS,FAILURE\r\n");
  EXPECT_EQ(commands[2], "RCPT TO:<cc@x> NOTIFY=SUCCESS,FAILURE\r\n");
  EXPECT_EQ(commands[3], "RCPT TO:<bcc@x> NOTIFY=SUCCESS,FAILURE\r\n");
}

TEST(SMTPSessionTest, DsnNeverAndAGivenEnvelopeIdIsKept) {
  std::vector<std::string> commands;
  ScriptedServer server([&](ScriptedPeer& p) {
    GreetWithDsn(p);
    for (int i = 0; i < 2; ++i) {
      commands.push_back(p.ReadLine());
      p.Send("250 ok\r\n");
    }
    p.Expect("DATA");
    p.Send("554 no\r\n");
    AnswerQuit(p);
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::AutoDetect, "", "", server.Port());
  CZRKSMTPMessage m = SimpleMessage();
  m.SetDSNFlags(0);
  m.SetEnvelopeId("ABC123");
  EXPECT_EQ(Catch([&] { s.SendMessage(m); }).code, Itf(520));
  s.Disconnect(true);
  ASSERT_EQ(server.Finish(), "");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[0], "MAIL FROM:<from@example.org> RET=HDRS ENVID=ABC123\r\n");
  EXPECT_EQ(commands[1], "RCPT TO:<to@example.org> NOTIFY=NEVER\r\n");
}

TEST(SMTPSessionTest, DotStuffingOfThePlainBody) {
  struct Case {
    std::string body;
    std::string stuffed;
  };
  const std::vector<Case> cases = {
      {".\r\nafter\r\n", "..\r\nafter\r\n"},
      {"first\r\n.\r\nlast\r\n", "first\r\n..\r\nlast\r\n"},
      {"first\r\n.hidden\r\n", "first\r\n..hidden\r\n"},
      // A first line starting with a dot is a line start of the DATA stream
      // as well; left alone, the server would drop that dot.
      {".x first\r\n", "..x first\r\n"},
      {"no dots\r\n", "no dots\r\n"},
  };
  for (const Case& c : cases) {
    std::string data;
    CZRKSMTPMessage m = SimpleMessage(c.body);
    ScriptedServer server([&](ScriptedPeer& p) {
      Greet(p);
      p.Expect("MAIL");
      p.Send("250 ok\r\n");
      p.Expect("RCPT");
      p.Send("250 ok\r\n");
      p.Expect("DATA");
      p.Send("354 go\r\n");
      data = p.ReadUntil("\r\n.\r\n");
      p.Send("250 ok\r\n");
      AnswerQuit(p);
    });
    Session s;
    s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
    s.SendMessage(m);
    s.Disconnect(true);
    ASSERT_EQ(server.Finish(), "");
    EXPECT_EQ(BodyOf(data), c.stuffed + "\r\n.\r\n") << c.body;
  }
}

TEST(SMTPSessionTest, MimeMessageIsSentPartByPart) {
  std::string data;
  CZRKSMTPMessage m = SimpleMessage();
  m.SetMime(true);
  m.AddTextBody("text part\r\n.dot line\r\n");
  ScriptedServer server([&](ScriptedPeer& p) {
    Greet(p);
    p.Expect("MAIL");
    p.Send("250 ok\r\n");
    p.Expect("RCPT");
    p.Send("250 ok\r\n");
    p.Expect("DATA");
    p.Send("354 go\r\n");
    data = p.ReadUntil("\r\n.\r\n");
    p.Send("250 ok\r\n");
    AnswerQuit(p);
  });
  Session s;
  s.Connect("127.0.0.1", SMTPAuthMethod::None, "", "", server.Port());
  s.SendMessage(m);
  s.Disconnect(true);
  ASSERT_EQ(server.Finish(), "");
  const CZRKSMTPBodyPart& root = m.GetRootPart();
  std::string expected = root.GetBody(true);
  for (size_t i = 0; i < root.GetNumberOfChildBodyParts(); ++i) {
    const CZRKSMTPBodyPart& child = *root.GetChildBodyPart(i);
    expected += child.GetHeader() + child.GetBody(true);
  }
  if (root.GetNumberOfChildBodyParts() > 0) expected += root.GetFooter();
  EXPECT_EQ(BodyOf(data), expected + "\r\n.\r\n");
  EXPECT_NE(data.find("MIME-Version: 1.0\r\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Disconnect in each state
