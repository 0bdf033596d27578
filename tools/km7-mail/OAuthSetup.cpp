#include "OAuthSetup.h"

#include <istream>
#include <ostream>

#include "InputSources.h"
#include "TerminalText.h"
#include "platform/SecureWipe.h"
#include "smtp/OAuthAccount.h"
#include "smtp/OAuthSignIn.h"

namespace km7::mail {

namespace {

const char* const kProgram = "km7-mail: ";

}  // namespace

std::string AccountFileOf(const MailOptions& o) {
  return o.accountFile.empty() ? km7::oauth::DefaultAccountPath(o.user) : o.accountFile;
}

int ExitCodeFor(const km7::oauth::OAuthError& e) {
  return e.kind() == km7::oauth::OAuthError::Kind::Unreachable ? kExitTemporary : kExitSmtpFailure;
}

int RunAuthorize(const MailOptions& o, std::istream& in, std::ostream& out, std::ostream& err, bool inIsTerminal) {
  km7::oauth::Account account;
  account.user = o.user;
  km7::oauth::Provider given;
  given.deviceUrl = o.deviceUrl;
  given.tokenUrl = o.tokenUrl;
  given.scope = o.scope;
  given.clientId = o.clientId;
  account.provider = km7::oauth::ProviderFor(o.provider, given);
  std::string error;
  std::string warning;
  if (!o.clientSecretFile.empty() && !ReadPassword(o.clientSecretFile, in, inIsTerminal, "client secret",
                                                   account.provider.clientSecret, error, &warning)) {
    err << kProgram << error << "\n";
    return kExitUsage;
  }
  if (!warning.empty()) err << kProgram << "warning: " << warning << "\n";
  const km7::oauth::HttpOptions http{o.caFile, o.timeoutMs};
  const std::string path = AccountFileOf(o);
  try {
    const km7::oauth::DeviceAuthorization device = km7::oauth::StartDeviceAuthorization(account.provider, http);
    // What the server sent is shown, so nothing in it may steer the terminal.
    out << "To sign in as " << SafeServerText(o.user) << ", open " << SafeServerText(device.verificationUri)
        << "\nand enter the code " << SafeServerText(device.userCode) << "\n";
    if (!device.verificationUriComplete.empty()) {
      out << "(or open " << SafeServerText(device.verificationUriComplete) << ")\n";
    }
    out << "Waiting for the sign-in";
    if (device.expiresIn > 0) out << " (the code is valid for " << (device.expiresIn + 59) / 60 << " min)";
    out << "...\n" << std::flush;
    km7::oauth::CompleteSignIn(account, device, http);
  } catch (const km7::oauth::OAuthError& e) {
    err << kProgram << "sign-in failed: " << e.what() << "\n";
    return ExitCodeFor(e);
  }
  if (!km7::oauth::SaveAccount(path, account, error)) {
    err << kProgram << "signed in, but the account could not be stored: " << error << "\n";
    return kExitSmtpFailure;
  }
  out << "Signed in. The refresh token for " << SafeServerText(o.user) << " is stored in " << path << "\n";
  return kExitOk;
}

std::unique_ptr<km7::oauth::TokenSource> MakeTokenSource(const MailOptions& o, std::ostream& err, std::string& error) {
  if (!o.tokenCommand.empty()) {
    try {
      return std::make_unique<km7::oauth::CommandTokenSource>(o.tokenCommand, o.timeoutMs);
    } catch (const km7::oauth::OAuthError& e) {
      error = std::string("bad --oauth2-token-command: ") + e.what();
      return nullptr;
    }
  }
  km7::oauth::Account account;
  const std::string path = AccountFileOf(o);
  if (!km7::oauth::LoadAccount(path, account, error)) return nullptr;
  auto store = [path](const km7::oauth::Account& renewed, std::string& why) {
    return km7::oauth::SaveAccount(path, renewed, why);
  };
  auto warn = [&err](const std::string& text) { err << kProgram << "warning: " << text << "\n"; };
  return std::make_unique<km7::oauth::RefreshTokenSource>(account, km7::oauth::HttpOptions{o.caFile, o.timeoutMs},
                                                          store, warn);
}

}  // namespace km7::mail
