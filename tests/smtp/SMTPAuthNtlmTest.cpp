// NTLM against a scripted server: the three messages, the domain and user
// apart, and each way the server or the security package refuses.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/support/AuthServer.h"
#include "smtp/support/ErrorCodes.h"

// The scripted servers, the session and the codes they raise.
using namespace km7::test;

// ---------------------------------------------------------------------------
// NTLM

namespace {

void PutLe16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>(v >> 8);
}
void PutLe32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}
uint32_t Le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s.at(at + i));
  return v;
}

// A CHALLENGE message with a NetBIOS domain name in its target information.
std::string ChallengeMessage() {
  std::string name;
  for (char c : std::string("TESTDOM")) name += c, name += '\0';
  std::string info;
  PutLe16(info, 2);
  PutLe16(info, static_cast<uint16_t>(name.size()));
  info += name;
  PutLe16(info, 0);
  PutLe16(info, 0);
  const uint32_t flags = 0x00000001 | 0x00000004 | 0x00000200 | 0x00080000 | 0x00800000 | 0x20000000 | 0x02000000;
  std::string m("NTLMSSP\0", 8);
  PutLe32(m, 2);
  const uint32_t nameOffset = 56;
  PutLe16(m, static_cast<uint16_t>(name.size()));
  PutLe16(m, static_cast<uint16_t>(name.size()));
  PutLe32(m, nameOffset);
  PutLe32(m, flags);
  m += std::string("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
  m += std::string(8, '\0');
  PutLe16(m, static_cast<uint16_t>(info.size()));
  PutLe16(m, static_cast<uint16_t>(info.size()));
  PutLe32(m, nameOffset + static_cast<uint32_t>(name.size()));
  m += std::string("\x06\x01\xb1\x1d\x00\x00\x00\x0f", 8);  // version
  m += name;
  m += info;
  return m;
}

// A field of an AUTHENTICATE message, UTF-16LE narrowed to bytes.
std::string Field(const std::string& m, size_t at) {
  const uint32_t length = Le(m, at, 2);
  const uint32_t offset = Le(m, at + 4, 4);
  const std::string raw = m.substr(offset, length);
  std::string out;
  for (size_t i = 0; i < raw.size(); i += 2) out += raw[i];
  return out;
}

}  // namespace

TEST(AuthNtlmTest, DomainAndUserTravelSeparately) {
  struct Case {
    std::string userName, domain, user;
  };
  for (const Case& c : {Case{"CORP\\alice", "CORP", "alice"}, Case{"alice", "", "alice"}}) {
    std::string negotiate, authenticate;
    ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
      const std::string line = p.Expect("AUTH NTLM ");
      negotiate = Unb64(line.substr(10));
      p.Send("334 " + B64(ChallengeMessage()) + "\r\n");
      authenticate = Unb64(p.ReadLine());
      p.Send("235 ok\r\n");
    }));
    EXPECT_EQ(ConnectWith(server, SMTPAuthMethod::Ntlm, c.userName, "Passw0rd").code, 0u);
    EXPECT_EQ(server.Finish(), "");
    ASSERT_GE(negotiate.size(), 12u);
    EXPECT_EQ(negotiate.substr(0, 8), std::string("NTLMSSP\0", 8));
    EXPECT_EQ(Le(negotiate, 8, 4), 1u);
    ASSERT_GE(authenticate.size(), 64u);
    EXPECT_EQ(Le(authenticate, 8, 4), 3u);
    EXPECT_EQ(Field(authenticate, 28), c.domain);
    EXPECT_EQ(Field(authenticate, 36), c.user);
    EXPECT_EQ(authenticate.find("Passw0rd"), std::string::npos);
  }
}

TEST(AuthNtlmTest, ServerRefusingTheFirstTokenRaises538) {
  ScriptedServer server(AuthServer([](ScriptedPeer& p) {
    p.Expect("AUTH NTLM ");
    p.Send("535 5.7.8 not here\r\n");
  }));
  const Failure f = ConnectWith(server, SMTPAuthMethod::Ntlm, "DOM\\bob", "pw");
  EXPECT_EQ(f.code, Itf(538));
  EXPECT_EQ(f.lastResponse, "535 5.7.8 not here\r\n");
  EXPECT_EQ(server.Finish(), "");
}

TEST(AuthNtlmTest, ServerRefusingTheLastTokenRaises538) {
  ScriptedServer server(AuthServer([](ScriptedPeer& p) {
    p.Expect("AUTH NTLM ");
    p.Send("334 " + B64(ChallengeMessage()) + "\r\n");
    p.ReadLine();
    p.Send("535 bad credentials\r\n");
  }));
  const Failure f = ConnectWith(server, SMTPAuthMethod::Ntlm, "bob", "pw");
  EXPECT_EQ(f.code, Itf(538));
  EXPECT_EQ(f.lastResponse, "535 bad credentials\r\n");
  EXPECT_EQ(server.Finish(), "");
}

TEST(AuthNtlmTest, SecurityStatusesBecomeTheErrorCode) {
  struct Case {
    const char* name;
    std::string challenge;
    uint32_t code;
  };
  for (const Case& c : {Case{"oversized challenge", std::string(16384, 'x'), km7::SEC_E_INSUFFICIENT_MEMORY},
                        Case{"malformed challenge", "not a challenge", km7::SEC_E_INVALID_TOKEN}}) {
    const std::string reply = "334 " + B64(c.challenge) + "\r\n";
    ScriptedServer server(AuthServer([&](ScriptedPeer& p) {
      p.Expect("AUTH NTLM ");
      p.Send(reply);
      // A challenge the client cannot take: it cancels the exchange.
      p.Expect("*\r\n");
      p.Send("501 cancelled\r\n");
    }));
    const Failure f = ConnectWith(server, SMTPAuthMethod::Ntlm, "bob", "pw");
    EXPECT_EQ(f.code, c.code) << c.name;
    EXPECT_EQ(f.lastResponse, reply) << c.name;
    EXPECT_NE(CZRKSMTPException(f.code).GetErrorMessage(), "") << c.name;
    EXPECT_EQ(server.Finish(), "") << c.name;
  }
}

TEST(AuthNtlmTest, EmptyUserNameHasNoCredentialsToOffer) {
  // There is no logged-on user's identity to fall back on: the exchange ends
  // before anything is sent, and its status is the error code.
  ScriptedServer server(AuthServer([](ScriptedPeer&) {}));
  const Failure f = ConnectWith(server, SMTPAuthMethod::Ntlm, "", "pw");
  EXPECT_EQ(f.code, km7::SEC_E_NO_CREDENTIALS);
  EXPECT_EQ(f.lastResponse, "250-test\r\n250 OK\r\n");
  EXPECT_EQ(server.Finish(), "");
}

// ---------------------------------------------------------------------------
// AutoDetect
