// km7-mail's command line and message building, without a server.
#include <gtest/gtest.h>

#include "MailOptions.h"
#include "MailTool.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPException.h"
#include "smtp/SMTPMessage.h"

namespace km7::mail {
namespace {

std::vector<std::string> Base() { return {"--server", "mail.km7.test", "--from", "a@km7.test", "--to", "b@km7.test"}; }

MailOptions ParseOk(std::vector<std::string> extra) {
  auto args = Base();
  args.insert(args.end(), extra.begin(), extra.end());
  MailOptions o;
  std::string error;
  EXPECT_TRUE(ParseCommandLine(args, o, error)) << error;
  return o;
}

std::string ParseError(std::vector<std::string> args) {
  MailOptions o;
  std::string error;
  EXPECT_FALSE(ParseCommandLine(args, o, error));
  return error;
}

TEST(MailOptions, DefaultsAndBothValueForms) {
  MailOptions o = ParseOk({});
  EXPECT_EQ(o.port, 25);
  EXPECT_EQ(o.auth, SMTPAuthMethod::None);
  EXPECT_EQ(o.timeoutMs, 60000u);
  EXPECT_EQ(o.helo, "auto");
  EXPECT_EQ(o.count, 1);
  EXPECT_EQ(o.dsnFlags, -1);
  EXPECT_EQ(o.proxy.type, SMTPConnectionType::Direct);

  o = ParseOk({"--port=2525", "--timeout", "1500", "--count=200", "--attach", "a", "--attach=b", "--mime"});
  EXPECT_EQ(o.port, 2525);
  EXPECT_EQ(o.timeoutMs, 1500u);
  EXPECT_EQ(o.count, 200);
  EXPECT_EQ(o.attachments, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(o.mime);
}

TEST(MailOptions, AuthDefaultsToAutoOnlyWithAUser) {
  EXPECT_EQ(ParseOk({"--user", "u"}).auth, SMTPAuthMethod::AutoDetect);
  EXPECT_EQ(ParseOk({"--user", "u", "--auth", "none"}).auth, SMTPAuthMethod::None);
  EXPECT_EQ(ParseOk({"--auth", "CRAM-MD5"}).auth, SMTPAuthMethod::CramMd5);
  EXPECT_EQ(ParseOk({"--auth", "ntlm"}).auth, SMTPAuthMethod::Ntlm);
  EXPECT_EQ(ParseOk({"--auth", "plain"}).auth, SMTPAuthMethod::Plain);
  EXPECT_EQ(ParseOk({"--auth", "login"}).auth, SMTPAuthMethod::Login);
}

TEST(MailOptions, SecurityOptions) {
  struct Case {
    std::vector<std::string> extra;
    SMTPSecurity security;
    uint16_t port;
    std::string caFile;
    bool insecure;
  };
  for (const Case& c : {
           Case{{}, SMTPSecurity::None, 25, "", false},
           Case{{"--starttls"}, SMTPSecurity::StartTls, 25, "", false},
           Case{{"--starttls", "--port", "587"}, SMTPSecurity::StartTls, 587, "", false},
           Case{{"--tls"}, SMTPSecurity::Tls, 465, "", false},  // TLS's own port unless given
           Case{{"--port", "2465", "--tls"}, SMTPSecurity::Tls, 2465, "", false},
           Case{{"--tls", "--cafile=ca.pem"}, SMTPSecurity::Tls, 465, "ca.pem", false},
           Case{{"--starttls", "--insecure"}, SMTPSecurity::StartTls, 25, "", true},
       }) {
    const MailOptions o = ParseOk(c.extra);
    EXPECT_EQ(o.security, c.security) << testing::PrintToString(c.extra);
    EXPECT_EQ(o.port, c.port) << testing::PrintToString(c.extra);
    EXPECT_EQ(o.caFile, c.caFile) << testing::PrintToString(c.extra);
    EXPECT_EQ(o.insecure, c.insecure) << testing::PrintToString(c.extra);
  }
  struct Bad {
    std::vector<std::string> extra;
    const char* says;
  };
  for (const Bad& b : {
           Bad{{"--starttls", "--tls"}, "not both"},
           Bad{{"--insecure"}, "--insecure needs --starttls or --tls"},
           Bad{{"--cafile", "ca.pem"}, "--cafile needs --starttls or --tls"},
           Bad{{"--tls", "--cafile", "ca.pem", "--insecure"}, "not both"},
           Bad{{"--tls", "--cafile="}, "--cafile needs a file name"},
           Bad{{"--tls=yes"}, "takes no value"},
       }) {
    auto args = Base();
    args.insert(args.end(), b.extra.begin(), b.extra.end());
    EXPECT_NE(ParseError(args).find(b.says), std::string::npos) << testing::PrintToString(b.extra);
  }
  const std::string usage = UsageText();
  for (const char* option : {"--starttls", "--tls", "--cafile FILE", "--insecure"}) {
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  }
}

TEST(MailOptions, RequiredOptionsAndBadValues) {
  EXPECT_NE(ParseError({"--from", "a", "--to", "b"}).find("--server"), std::string::npos);
  EXPECT_NE(ParseError({"--server", "s", "--to", "b"}).find("--from"), std::string::npos);
  EXPECT_NE(ParseError({"--server", "s", "--from", "a"}).find("--to"), std::string::npos);
  auto bad = [](std::vector<std::string> extra) {
    auto args = Base();
    args.insert(args.end(), extra.begin(), extra.end());
    return ParseError(args);
  };
  EXPECT_NE(bad({"--port", "0"}).find("--port"), std::string::npos);
  EXPECT_NE(bad({"--port", "65536"}).find("--port"), std::string::npos);
  EXPECT_NE(bad({"--port", "25x"}).find("--port"), std::string::npos);
  EXPECT_NE(bad({"--count", "-1"}).find("--count"), std::string::npos);
  EXPECT_NE(bad({"--count", "1000001"}).find("--count"), std::string::npos);
  EXPECT_NE(bad({"--timeout", "0"}).find("--timeout"), std::string::npos);
  EXPECT_NE(bad({"--timeout"}).find("needs a value"), std::string::npos);
  EXPECT_NE(bad({"--mime=yes"}).find("takes no value"), std::string::npos);
  EXPECT_NE(bad({"--body", "x", "--body-file", "f"}).find("not both"), std::string::npos);
  EXPECT_NE(bad({"--helo", ""}).find("--helo"), std::string::npos);
  EXPECT_NE(bad({"--password", "x"}).find("unknown option"), std::string::npos);
}

TEST(MailOptions, HelpNeedsNothingElse) {
  MailOptions o;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"--help"}, o, error));
  EXPECT_TRUE(o.help);
  EXPECT_NE(UsageText().find("--proxy socks4://H:P | socks5://[U@]H:P | http://[U@]H:P"), std::string::npos);
  // The exit codes are documented where a script writer looks.
  for (const char* code : {"   0  ", "  75  ", "   1  ", "   2  "}) {
    EXPECT_NE(UsageText().find(code), std::string::npos) << code;
  }
}

