#include "MailOptionTable.h"

#include <algorithm>

namespace km7::mail {

namespace {

using Parse = OptionParse;

// Stores the value as it is (a text option).
template <std::string MailOptions::*field>
bool Text(Parse& p, const std::string& value, std::string&) {
  p.options.*field = value;
  return true;
}

// Sets a flag of the options.
template <bool MailOptions::*field>
bool Flag(Parse& p, const std::string&, std::string&) {
  p.options.*field = true;
  return true;
}

// Notes a flag of the parse, for the checks after the last argument.
template <bool OptionParse::*field>
bool Seen(Parse& p, const std::string&, std::string&) {
  p.*field = true;
  return true;
}

bool Port(Parse& p, const std::string& v, std::string& error) {
  if (!ParsePort(v, p.options.port)) {
    error = "bad --port \"" + v + "\" (1 to 65535)";
    return false;
  }
  p.portGiven = true;
  return true;
}

bool CaFile(Parse& p, const std::string& v, std::string& error) {
  if (v.empty()) {
    error = "--cafile needs a file name";
    return false;
  }
  p.options.caFile = v;
  return true;
}

bool Auth(Parse& p, const std::string& v, std::string& error) {
  if (!ParseAuthMethod(v, p.options.auth)) {
    error = "bad --auth \"" + v + "\" (none, cram-md5, login, plain, ntlm, xoauth2, oauthbearer or auto)";
    return false;
  }
  p.options.authGiven = true;
  return true;
}

bool Timeout(Parse& p, const std::string& v, std::string& error) {
  if (ParseTimeout(v, p.options.timeoutMs)) return true;
  error = "bad --timeout \"" + v + "\" (milliseconds, 1 to 86400000)";
  return false;
}

bool Count(Parse& p, const std::string& v, std::string& error) {
  if (ParseCount(v, p.options.count)) return true;
  error = "bad --count \"" + v + "\" (1 to " + std::to_string(kMaxCount) + ")";
  return false;
}

bool Provider(Parse& p, const std::string& v, std::string& error) {
  if (ParseProvider(v, p.options.provider)) return true;
  error = "bad --oauth2-provider \"" + v + "\" (microsoft or google; or give the endpoints)";
  return false;
}

// clang-format off
constexpr MailOptionSpec kOptions[] = {
  {"--server", nullptr, "HOST", "mail server (name, IPv4 or IPv6 address)", Text<&MailOptions::server>},
  {"--port", nullptr, "N", "server port (25)", Port},
  {"--auth", nullptr, "METHOD",
   "authentication; default none without --user, auto with it\n"
   "(auto picks the first of NTLM, CRAM-MD5, LOGIN, PLAIN offered;\n"
   "with an access token, OAUTHBEARER or XOAUTH2, and never a\n"
   "password mechanism)", Auth},
  {"--user", nullptr, "U", "account name (DOMAIN\\user for NTLM)", Text<&MailOptions::user>},
  {"--password-file", nullptr, "F",
   "read the password from the first line of F; \"-\" reads it\n"
   "from standard input (without echo on a terminal).\n"
   "The password is never an argument.", Text<&MailOptions::passwordFile>},
  {"--oauth2-token-command", nullptr, "CMD",
   "run CMD (without a shell; quotes group words)\n"
   "and send the first line it prints as the access token", Text<&MailOptions::tokenCommand>},
  {"--oauth2-account", nullptr, "FILE",
   "the account stored by --oauth2-authorize (default:\n"
   "$XDG_CONFIG_HOME/km7/oauth2/USER.json); xoauth2 and\n"
   "oauthbearer use it when no token command is given", Text<&MailOptions::accountFile>},
  {"--oauth2-authorize", nullptr, nullptr,
   "sign in with the device authorization grant: prints an\n"
   "address and a code to enter there, waits, and stores the\n"
   "refresh token, sealed for this user", Flag<&MailOptions::authorize>},
  {"--oauth2-provider", nullptr, "P", "endpoints and scope for microsoft or google", Provider},
  {"--oauth2-device-url", nullptr, "URL", "any other provider's device authorization endpoint",
   Text<&MailOptions::deviceUrl>},
  {"--oauth2-token-url", nullptr, "URL", "any other provider's token endpoint", Text<&MailOptions::tokenUrl>},
  {"--client-id", nullptr, "ID", "the application registered with the provider", Text<&MailOptions::clientId>},
  {"--client-secret-file", nullptr, "F", "its secret, when the provider asks for one",
   Text<&MailOptions::clientSecretFile>},
  {"--scope", nullptr, "TEXT", "the scope asked for (the preset's by default)", Text<&MailOptions::scope>},
  {"--proxy", nullptr, "URL",
   "connect through a SOCKS4, SOCKS5 or HTTP CONNECT proxy; a\n"
   "password in the URL works, but others can see it (ps)",
   [](Parse& p, const std::string& v, std::string& error) { return ParseProxyUrl(v, p.options.proxy, error); }},
  {"--proxy-password-file", nullptr, "F", "the proxy user's password, as --password-file",
   Text<&MailOptions::proxyPasswordFile>},
  {"--bind", nullptr, "ADDR", "local address to connect from", Text<&MailOptions::bindAddress>},
  {"--timeout", nullptr, "MS",
   "bound on each reply, proxy handshake, connection and name\n"
   "lookup, in milliseconds (60000)", Timeout},
  {"--helo", nullptr, "NAME", "name sent with HELO/EHLO (default: this host's name)", Text<&MailOptions::helo>},
  {"--starttls", nullptr, nullptr,
   "switch to TLS with STARTTLS after the greeting; fails when\n"
   "the server does not offer it (port 587 is usual)", Seen<&OptionParse::startTlsGiven>},
  {"--tls", nullptr, nullptr, "TLS from the first byte (port 465 unless --port is given)",
   Seen<&OptionParse::tlsGiven>},
  {"--cafile", nullptr, "FILE",
   "trust the CA certificates in FILE (PEM) as well as the\n"
   "system's (for the mail server and the token endpoint)", CaFile},
  {"--insecure", nullptr, nullptr, "do not check the server's certificate (says so on stderr)",
   Flag<&MailOptions::insecure>},
  {"--from", nullptr, "ADDR", "sender, \"Name <addr>\" or addr", Text<&MailOptions::from>},
  {"--to", nullptr, "LIST", "recipients, separated by \",\" or \";\"", Text<&MailOptions::to>},
  {"--cc", nullptr, "LIST", "copy recipients, as --to", Text<&MailOptions::cc>},
  {"--bcc", nullptr, "LIST", "blind copy recipients, as --to", Text<&MailOptions::bcc>},
  {"--subject", nullptr, "TEXT", "subject", Text<&MailOptions::subject>},
  {"--body", nullptr, "TEXT", "message text",
   [](Parse& p, const std::string& v, std::string&) { p.options.body = v; p.options.hasBody = true; return true; }},
  {"--body-file", nullptr, "F", "read the message text from F (\"-\": standard input)",
   [](Parse& p, const std::string& v, std::string&) { p.options.bodyFile = v; p.bodyFileGiven = true; return true; }},
  {"--attach", nullptr, "FILE", "attach a file (repeatable); makes the message MIME",
   [](Parse& p, const std::string& v, std::string&) { p.options.attachments.push_back(v); return true; }},
  {"--mime", nullptr, nullptr, "send as MIME even without attachments", Flag<&MailOptions::mime>},
  {"--data", nullptr, "F",
   "send the prepared message in F (header and body);\n"
   "\"-\" reads it from standard input. The envelope comes\n"
   "from --from (\"<>\" for none), --to, --cc and --bcc.", Text<&MailOptions::dataFile>},
  {"--dsn", nullptr, "LIST",
   "delivery status notifications: any of success,failure,delay,\n"
   "or never",
   [](Parse& p, const std::string& v, std::string& error) { return ParseDsn(v, p.options.dsnFlags, error); }},
  {"--count", nullptr, "N", "send the message N times over one connection (1)", Count},
  {"--verbose", "-v", nullptr,
   "print the dialogue with the server on standard error\n"
   "(credentials and message content left out)", Flag<&MailOptions::verbose>},
  {"--help", "-h", nullptr, "this text", Flag<&MailOptions::help>},
  {"--version", nullptr, nullptr, "print the version and exit", Flag<&MailOptions::version>},
};
// clang-format on

// Where the help of an option starts, unless its name is longer.
constexpr std::size_t kHelpColumn = 23;

}  // namespace

std::span<const MailOptionSpec> MailOptionTable() { return kOptions; }

const MailOptionSpec* FindMailOption(std::string_view name) {
  for (const MailOptionSpec& spec : kOptions)
    if (name == spec.name || (spec.alias != nullptr && name == spec.alias)) return &spec;
  return nullptr;
}

std::string OptionListText() {
  std::string out;
  for (const MailOptionSpec& spec : kOptions) {
    std::string head = std::string("  ") + spec.name;
    if (spec.argName != nullptr) head += std::string(" ") + spec.argName;
    out += head + std::string(std::max(kHelpColumn, head.size() + 2) - head.size(), ' ');
    std::string_view help = spec.help;
    for (bool first = true; !help.empty(); first = false) {
      const std::size_t end = std::min(help.find('\n'), help.size());
      if (!first) out += std::string(kHelpColumn, ' ');
      out.append(help.substr(0, end)).append("\n");
      help.remove_prefix(std::min(end + 1, help.size()));
    }
  }
  return out;
}

}  // namespace km7::mail
