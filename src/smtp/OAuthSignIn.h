#pragma once
// The sign-in that gives km7 its first refresh token (the device
// authorization grant), as km7-mail and the desktop both run it: the
// provider from a preset and the user's own values, and the wait that ends
// with the account's refresh token. Showing the codes and storing the
// account are the caller's.
#include <atomic>
#include <string_view>

#include "smtp/OAuthAccount.h"
#include "smtp/OAuthClient.h"

namespace km7::oauth {

// The preset's endpoints and scope (none for an unknown or empty name), each
// replaced by the value given where one is; the client is always the given one.
Provider ProviderFor(std::string_view preset, const Provider& given);

// What the provider still lacks for a sign-in ("the client id", ...); empty
// when it has everything.
std::string MissingForSignIn(const Provider& provider);

// Waits for the user to finish the sign-in the codes of `device` started and
// puts the refresh token into the account. The access token of the sign-in
// is dropped: a send gets a fresh one. Raises OAuthError, also when the
// provider sent no refresh token (Kind::Refused) and when stop was set
// (Kind::Cancelled; a request under way ends at once).
void CompleteSignIn(Account& account, const DeviceAuthorization& device, HttpOptions options,
                    const std::atomic<bool>* stop = nullptr);

}  // namespace km7::oauth