TEST(MailOptions, VersionNeedsNothingElseAndTakesNoValue) {
  MailOptions o;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"--version"}, o, error)) << error;
  EXPECT_TRUE(o.version);
  EXPECT_FALSE(o.help);
  MailOptions p;
  EXPECT_FALSE(ParseCommandLine({"--version=1"}, p, error));
  EXPECT_NE(error.find("takes no value"), std::string::npos) << error;
}

TEST(MailOptions, ProxyUrls) {
  ProxySpec p;
  std::string e;
  ASSERT_TRUE(ParseProxyUrl("socks4://10.0.0.1:1080", p, e)) << e;
  EXPECT_EQ(p.type, SMTPConnectionType::Socks4);
  EXPECT_EQ(p.host, "10.0.0.1");
  EXPECT_EQ(p.port, 1080);
  EXPECT_EQ(p.user, "");

  ASSERT_TRUE(ParseProxyUrl("socks5://proxy.km7.test:1081", p, e)) << e;
  EXPECT_EQ(p.type, SMTPConnectionType::Socks5);
  EXPECT_EQ(p.user, "");

  // The password may hold ":" and "@"; the last "@" ends the credentials.
  ASSERT_TRUE(ParseProxyUrl("SOCKS5://me:p:w@d@127.0.0.1:9050/", p, e)) << e;
  EXPECT_EQ(p.user, "me");
  EXPECT_EQ(p.password, "p:w@d");
  EXPECT_EQ(p.host, "127.0.0.1");
  EXPECT_EQ(p.port, 9050);

  ASSERT_TRUE(ParseProxyUrl("http://user@127.0.0.1:3128", p, e)) << e;
  EXPECT_EQ(p.type, SMTPConnectionType::HttpProxy);
  EXPECT_EQ(p.user, "user");
  EXPECT_EQ(p.password, "");

  EXPECT_FALSE(ParseProxyUrl("socks4://u:p@h:1", p, e));
  EXPECT_FALSE(ParseProxyUrl("https://h:1", p, e));
  EXPECT_FALSE(ParseProxyUrl("h:1", p, e));
  EXPECT_FALSE(ParseProxyUrl("socks5://h", p, e));
  EXPECT_FALSE(ParseProxyUrl("socks5://h:0", p, e));
  EXPECT_FALSE(ParseProxyUrl("socks5://:1", p, e));
  EXPECT_FALSE(ParseProxyUrl("socks5://@h:1", p, e));
}

