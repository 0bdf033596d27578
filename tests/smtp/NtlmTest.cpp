#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "smtp/MD5.h"
#include "smtp/NTLMClientAuth.h"
#include "smtp/Ntlm.h"

using namespace km7::ntlm;

namespace {

std::string Hex(std::string_view bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}
std::string Hex(const Key16& key) {
  return Hex(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
}
std::string Md4Hex(std::string_view text) { return Hex(Md4(text.data(), text.size())); }

uint16_t Get16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8));
}
uint32_t Get32(const std::string& s, size_t at) {
  return Get16(s, at) | (uint32_t{Get16(s, at + 2)} << 16);
}
// The payload a field descriptor of an NTLM message points at.
std::string Field(const std::string& msg, size_t descriptor) {
  const uint16_t length = Get16(msg, descriptor);
  const uint32_t offset = Get32(msg, descriptor + 4);
  EXPECT_EQ(Get16(msg, descriptor + 2), length);
  EXPECT_LE(size_t{offset} + length, msg.size());
  return msg.substr(offset, length);
}

void Put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
void Put32(std::string& s, uint32_t v) {
  Put16(s, static_cast<uint16_t>(v & 0xFFFF));
  Put16(s, static_cast<uint16_t>(v >> 16));
}
std::string AvPair(uint16_t id, std::string_view value) {
  std::string s;
  Put16(s, id);
  Put16(s, static_cast<uint16_t>(value.size()));
  s += value;
  return s;
}
std::string Utf16(std::string_view ascii) { return Cp1252ToUtf16Le(ascii); }

// The target information of the published example: NetBIOS domain "Domain",
// NetBIOS computer "Server", end of list.
std::string ExampleTargetInfo() {
  return AvPair(MsvAvNbDomainName, Utf16("Domain")) + AvPair(MsvAvNbComputerName, Utf16("Server")) +
         AvPair(MsvAvEOL, "");
}

// A CHALLENGE message as a server sends it.
std::string MakeChallenge(const Challenge8& serverChallenge, std::string_view targetInfo,
                          uint32_t flags = NEGOTIATE_UNICODE | NEGOTIATE_NTLM |
                                           NEGOTIATE_TARGET_INFO |
                                           NEGOTIATE_EXTENDED_SESSIONSECURITY) {
  const std::string targetName = Utf16("Domain");
  std::string s("NTLMSSP\0", 8);
  Put32(s, 2);
  Put16(s, static_cast<uint16_t>(targetName.size()));
  Put16(s, static_cast<uint16_t>(targetName.size()));
  Put32(s, 48);
  Put32(s, flags);
  s.append(reinterpret_cast<const char*>(serverChallenge.data()), 8);
  s.append(8, '\0');
  Put16(s, static_cast<uint16_t>(targetInfo.size()));
  Put16(s, static_cast<uint16_t>(targetInfo.size()));
  Put32(s, static_cast<uint32_t>(48 + targetName.size()));
  s += targetName;
  s += targetInfo;
  return s;
}

const Challenge8 kServerChallenge = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
const Challenge8 kClientChallenge = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};

// --- primitives -----------------------------------------------------------

TEST(NtlmMd4, MatchesRfc1320Vectors) {
  EXPECT_EQ(Md4Hex(""), "31d6cfe0d16ae931b73c59d7e0c089c0");
  EXPECT_EQ(Md4Hex("a"), "bde52cb31de33e46245e05fbdbd6fb24");
  EXPECT_EQ(Md4Hex("abc"), "a448017aaf21d8525fc10ae87aa6729d");
  EXPECT_EQ(Md4Hex("message digest"), "d9130a8164549fe818874806e1c7014b");
  EXPECT_EQ(Md4Hex("abcdefghijklmnopqrstuvwxyz"), "d79e1c308aa5bbcdeea8ed63df412da9");
  EXPECT_EQ(Md4Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
            "043f8582f241db351ce627e153e7f0e4");
  std::string eighty;
  for (int i = 0; i < 8; ++i) eighty += "1234567890";
  EXPECT_EQ(Md4Hex(eighty), "e33b4ddc9c38f2199c3e7b164fcc0536");
}

