#pragma once
// The access tokens of the OAuth 2.0 accounts alarm mail is sent with. One
// token source per account file for the whole process, so that every sender
// (the mail worker, the setup dialog's test) renews with the same refresh
// token, and one that the provider rotated is what all of them use next. A
// file replaced from outside (a new sign-in) is read again.
#include <memory>
#include <string>

#include "platform/DataProtection.h"
#include "smtp/TokenSource.h"

namespace km7::alarms {

// The source for the account stored in `path`; nullptr with a reason when
// the account cannot be read. Reads the file: call it on a sending thread.
std::shared_ptr<km7::oauth::TokenSource> AccountTokenSource(const std::string& path, std::string& error);
// The same for a file sealed with another key than the user's (a service's
// own); a rotated token is sealed with it again.
std::shared_ptr<km7::oauth::TokenSource> AccountTokenSource(const std::string& path,
                                                            const km7::DataProtector& protector, std::string& error);

}  // namespace km7::alarms