TEST(MailOptions, DsnLists) {
  int32_t f = 99;
  std::string e;
  ASSERT_TRUE(ParseDsn("never", f, e));
  EXPECT_EQ(f, 0);
  ASSERT_TRUE(ParseDsn("success,failure,delay", f, e));
  EXPECT_EQ(f, 7);
  ASSERT_TRUE(ParseDsn("DELAY,success", f, e));
  EXPECT_EQ(f, 5);
  EXPECT_FALSE(ParseDsn("", f, e));
  EXPECT_FALSE(ParseDsn("success,", f, e));
  EXPECT_FALSE(ParseDsn("never,success", f, e));
}

TEST(MailTool, CharsetFollowsTheTexts) {
  EXPECT_EQ(ChooseCharset({"plain", "ascii"}), "iso-8859-1");
  EXPECT_EQ(ChooseCharset({"gr\xC3\xBC\xC3\x9F" "e", ""}), "utf-8");
  // Latin-1 bytes that are not UTF-8 keep the default label.
  EXPECT_EQ(ChooseCharset({"gr\xFC\xDF" "e"}), "iso-8859-1");
  EXPECT_EQ(ChooseCharset({"\xE2\x82"}), "iso-8859-1");  // cut sequence
  EXPECT_EQ(ChooseCharset({"ok \xE2\x82\xAC", "gr\xFC"}), "iso-8859-1");
}

TEST(MailTool, MessageFromOptions) {
  MailOptions o = ParseOk({"--cc", "c@km7.test;d@km7.test", "--bcc", "e@km7.test", "--subject", "S", "--dsn",
                           "never", "--mime"});
  o.from = "Sensor <s@km7.test>";
  CZRKSMTPMessage m;
  std::string error;
  ASSERT_TRUE(BuildMessage(o, "text", m, error)) << error;
  EXPECT_EQ(m.GetFrom().GetEmailAddress(), "s@km7.test");
  EXPECT_EQ(m.GetFrom().GetFriendlyName(), "Sensor");
  EXPECT_EQ(m.GetTo().size(), 1u);
  EXPECT_EQ(m.GetCc().size(), 2u);
  EXPECT_EQ(m.GetBcc().size(), 1u);
  EXPECT_EQ(m.GetDSNFlags(), 0);
  EXPECT_TRUE(m.GetMime());
  ASSERT_NE(m.GetRootPart().FindFirstBodyPart("text/plain"), nullptr);
  EXPECT_EQ(m.GetRootPart().FindFirstBodyPart("text/plain")->GetText(), "text");

  o.to = " ; , ";
  EXPECT_FALSE(BuildMessage(o, "text", m, error));
  EXPECT_NE(error.find("--to"), std::string::npos);
}

TEST(MailTool, FailureReportCarriesCodeTextAndResponseLines) {
  CZRKSMTPException e(km7::FACILITY_ITF, 519, "550-first line\r\n550 second line\r\n");
  std::string s = FormatFailure(e);
  EXPECT_EQ(s.rfind("km7-mail: error 80040207: Unexpected MAIL FROM response", 0), 0u) << s;
  EXPECT_NE(s.find("server's last response:\n  550-first line\n  550 second line\n"), std::string::npos) << s;
  EXPECT_EQ(s.find('\r'), std::string::npos);

  s = FormatFailure(CZRKSMTPException(km7::FACILITY_WIN32, 10061));
  EXPECT_EQ(s.rfind("km7-mail: error 8007274D: ", 0), 0u) << s;
  EXPECT_NE(s.find("server's last response: (none)"), std::string::npos);
}

