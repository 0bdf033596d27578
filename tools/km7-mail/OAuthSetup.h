#pragma once
// km7-mail's OAuth 2.0 side: the sign-in (device authorization grant) and
// the access token of a send.
#include <iosfwd>
#include <memory>
#include <string>

#include "MailOptions.h"
#include "smtp/TokenSource.h"

namespace km7::mail {

// The account file of the options: --oauth2-account, else the default place
// for --user.
std::string AccountFileOf(const MailOptions& options);

// Runs the sign-in: prints the address and the code on out, waits for the
// user, stores the account. Returns an exit code; errors go to err.
int RunAuthorize(const MailOptions& options, std::istream& in, std::ostream& out, std::ostream& err,
                 bool inIsTerminal);

// The token source the options name (command or stored account). Returns
// nullptr with a reason when the account cannot be loaded.
std::unique_ptr<km7::oauth::TokenSource> MakeTokenSource(const MailOptions& options, std::ostream& err,
                                                         std::string& error);

// The exit code for a token that could not be had: kExitTemporary when the
// endpoint could not be reached, kExitSmtpFailure otherwise.
int ExitCodeFor(const km7::oauth::OAuthError& e);

}  // namespace km7::mail
