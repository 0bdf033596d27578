// km7-mail: sends mail with the km7 SMTP client from a terminal, to check a
// mail server or a proxy.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "MailOptions.h"
#include "MailTool.h"
#include "OAuthSetup.h"
#include "platform/ProcessSecrets.h"
#include "platform/Version.h"

int main(int argc, char** argv) {
  // Passwords, client secrets and tokens live in this process.
  km7::KeepSecretsOutOfCoreDumps();
  // A server that drops the connection must give an error, not kill us.
  signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  km7::mail::MailOptions options;
  std::string error;
  if (!km7::mail::ParseCommandLine(args, options, error)) {
    std::cerr << "km7-mail: " << error << "\nTry \"km7-mail --help\".\n";
    return km7::mail::kExitUsage;
  }
  if (options.help) {
    std::cout << km7::mail::UsageText();
    return km7::mail::kExitOk;
  }
  if (options.version) {
    std::cout << "km7-mail " << km7::Version() << '\n';
    return km7::mail::kExitOk;
  }
  if (options.authorize) {
    return km7::mail::RunAuthorize(options, std::cin, std::cout, std::cerr, isatty(STDIN_FILENO) == 1);
  }
  return km7::mail::RunMail(options, std::cin, std::cerr, isatty(STDIN_FILENO) == 1);
}