TEST(MailOptions, PreparedDataAndPasswordSources) {
  struct Case {
    std::vector<std::string> extra;
    const char* errorPart;  // nullptr: accepted
  };
  const std::vector<Case> cases = {
      {{"--data", "mail.eml"}, nullptr},
      {{"--data", "-", "--password-file", "pw"}, nullptr},
      {{"--data", "mail.eml", "--subject", "x"}, "--data sends a prepared message"},
      {{"--data", "mail.eml", "--attach", "x"}, "--data sends a prepared message"},
      {{"--data", "mail.eml", "--body", "x"}, "--data sends a prepared message"},
      {{"--data", "-", "--password-file", "-"}, "only one of"},
      {{"--password-file", "-", "--proxy", "socks5://u@h:1", "--proxy-password-file", "-"}, "only one of"},
      {{"--proxy", "socks5://u@h:1", "--proxy-password-file", "pw"}, nullptr},
      {{"--proxy", "socks5://h:1", "--proxy-password-file", "pw"}, "needs a user name"},
      {{"--proxy", "http://u:p@h:1", "--proxy-password-file", "pw"}, "not both"},
  };
  for (const Case& c : cases) {
    auto args = Base();
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    MailOptions o;
    std::string error;
    const bool ok = ParseCommandLine(args, o, error);
    if (c.errorPart == nullptr) {
      EXPECT_TRUE(ok) << c.extra[0] << ": " << error;
    } else {
      EXPECT_FALSE(ok) << c.extra[0];
      EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    }
  }
}

TEST(MailTool, PreparedMessageKeepsItsTextAndTakesTheEnvelope) {
  MailOptions o = ParseOk({"--data", "mail.eml", "--bcc", "e@km7.test"});
  o.from = "<>";
  CZRKSMTPMessage m;
  std::string error;
  ASSERT_TRUE(BuildMessage(o, "Subject: ready\n\nbody\n", m, error)) << error;
  EXPECT_TRUE(m.HasPreparedContent());
  EXPECT_EQ(m.GetPreparedContent(), "Subject: ready\n\nbody\n");
  EXPECT_EQ(m.GetFrom().GetEmailAddress(), "<>");
  EXPECT_EQ(m.GetBcc().size(), 1u);
}

TEST(MailTool, ExitCodesSayWhetherARetryCanHelp) {
  struct Case {
    CZRKSMTPException e;
    int exit;
  };
  const std::vector<Case> cases = {
      {CZRKSMTPException(km7::FACILITY_ITF, 524, "450 mailbox busy\r\n"), kExitTemporary},
      {CZRKSMTPException(km7::FACILITY_ITF, 519, "421-closing\r\n421 down\r\n"), kExitTemporary},
      {CZRKSMTPException(km7::FACILITY_ITF, 524, "550 no such user\r\n"), kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, 529, "535 bad credentials\r\n"), kExitSmtpFailure},
      // No complete reply: a time-out or a server that hung up.
      {CZRKSMTPException(km7::FACILITY_ITF, 512, ""), kExitTemporary},
      {CZRKSMTPException(km7::FACILITY_ITF, 521, "25"), kExitTemporary},
      {CZRKSMTPException(km7::FACILITY_ITF, 548, "220-partial\r\n"), kExitTemporary},
      // Refused here, before the server.
      {CZRKSMTPException(km7::FACILITY_ITF, 561, "To address 1"), kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, 522, ""), kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, 570, ""), kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, 572, "454 TLS not available\r\n"), kExitTemporary},
      {CZRKSMTPException(km7::FACILITY_WIN32, 10061), kExitTemporary},
      {CZRKSMTPException(km7::FACILITY_WIN32, 10054), kExitTemporary},
      {CZRKSMTPException(km7::FACILITY_WIN32, 10060), kExitTemporary},
      {CZRKSMTPException(km7::FACILITY_WIN32, 11001), kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_WIN32, 2), kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_WIN32, 5), kExitSmtpFailure},
      {CZRKSMTPException(0x80090308u, ""), kExitSmtpFailure},
      // TLS as the server is set up: the same again on a retry.
      {CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_TLS_CERTIFICATE_UNTRUSTED, "certificate has expired"),
       kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_STARTTLS_NOT_OFFERED, "250-x\r\n250 SIZE 1\r\n"),
       kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_SSL_CONNECT_FAILED, "wrong version number"), kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_NO_AUTH_OFFERED, "250 OK\r\n"), kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_UNEXPECTED_STARTTLS_RESPONSE, "454 TLS not available\r\n"),
       kExitTemporary},
      // A handshake that did not finish in time is a time-out like any other.
      {CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_TLS_HANDSHAKE_TIMED_OUT, "no answer"), kExitTemporary},
      // A refused token: the decoded error, then the final reply decides.
      {CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_OAUTH_TOKEN_REFUSED, "invalid_token\r\n535 5.7.8 no\r\n"),
       kExitSmtpFailure},
      {CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_OAUTH_TOKEN_REFUSED, "454 4.7.0 try later\r\n"), kExitTemporary},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExitCodeFor(c.e), c.exit) << std::hex << c.e.GetErrorCode() << " " << c.e.GetLastResponse();
  }
}