TEST(NtlmMd4, PaddingBoundaries) {
  // 55, 56 and 64 bytes straddle the one/two padding-block boundary; each
  // must differ from its neighbours and be stable.
  const std::string a(55, 'x'), b(56, 'x'), c(64, 'x');
  EXPECT_NE(Md4Hex(a), Md4Hex(b));
  EXPECT_NE(Md4Hex(b), Md4Hex(c));
  EXPECT_EQ(Md4Hex(b), Md4Hex(std::string(56, 'x')));
}

TEST(NtlmHash, NtHashOfThePublishedExamplePassword) {
  const std::string password = Utf16("Password");
  EXPECT_EQ(Hex(Md4(password.data(), password.size())), "a4f49c406510bdcab6824ee7c30fd852");
}

TEST(NtlmText, Utf16AndUpperCaseOfWindows1252) {
  EXPECT_EQ(Hex(Cp1252ToUtf16Le("Ab")), "41006200");
  // Euro sign 0x80 -> U+20AC; e-acute 0xE9 -> U+00E9.
  EXPECT_EQ(Hex(Cp1252ToUtf16Le("\x80\xe9")), "ac20e900");
  // Upper case: e-acute -> E-acute, y-diaeresis -> U+0178, s-caron -> S-caron,
  // the division sign stays.
  EXPECT_EQ(Hex(UpperCp1252ToUtf16Le("a\xe9\xff\x9a\xf7")), "4100c90078016001f700");
}

// --- the published NTLMv2 example ------------------------------------------

TEST(NtlmV2, NtowfV2OfThePublishedExample) {
  EXPECT_EQ(Hex(NtowfV2("Password", "User", "Domain")), "0c868a403bfd7a93a3001ef22ef02e3f");
  // The user name is upper-cased, the domain is not.
  EXPECT_EQ(Hex(NtowfV2("Password", "USER", "Domain")), "0c868a403bfd7a93a3001ef22ef02e3f");
  EXPECT_NE(Hex(NtowfV2("Password", "User", "DOMAIN")), "0c868a403bfd7a93a3001ef22ef02e3f");
}

