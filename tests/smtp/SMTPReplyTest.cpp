// The session's pure parts: reply assembly, method detection, the envelope
// commands, and the error codes and texts of its exception.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"

using km7::smtp::ReplyAssembler;

namespace {

struct AssemblyCase {
  const char* name;
  std::vector<std::string> pieces;
  bool complete;
  int code;
  size_t completesAfter;  // piece index (1-based) at which it completes
};

class ReplyAssemblyTest : public testing::TestWithParam<AssemblyCase> {};

}  // namespace

TEST_P(ReplyAssemblyTest, CompletesExactlyWhenTheLastLineIsFinal) {
  const AssemblyCase& c = GetParam();
  ReplyAssembler reply;
  std::string all;
  size_t completedAt = 0;
  for (size_t i = 0; i < c.pieces.size(); ++i) {
    reply.Append(c.pieces[i].data(), c.pieces[i].size());
    for (char ch : c.pieces[i]) {
      if (ch != '\0') all += ch;
    }
    if (reply.Complete() && completedAt == 0) completedAt = i + 1;
  }
  EXPECT_EQ(reply.Complete(), c.complete);
  EXPECT_EQ(reply.Text(), all);
  if (c.complete) {
    EXPECT_EQ(reply.Code(), c.code);
    EXPECT_EQ(completedAt, c.completesAfter);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReplyAssemblyTest,
    testing::Values(
        AssemblyCase{"single", {"250 ok\r\n"}, true, 250, 1},
        AssemblyCase{"three lines whole", {"250-first\r\n250-second\r\n250 third\r\n"}, true, 250, 1},
        AssemblyCase{"three lines in pieces", {"250-first\r\n", "250-sec", "ond\r\n250 th", "ird\r\n"}, true, 250, 4},
        AssemblyCase{"split inside the code", {"25", "0 ok\r\n"}, true, 250, 2},
        AssemblyCase{"split before the line end", {"354 go ahead\r", "\n"}, true, 354, 2},
        AssemblyCase{"code alone completes", {"250\r\n"}, true, 250, 1},
        AssemblyCase{"code alone after hyphen lines", {"250-a\r\n", "250\r\n"}, true, 250, 2},
        AssemblyCase{"letters alone never complete", {"abc\r\n", "25\r\n"}, false, 0, 0},
        AssemblyCase{"hyphen lines only", {"250-a\r\n250-b\r\n"}, false, 0, 0},
        AssemblyCase{"no line end", {"220 ready"}, false, 0, 0},
        AssemblyCase{"too short", {"22 \r\n"}, false, 0, 0},
        AssemblyCase{"empty final line", {"250-a\r\n\r\n"}, false, 0, 0},
        AssemblyCase{"zero bytes are dropped", {std::string("220 hi\0junk", 11), "\r\n"}, true, 220, 2},
        AssemblyCase{"zero byte split from its line", {std::string("250 a\0", 6), std::string("\0b\r\n", 4)}, true,
                     250, 2},
        AssemblyCase{"zero byte before the line end", {std::string("250 a\0\r\n", 9)}, true, 250, 1},
        AssemblyCase{"non-digits read as zero", {"abc def\r\n"}, true, 0, 1},
        AssemblyCase{"later line decides", {"220-x\r\n220 y\r\n"}, true, 220, 1}),
    [](const testing::TestParamInfo<AssemblyCase>& info) {
      std::string n = info.param.name;
      for (char& ch : n) {
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return n;
    });

TEST(AuthDetectionTest, ChoosesTheFirstKnownMechanismInOrder) {
  using M = SMTPAuthMethod;
  struct Case {
    const char* reply;
    M method;
  };
  for (const Case& c : {
           Case{"250-host\r\n250-AUTH LOGIN PLAIN\r\n250 OK\r\n", M::Login},
           Case{"250-host\r\n250-AUTH PLAIN CRAM-MD5 NTLM\r\n250 OK\r\n", M::Ntlm},
           Case{"250-host\r\n250-AUTH plain cram-md5\r\n250 OK\r\n", M::CramMd5},
           Case{"250-host\r\n250-AUTH PLAIN\r\n250 OK\r\n", M::Plain},
           Case{"250-host\r\n250-AUTH GSSAPI XOAUTH2\r\n250 OK\r\n", M::None},
           // The keyword in any case, the old "AUTH=" form, the final line.
           Case{"250-host\r\n250-auth LOGIN\r\n250 OK\r\n", M::Login},
           Case{"250-host\r\n250-AUTH=LOGIN\r\n250 OK\r\n", M::Login},
           Case{"250-host\r\n250 AUTH LOGIN PLAIN\r\n", M::Login},
           Case{"250-host\r\n250-AUTH=PLAIN\r\n250 AUTH CRAM-MD5\r\n", M::CramMd5},  // every AUTH line counts
           Case{"250-host\r\n250-SIZE 100\r\n250 OK\r\n", M::None},
           Case{"250-host\r\n250-AUTH PLAIN\r\n250-X NTLM\r\n250 OK\r\n", M::Plain},  // only AUTH lines count
           Case{"250-host\r\n250-AUTH LOGIN", M::Login},  // up to the end without CRLF
           // Whole words and the keyword first: no NTLM inside "XNTLM", no
           // "XAUTH" or "AUTHX", nothing on the line naming the server.
           Case{"250-host\r\n250-AUTH XNTLMY LOGIN\r\n250 OK\r\n", M::Login},
           Case{"250-host\r\n250-XAUTH LOGIN\r\n250-AUTHX PLAIN\r\n250 OK\r\n", M::None},
           Case{"250-AUTH LOGIN\r\n250 OK\r\n", M::None},
           Case{"250-host\r\n250-AUTH\r\n250 OK\r\n", M::None},
       }) {
    EXPECT_EQ(km7::smtp::DetectAuthMethod(c.reply), c.method) << c.reply;
  }
}

TEST(EnvelopeCommandTest, DsnParameters) {
  EXPECT_EQ(km7::smtp::NotifyList(0), "NEVER");
  EXPECT_EQ(km7::smtp::NotifyList(3), "SUCCESS,FAILURE");
  EXPECT_EQ(km7::smtp::NotifyList(7), "SUCCESS,FAILURE,DELAY");
  EXPECT_EQ(km7::smtp::NotifyList(4), "DELAY");
  EXPECT_EQ(km7::smtp::NotifyList(8), "NEVER");

  EXPECT_EQ(km7::smtp::MailFromCommand("a@b", -1, true, "ID"), "MAIL FROM:<a@b>\r\n");
  EXPECT_EQ(km7::smtp::MailFromCommand("a@b", 0, true, "ID"), "MAIL FROM:<a@b> RET=FULL ENVID=ID\r\n");
  EXPECT_EQ(km7::smtp::MailFromCommand("a@b", 2, false, "ID"), "MAIL FROM:<a@b> RET=HDRS ENVID=ID\r\n");
  EXPECT_EQ(km7::smtp::RcptToCommand("c@d", -1), "RCPT TO:<c@d>\r\n");
  EXPECT_EQ(km7::smtp::RcptToCommand("c@d", 0), "RCPT TO:<c@d> NOTIFY=NEVER\r\n");
  EXPECT_EQ(km7::smtp::RcptToCommand("c@d", 3), "RCPT TO:<c@d> NOTIFY=SUCCESS,FAILURE\r\n");

  EXPECT_FALSE(km7::smtp::HasLineBreak("user@example.org"));
  EXPECT_TRUE(km7::smtp::HasLineBreak("a@b>\r\nRCPT TO:<c@d"));
  EXPECT_TRUE(km7::smtp::HasLineBreak("a\nb"));
  EXPECT_TRUE(km7::smtp::HasLineBreak("a\rb"));
  EXPECT_TRUE(km7::smtp::HasLineBreak(std::string("a\0b", 3)));
}

TEST(SMTPExceptionTest, CodesAndTexts) {
  const CZRKSMTPException login(km7::FACILITY_ITF, 512, "554 go away\r\n");
  EXPECT_EQ(login.GetErrorCode(), 0x80040200u);
  EXPECT_EQ(login.GetLastResponse(), "554 go away\r\n");
  EXPECT_EQ(login.GetErrorMessage(), "Unexpected SMTP Login response, Last Response: 554 go away\r\n");
  unsigned help = 7;
  char small[11];
  EXPECT_TRUE(login.GetErrorMessage(small, sizeof small, &help));
  EXPECT_EQ(help, 0u);
  EXPECT_STREQ(small, "Unexpected");

  EXPECT_EQ(CZRKSMTPException(km7::FACILITY_ITF, 102).GetErrorCode(), 0x80040066u);
  EXPECT_EQ(CZRKSMTPException(km7::FACILITY_ITF, 102).GetErrorMessage(), "Connection failed");
  EXPECT_EQ(CZRKSMTPException(km7::FACILITY_ITF, 522).GetErrorMessage(), "File too large to mail");

  // Ids without text give an empty text but still count as answered.
  char buffer[64] = "x";
  EXPECT_TRUE(CZRKSMTPException(km7::FACILITY_ITF, 513).GetErrorMessage(buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "");

  const CZRKSMTPException refused(km7::FACILITY_WIN32, km7::WSAECONNREFUSED, "");
  EXPECT_EQ(refused.GetErrorCode(), 0x8007274Du);
  EXPECT_EQ(refused.GetErrorMessage(), km7::SystemMessageText(km7::WSAECONNREFUSED));

  const CZRKSMTPException unknown(km7::FACILITY_WIN32, 9999, "");
  EXPECT_FALSE(unknown.GetErrorMessage(buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "");

  const CZRKSMTPException uuid(km7::FACILITY_RPC, km7::RPC_S_UUID_NO_ADDRESS, "");
  EXPECT_EQ(uuid.GetErrorCode(), 0x800106CBu);
  EXPECT_NE(uuid.GetErrorMessage(), "");

  const CZRKSMTPException ntlm(km7::SEC_E_LOGON_DENIED, "535 no\r\n");
  EXPECT_EQ(ntlm.GetErrorCode(), 0x8009030Cu);
  EXPECT_EQ(ntlm.GetErrorMessage(), km7::SecurityStatusText(km7::SEC_E_LOGON_DENIED));

  // A long last response is cut at 4095 characters.
  const CZRKSMTPException longReply(km7::FACILITY_ITF, 519, std::string(10000, 'r'));
  EXPECT_EQ(longReply.GetErrorMessage().size(), 4095u);
  EXPECT_STRNE(longReply.what(), "");
}

TEST(SMTPExceptionTest, EveryStringTableIdTheClientRaisesHasItsText) {
  for (uint32_t id : {102u, 512u, 516u, 517u, 518u, 519u, 520u, 521u, 522u, 523u, 524u, 525u, 526u, 527u, 528u,
                      529u, 530u, 535u, 536u, 537u, 538u, 539u, 540u, 541u, 542u, 543u, 544u, 545u, 546u, 547u,
                      548u, 549u, 550u, 560u, 561u, 575u, 576u, 577u, 578u}) {
    EXPECT_NE(km7::SMTPStringTableText(id), nullptr) << id;
  }
  for (uint32_t id : {513u, 514u, 515u, 531u, 532u, 533u, 534u}) EXPECT_EQ(km7::SMTPStringTableText(id), nullptr) << id;
}