TEST(MailTool, ServerTextIsMadeSafeAndCut) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const std::vector<Case> cases = {
      {"250 ok\r\n", "250 ok"},
      {"250-a\r\n250 b\r\n", "250-a\n250 b"},
      {"550 \x1b[31mred\x1b[0m\r\n", "550 \\x1B[31mred\\x1B[0m"},
      {"550 bell\a tab\t nul", "550 bell\\x07 tab\\x09 nul"},
      {std::string("550 a\0b", 7), "550 a\\x00b"},
      {"550 forged\nline\rtoo", "550 forged\\x0Aline\\x0Dtoo"},
      {"550 degree \xb0 and \x9d", "550 degree \xc2\xb0 and \\x9D"},
  };
  for (const Case& c : cases) EXPECT_EQ(SafeServerText(c.text), c.shown) << c.text;
  const std::string huge = std::string(10 << 20, 'x');
  const std::string shown = SafeServerText(huge);
  EXPECT_EQ(shown, std::string(kMaxShownServerText, 'x') + "\n[" + std::to_string(huge.size() - kMaxShownServerText) +
                       " more bytes not shown]");
  // The failure report is as safe and as short.
  const std::string report = FormatFailure(CZRKSMTPException(km7::FACILITY_ITF, 519, "550 \x1b]0;title\x07" + huge));
  EXPECT_EQ(report.find('\x1b'), std::string::npos);
  EXPECT_LT(report.size(), 3 * kMaxShownServerText);
}

TEST(MailOptions, OAuthOptions) {
  // A token command: "auto" then means the token mechanisms.
  MailOptions o = ParseOk({"--user", "a@km7.test", "--oauth2-token-command", "helper --for a"});
  EXPECT_EQ(o.auth, SMTPAuthMethod::AutoDetect);
  EXPECT_TRUE(UsesToken(o));
  EXPECT_FALSE(UsesToken(ParseOk({"--user", "a@km7.test"})));
  o = ParseOk({"--user", "a@km7.test", "--auth", "XOAUTH2"});
  EXPECT_EQ(o.auth, SMTPAuthMethod::XOAuth2);
  EXPECT_TRUE(UsesToken(o));
  // The account's CA file may be for the token endpoint alone.
  EXPECT_EQ(ParseOk({"--user", "a@km7.test", "--auth", "oauthbearer", "--cafile", "ca.pem"}).auth,
            SMTPAuthMethod::OAuthBearer);

  auto base = Base();
  auto with = [&](std::vector<std::string> extra) {
    auto args = base;
    args.insert(args.end(), extra.begin(), extra.end());
    return ParseError(args);
  };
  EXPECT_NE(with({"--auth", "xoauth2"}).find("needs --user"), std::string::npos);
  EXPECT_NE(with({"--user", "u", "--auth", "xoauth2", "--password-file", "p"}).find("--password-file"),
            std::string::npos);
  EXPECT_NE(with({"--user", "u", "--auth", "login", "--oauth2-token-command", "x"}).find("need --auth"),
            std::string::npos);
  EXPECT_NE(with({"--user", "u", "--oauth2-token-command", "x", "--oauth2-account", "f"}).find("not both"),
            std::string::npos);

  // The sign-in needs no server or message, but an account and a provider.
  MailOptions a;
  std::string error;
  ASSERT_TRUE(ParseCommandLine({"--oauth2-authorize", "--user", "a@km7.test", "--oauth2-provider", "Microsoft",
                                "--client-id", "id"},
                               a, error))
      << error;
  EXPECT_TRUE(a.authorize);
  EXPECT_EQ(a.provider, "microsoft");
  EXPECT_NE(ParseError({"--oauth2-authorize", "--user", "u", "--client-id", "id"}).find("--oauth2-provider"),
            std::string::npos);
  EXPECT_NE(ParseError({"--oauth2-authorize", "--user", "u", "--oauth2-provider", "google"}).find("--client-id"),
            std::string::npos);
  EXPECT_NE(ParseError({"--oauth2-authorize", "--oauth2-provider", "google", "--client-id", "id"}).find("--user"),
            std::string::npos);
  EXPECT_NE(ParseError({"--oauth2-provider", "yahoo"}).find("bad --oauth2-provider"), std::string::npos);
}

}  // namespace
}  // namespace km7::mail
