#include "MailOptionTable.h"
#include "MailOptions.h"

namespace km7::mail {

// The synopsis says which options go together; the option list comes from
// the table that the parser reads.
std::string UsageText() {
  return std::string(
      "Usage: km7-mail --server HOST [--port 25]\n"
      "                [--auth none|cram-md5|login|plain|ntlm|xoauth2|oauthbearer|auto]\n"
      "                [--user U] [--password-file F|- | --oauth2-token-command CMD |\n"
      "                 --oauth2-account FILE]\n"
      "                [--proxy socks4://H:P | socks5://[U@]H:P | http://[U@]H:P]\n"
      "                [--proxy-password-file F|-] [--bind ADDR] [--timeout MS] [--helo NAME]\n"
      "                [--starttls | --tls] [--cafile FILE | --insecure]\n"
      "                --from ADDR --to LIST [--cc LIST] [--bcc LIST] [--subject TEXT]\n"
      "                [--body TEXT | --body-file F] [--attach FILE]... [--mime] | [--data F|-]\n"
      "                [--dsn success,failure,delay|never] [--count N] [--verbose]\n"
      "       km7-mail --oauth2-authorize --user ADDR --client-id ID\n"
      "                (--oauth2-provider microsoft|google |\n"
      "                 --oauth2-device-url URL --oauth2-token-url URL)\n"
      "                [--scope TEXT] [--client-secret-file F|-] [--oauth2-account FILE]\n"
      "                [--cafile FILE] [--timeout MS]\n"
      "       km7-mail --help | --version\n"
      "\n"
      "Sends one message, or N messages over one connection, through an SMTP server.\n"
      "With --oauth2-authorize, signs in to an OAuth 2.0 provider instead and stores\n"
      "the refresh token for the account.\n"
      "\n") +
      OptionListText() +
      "\n"
      "Exit status:\n"
      "   0  every message was accepted (a failure after that, while ending the\n"
      "      session, is only a warning: sending again would duplicate the mail)\n"
      "  75  temporary failure, worth a retry: a 4xx reply, a time-out, or a\n"
      "      connection that could not be made or broke\n"
      "   1  permanent failure: a 5xx reply, refused credentials, anything else\n"
      "   2  bad command line or unreadable input file\n"
      "On failure the error code (8 hexadecimal digits), its text and the server's\n"
      "last response are printed on standard error.\n";
}

}  // namespace km7::mail