TEST(NtlmV2, ResponsesOfThePublishedExample) {
  const Key16 key = NtowfV2("Password", "User", "Domain");
  const V2Responses r = ComputeV2(key, kServerChallenge, kClientChallenge, 0, ExampleTargetInfo());
  EXPECT_EQ(Hex(r.ntProofStr), "68cd0ab851e51c96aabc927bebef6a1c");
  EXPECT_EQ(Hex(r.lmResponse), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  EXPECT_EQ(Hex(r.sessionBaseKey), "8de40ccadbc14a82f15cb0ad0de95ca3");
  // The NT response is NTProofStr followed by the blob that was hashed.
  EXPECT_EQ(Hex(r.ntResponse),
            "68cd0ab851e51c96aabc927bebef6a1c"
            "0101000000000000" "0000000000000000" "aaaaaaaaaaaaaaaa" "00000000" +
                Hex(ExampleTargetInfo()) + "00000000");
}

TEST(NtlmV2, BlobCarriesTimeLittleEndian) {
  const std::string blob = MakeBlob(0x0102030405060708ull, kClientChallenge, "");
  EXPECT_EQ(Hex(blob), "0101000000000000" "0807060504030201" "aaaaaaaaaaaaaaaa" "00000000" "00000000");
}

// --- messages --------------------------------------------------------------

TEST(NtlmMessages, NegotiateMessage) {
  const std::string msg = MakeNegotiateMessage();
  // The fixed part with an all-zero version; empty fields point at its end.
  ASSERT_EQ(msg.size(), 40u);
  EXPECT_EQ(Get16(msg, 16), 0u);
  EXPECT_EQ(Get32(msg, 20), 40u);
  EXPECT_EQ(Get16(msg, 24), 0u);
  EXPECT_EQ(Get32(msg, 28), 40u);
  EXPECT_EQ(msg.substr(32), std::string(8, '\0'));
  EXPECT_EQ(msg.substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(Get32(msg, 8), 1u);
  const uint32_t flags = Get32(msg, 12);
  EXPECT_TRUE(flags & NEGOTIATE_NTLM);
  EXPECT_TRUE(flags & NEGOTIATE_UNICODE);
  EXPECT_TRUE(flags & REQUEST_TARGET);
}

TEST(NtlmMessages, AuthenticateMessageLaysOutItsFieldsInOrderAndRefusesOneTooLong) {
  const std::string lm(24, 'L');
  const std::string nt = "nt-response";
  std::string msg = "left alone on failure";
  ASSERT_TRUE(MakeAuthenticateMessage(NEGOTIATE_NTLM | NEGOTIATE_OEM, lm, nt, "DOM", "user", msg));
  EXPECT_EQ(msg.substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(Get32(msg, 8), 3u);
  EXPECT_EQ(Get32(msg, 60), NEGOTIATE_NTLM | NEGOTIATE_OEM);
  // Payload right after the 64-byte fixed part, in descriptor order.
  EXPECT_EQ(Get32(msg, 16), 64u);
  EXPECT_EQ(Field(msg, 12), lm);
  EXPECT_EQ(Field(msg, 20), nt);
  EXPECT_EQ(Field(msg, 28), "DOM");
  EXPECT_EQ(Field(msg, 36), "user");
  EXPECT_EQ(Field(msg, 44), "");
  EXPECT_EQ(Field(msg, 52), "");
  EXPECT_EQ(msg.size(), 64 + lm.size() + nt.size() + 3 + 4);

  const std::string longest(0xFFFF, 'u');
  ASSERT_TRUE(MakeAuthenticateMessage(0, lm, nt, "", longest, msg));
  EXPECT_EQ(Field(msg, 36), longest);
  const std::string before = msg;
  EXPECT_FALSE(MakeAuthenticateMessage(0, lm, nt, "", longest + "u", msg));
  EXPECT_EQ(msg, before);
}

TEST(NtlmMessages, ParsesAWellFormedChallenge) {
  const std::string msg = MakeChallenge(kServerChallenge, ExampleTargetInfo());
  ChallengeMessage c;
  ASSERT_TRUE(ParseChallenge(reinterpret_cast<const uint8_t*>(msg.data()), msg.size(), c));
  EXPECT_EQ(c.serverChallenge, kServerChallenge);
  EXPECT_EQ(c.targetInfo, ExampleTargetInfo());
  EXPECT_EQ(c.targetName, Utf16("Domain"));
  EXPECT_TRUE(c.flags & NEGOTIATE_UNICODE);
  std::string value;
  EXPECT_TRUE(FindAvPair(c.targetInfo, MsvAvNbComputerName, value));
  EXPECT_EQ(value, Utf16("Server"));
  EXPECT_FALSE(FindAvPair(c.targetInfo, MsvAvTimestamp, value));
}

TEST(NtlmMessages, RejectsMalformedChallenges) {
  const std::string good = MakeChallenge(kServerChallenge, ExampleTargetInfo());
  auto parses = [](const std::string& m) {
    ChallengeMessage c;
    return ParseChallenge(reinterpret_cast<const uint8_t*>(m.data()), m.size(), c);
  };
  ASSERT_TRUE(parses(good));
  EXPECT_FALSE(parses(""));
  EXPECT_FALSE(parses(good.substr(0, 31)));  // shorter than the fixed part
  std::string badSignature = good;
  badSignature[0] = 'X';
  EXPECT_FALSE(parses(badSignature));
  std::string wrongType = good;
  wrongType[8] = 3;
  EXPECT_FALSE(parses(wrongType));
  // Target information running past the end of the message.
  EXPECT_FALSE(parses(good.substr(0, good.size() - 1)));
  std::string hugeOffset = good;
  hugeOffset[44] = hugeOffset[45] = hugeOffset[46] = hugeOffset[47] = '\xff';
  EXPECT_FALSE(parses(hugeOffset));
  // An AV pair longer than the list, and a list without its end marker.
  EXPECT_FALSE(parses(MakeChallenge(kServerChallenge, AvPair(MsvAvNbDomainName, "ab").substr(0, 5))));
  EXPECT_FALSE(parses(MakeChallenge(kServerChallenge, AvPair(MsvAvNbDomainName, "ab"))));
  // A target name beyond the end, then the short form of old servers
  // (no target name, no target information), which is accepted.
  std::string oldForm = good.substr(0, 32);
  EXPECT_FALSE(parses(oldForm));
  oldForm.replace(12, 4, std::string(4, '\0'));
  EXPECT_TRUE(parses(oldForm));
}

// --- the client context ------------------------------------------------------

struct Exchange {
  std::string negotiate;
  std::string authenticate;
  int32_t first = 0;
  int32_t second = 0;
  bool doneAfterFirst = true;
  bool doneAfterSecond = false;
};

Exchange RunExchange(std::string_view user, std::string_view domain, std::string_view password,
             const std::string& challenge) {
  ClientContext ctx(
      user, domain, password, [] { return uint64_t{0}; },
      [](Challenge8& cc) { cc = kClientChallenge; });
  std::vector<uint8_t> out(16384);
  size_t length = 0;
  Exchange e;
  e.first = ctx.Step(nullptr, 0, out.data(), out.size(), length, e.doneAfterFirst);
  e.negotiate.assign(reinterpret_cast<const char*>(out.data()), length);
  e.second = ctx.Step(reinterpret_cast<const uint8_t*>(challenge.data()), challenge.size(),
                      out.data(), out.size(), length, e.doneAfterSecond);
  e.authenticate.assign(reinterpret_cast<const char*>(out.data()), length);
  return e;
}

TEST(NtlmContext, AuthenticateMessageCarriesThePublishedResponses) {
  const Exchange e = RunExchange("User", "Domain", "Password", MakeChallenge(kServerChallenge, ExampleTargetInfo()));
  EXPECT_EQ(e.first, SEC_I_CONTINUE_NEEDED);
  EXPECT_FALSE(e.doneAfterFirst);
  EXPECT_EQ(e.negotiate, MakeNegotiateMessage());
  ASSERT_EQ(e.second, SEC_E_OK);
  EXPECT_TRUE(e.doneAfterSecond);

  const std::string& m = e.authenticate;
  ASSERT_GE(m.size(), 64u);
  EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(Get32(m, 8), 3u);
  EXPECT_EQ(Hex(Field(m, 12)), "86c35097ac9cec102554764a57cccc19aaaaaaaaaaaaaaaa");
  const std::string nt = Field(m, 20);
  EXPECT_EQ(Hex(nt.substr(0, 16)), "68cd0ab851e51c96aabc927bebef6a1c");
  EXPECT_EQ(nt.substr(16), MakeBlob(0, kClientChallenge, ExampleTargetInfo()));
  EXPECT_EQ(Field(m, 28), Utf16("Domain"));
  EXPECT_EQ(Field(m, 36), Utf16("User"));
  EXPECT_EQ(Field(m, 44), "");  // no workstation
  EXPECT_EQ(Field(m, 52), "");  // no session key exchange
  const uint32_t flags = Get32(m, 60);
  EXPECT_TRUE(flags & NEGOTIATE_UNICODE);
  EXPECT_FALSE(flags & NEGOTIATE_OEM);
  EXPECT_TRUE(flags & NEGOTIATE_NTLM);
}

TEST(NtlmContext, OemServerGetsSingleByteNames) {
  const Exchange e = RunExchange("User", "Domain", "Password",
                         MakeChallenge(kServerChallenge, ExampleTargetInfo(), NEGOTIATE_OEM | NEGOTIATE_NTLM));
  ASSERT_EQ(e.second, SEC_E_OK);
  EXPECT_EQ(Field(e.authenticate, 36), "User");
  EXPECT_EQ(Field(e.authenticate, 28), "Domain");
  EXPECT_TRUE(Get32(e.authenticate, 60) & NEGOTIATE_OEM);
  EXPECT_FALSE(Get32(e.authenticate, 60) & NEGOTIATE_UNICODE);
  // A server naming neither character set gets single-byte names, flagged so.
  const Exchange bare = RunExchange("User", "Domain", "Password",
                                    MakeChallenge(kServerChallenge, ExampleTargetInfo(), NEGOTIATE_NTLM));
  ASSERT_EQ(bare.second, SEC_E_OK);
  EXPECT_EQ(Field(bare.authenticate, 36), "User");
  EXPECT_TRUE(Get32(bare.authenticate, 60) & NEGOTIATE_OEM);
}

TEST(NtlmContext, ServerTimestampReplacesClockAndEmptiesLmResponse) {
  std::string stamp;
  for (int i = 0; i < 8; ++i) stamp += static_cast<char>(0x10 + i);
  const std::string info = AvPair(MsvAvNbDomainName, Utf16("Domain")) +
                           AvPair(MsvAvTimestamp, stamp) + AvPair(MsvAvEOL, "");
  const Exchange e = RunExchange("User", "Domain", "Password", MakeChallenge(kServerChallenge, info));
  ASSERT_EQ(e.second, SEC_E_OK);
  EXPECT_EQ(Field(e.authenticate, 12), std::string(24, '\0'));
  const std::string nt = Field(e.authenticate, 20);
  EXPECT_EQ(nt.substr(24, 8), stamp);  // after NTProofStr and the 8 version bytes
  const V2Responses r = ComputeV2(NtowfV2("Password", "User", "Domain"), kServerChallenge,
                                  kClientChallenge, 0x1716151413121110ull, info);
  EXPECT_EQ(nt, r.ntResponse);
}

TEST(NtlmContext, FailuresAreNegativeStatuses) {
  const std::string good = MakeChallenge(kServerChallenge, ExampleTargetInfo());
  EXPECT_EQ(RunExchange("User", "Domain", "Password", "garbage").second, SEC_E_INVALID_TOKEN);

  ClientContext ctx("User", "Domain", "Password");
  std::vector<uint8_t> out(16384);
  size_t length = 0;
  bool done = false;
  // Too small for even the first token.
  EXPECT_EQ(ctx.Step(nullptr, 0, out.data(), 8, length, done), SEC_E_INSUFFICIENT_MEMORY);
  ASSERT_EQ(ctx.Step(nullptr, 0, out.data(), out.size(), length, done), SEC_I_CONTINUE_NEEDED);
  ASSERT_EQ(ctx.Step(reinterpret_cast<const uint8_t*>(good.data()), good.size(), out.data(),
                     out.size(), length, done),
            SEC_E_OK);
  // No third token exists.
  EXPECT_EQ(ctx.Step(reinterpret_cast<const uint8_t*>(good.data()), good.size(), out.data(),
                     out.size(), length, done),
            SEC_E_INTERNAL_ERROR);
}

TEST(NtlmContext, RealClockAndRandomChallengeDifferBetweenRuns) {
  const std::string challenge = MakeChallenge(kServerChallenge, ExampleTargetInfo());
  auto ntResponse = [&] {
    ClientContext ctx("User", "Domain", "Password");
    std::vector<uint8_t> out(16384);
    size_t length = 0;
    bool done = false;
    ctx.Step(nullptr, 0, out.data(), out.size(), length, done);
    EXPECT_EQ(ctx.Step(reinterpret_cast<const uint8_t*>(challenge.data()), challenge.size(),
                       out.data(), out.size(), length, done),
              SEC_E_OK);
    return Field(std::string(reinterpret_cast<const char*>(out.data()), length), 20);
  };
  const uint64_t before = CurrentFileTime();
  const std::string a = ntResponse();
  const std::string b = ntResponse();
  EXPECT_NE(a.substr(32, 8), b.substr(32, 8));  // client challenges differ
  uint64_t stamp = 0;
  for (int i = 7; i >= 0; --i) stamp = (stamp << 8) | static_cast<uint8_t>(a[24 + i]);
  EXPECT_GE(stamp, before);
  // 2020-01-01 in FILETIME ticks: a clock in the right epoch.
  EXPECT_GT(before, 132223104000000000ull);
}

// --- the exchange driver -----------------------------------------------------

// A server side in the test: checks the AUTHENTICATE message against the
// password it knows, as a domain controller would.
class LoopbackAuth : public CNTLMClientAuth {
 public:
  std::string expectedUser = "User";
  std::string expectedDomain = "Domain";
  std::string password = "Password";
  std::string challenge = MakeChallenge(kServerChallenge, ExampleTargetInfo());
  int32_t receiveStatus = 0;
  bool throwOnReceive = false;
  std::vector<std::string> sent;
  int receiveCalls = 0;
  bool verified = false;

  int32_t SendFirstToken(const uint8_t* token, uint32_t length) override {
    sent.emplace_back(reinterpret_cast<const char*>(token), length);
    return 0;
  }
  int32_t ReceiveChallenge(uint8_t* buffer, uint32_t size, uint32_t& length) override {
    ++receiveCalls;
    if (throwOnReceive) throw std::runtime_error("server went away");
    if (receiveStatus != 0) return receiveStatus;
    if (challenge.size() >= size) return SEC_E_INSUFFICIENT_MEMORY;
    std::memcpy(buffer, challenge.data(), challenge.size());
    length = static_cast<uint32_t>(challenge.size());
    return 0;
  }
  int32_t SendNextToken(const uint8_t* token, uint32_t length) override {
    const std::string m(reinterpret_cast<const char*>(token), length);
    sent.push_back(m);
    const std::string nt = Field(m, 20);
    if (nt.size() < 16) return SEC_E_INVALID_TOKEN;
    const Key16 key = NtowfV2(password, expectedUser, expectedDomain);
    CZRKMD5 md5;
    uint8_t proof[16];
    const std::string data(reinterpret_cast<const char*>(kServerChallenge.data()), 8);
    md5.HMAC(data + nt.substr(16), std::string_view(reinterpret_cast<const char*>(key.data()), 16), proof);
    verified = std::memcmp(proof, nt.data(), 16) == 0 && Field(m, 36) == Utf16(expectedUser) &&
               Field(m, 28) == Utf16(expectedDomain);
    return verified ? 0 : static_cast<int32_t>(0x8009030C);  // logon denied
  }
};

TEST(NtlmClientAuth, FullExchangeIsAcceptedByAServerKnowingThePassword) {
  LoopbackAuth auth;
  auth.SetNtlmClock([] { return uint64_t{131000000000000000}; });
  EXPECT_EQ(auth.Authenticate("Domain\\User", "Password"), 0);
  EXPECT_TRUE(auth.verified);
  ASSERT_EQ(auth.sent.size(), 2u);
  EXPECT_EQ(auth.sent[0], MakeNegotiateMessage());
  EXPECT_EQ(auth.receiveCalls, 1);
}

TEST(NtlmClientAuth, SplitsAtTheFirstBackslashOnly) {
  LoopbackAuth auth;
  auth.expectedDomain = "Dom";
  auth.expectedUser = "a\\b";
  EXPECT_EQ(auth.Authenticate("Dom\\a\\b", "Password"), 0);
  EXPECT_TRUE(auth.verified);
}

TEST(NtlmClientAuth, WithoutBackslashTheDomainIsEmpty) {
  LoopbackAuth auth;
  auth.expectedDomain = "";
  auth.expectedUser = "user@example.org";
  EXPECT_EQ(auth.Authenticate("user@example.org", "Password"), 0);
  EXPECT_TRUE(auth.verified);
}

TEST(NtlmClientAuth, WrongPasswordIsRefusedByTheServer) {
  LoopbackAuth auth;
  EXPECT_EQ(auth.Authenticate("Domain\\User", "password"), static_cast<int32_t>(0x8009030C));
  EXPECT_FALSE(auth.verified);
}

TEST(NtlmClientAuth, EmptyUserNameSendsNothing) {
  LoopbackAuth auth;
  EXPECT_EQ(auth.Authenticate("", "Password"), SEC_E_NO_CREDENTIALS);
  EXPECT_EQ(auth.Authenticate("Domain\\", "Password"), SEC_E_NO_CREDENTIALS);
  EXPECT_TRUE(auth.sent.empty());
}

TEST(NtlmClientAuth, FailingChallengeEndsTheExchangeWithItsStatus) {
  LoopbackAuth auth;
  auth.receiveStatus = SEC_E_INSUFFICIENT_MEMORY;
  EXPECT_EQ(auth.Authenticate("Domain\\User", "Password"), SEC_E_INSUFFICIENT_MEMORY);
  EXPECT_EQ(auth.sent.size(), 1u);  // no second token
}

TEST(NtlmClientAuth, MalformedChallengeIsAnInvalidToken) {
  LoopbackAuth auth;
  auth.challenge = "NTLMSSP";
  EXPECT_EQ(auth.Authenticate("Domain\\User", "Password"), SEC_E_INVALID_TOKEN);
  EXPECT_EQ(auth.sent.size(), 1u);
}

TEST(NtlmClientAuth, ExceptionsOfTheExchangePassThroughAndTheObjectStaysUsable) {
  LoopbackAuth auth;
  auth.throwOnReceive = true;
  EXPECT_THROW(auth.Authenticate("Domain\\User", "Password"), std::runtime_error);
  auth.throwOnReceive = false;
  auth.sent.clear();
  EXPECT_EQ(auth.Authenticate("Domain\\User", "Password"), 0);
  EXPECT_TRUE(auth.verified);
}

}  // namespace
