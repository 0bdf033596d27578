#pragma once
// Command line of km7-mail: parsing and the usage text. Kept apart from the
// sending so the parser can be tested without a server. The options
// themselves are in MailOptionTable.cpp, their values in MailValues.cpp.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/SMTPConnection.h"
#include "smtp/SMTPMessage.h"

namespace km7::mail {

// Exit codes.
inline constexpr int kExitOk = 0;           // accepted (even if ending the session failed)
inline constexpr int kExitSmtpFailure = 1;  // permanent failure: 5xx reply, refused credentials, ...
inline constexpr int kExitUsage = 2;        // bad command line or unreadable input file
inline constexpr int kExitTemporary = 75;   // worth a retry: 4xx reply, time-out, connection failure

// Upper bound of --count: enough for any check of a server, small enough
// that a typo cannot keep a session busy for days.
inline constexpr long kMaxCount = 1000000;

struct ProxySpec {
  SMTPConnectionType type = SMTPConnectionType::Direct;
  std::string host;
  uint16_t port = 0;
  std::string user;      // empty: no proxy authentication
  std::string password;
};

struct MailOptions {
  bool help = false;
  bool version = false;
  bool verbose = false;

  std::string server;
  uint16_t port = 25;
  SMTPAuthMethod auth = SMTPAuthMethod::None;
  bool authGiven = false;
  std::string user;
  std::string passwordFile;  // "-" is standard input; empty: no password
  ProxySpec proxy;
  std::string proxyPasswordFile;  // "-" is standard input; empty: none, or the one in --proxy
  std::string bindAddress;
  uint32_t timeoutMs = 60000;
  std::string helo = "auto";
  SMTPSecurity security = SMTPSecurity::None;
  std::string caFile;    // trusted beside the system's CAs (SMTP and token endpoint)
  bool insecure = false;  // no certificate check

  // OAuth 2.0: where the access token comes from (a command, or the account
  // stored by --oauth2-authorize), and the sign-in itself.
  std::string tokenCommand;
  std::string accountFile;  // empty: the default place for --user
  bool authorize = false;
  std::string provider;     // "microsoft", "google" or empty
  std::string deviceUrl;
  std::string tokenUrl;
  std::string clientId;
  std::string clientSecretFile;
  std::string scope;

  std::string from;
  std::string to;
  std::string cc;
  std::string bcc;
  std::string subject;
  bool hasBody = false;
  std::string body;
  std::string bodyFile;
  std::vector<std::string> attachments;
  std::string dataFile;  // a prepared message; "-" is standard input
  bool mime = false;
  int32_t dsnFlags = -1;  // -1: no delivery-status notification parameters
  long count = 1;
};

// Parses argv[1..]; "--name value" and "--name=value" are both accepted.
// Returns false with a one-line reason in error.
bool ParseCommandLine(const std::vector<std::string>& args, MailOptions& options, std::string& error);

// "socks4://H:P", "socks5://[U:P@]H:P", "http://[U:P@]H:P". The port is
// required; user and password may hold any character but "@" in the user
// part and are taken as given (no percent-decoding).
bool ParseProxyUrl(std::string_view url, ProxySpec& proxy, std::string& error);

// "success,failure,delay" (any non-empty subset, any order) or "never".
bool ParseDsn(std::string_view text, int32_t& flags, std::string& error);

// "none", "cram-md5", "login", "plain", "ntlm", "xoauth2", "oauthbearer",
// "auto" (any case).
bool ParseAuthMethod(std::string_view text, SMTPAuthMethod& method);

// A decimal port 1..65535.
bool ParsePort(std::string_view text, uint16_t& port);
// Milliseconds, 1 to a day.
bool ParseTimeout(std::string_view text, uint32_t& ms);
// 1 to kMaxCount.
bool ParseCount(std::string_view text, long& count);
// "microsoft" or "google", in any case; stored in lower case.
bool ParseProvider(std::string_view text, std::string& provider);

// True when the options send an access token: a token mechanism, or "auto"
// with a token command or an account file given.
bool UsesToken(const MailOptions& options);

std::string UsageText();

}  // namespace km7::mail
