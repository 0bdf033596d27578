#pragma once
// Talking to an OAuth 2.0 authorization server: the refresh grant (RFC 6749
// section 6) and the device authorization grant (RFC 8628). Every failure
// is raised as OAuthError with a text that names its cause.
#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "smtp/OAuthHttp.h"
#include "smtp/OAuthResponses.h"

namespace km7::oauth {

// The provider's endpoints and the client registered with it.
struct Provider {
  std::string deviceUrl;
  std::string tokenUrl;
  std::string clientId;
  std::string clientSecret;  // optional; a secret, wiped by its owner
  std::string scope;
};

// "microsoft" and "google" (any case) fill in the endpoints and the scope
// for sending mail; the client id stays the caller's. False for other names.
bool ApplyPreset(std::string_view name, Provider& provider);

class OAuthError : public std::runtime_error {
 public:
  enum class Kind {
    Unreachable,   // no answer from the endpoint
    InvalidGrant,  // the refresh token (or device code) is expired or revoked
    Refused,       // another error the server named
    BadAnswer,     // an answer that is no OAuth answer
    Denied,        // the user declined the sign-in
    Expired,       // the device code ran out before the user signed in
    Cancelled,     // the caller stopped the wait
    Command,       // a token command failed
  };
  OAuthError(Kind kind, const std::string& text) : std::runtime_error(text), m_kind(kind) {}
  Kind kind() const { return m_kind; }

 private:
  Kind m_kind;
};

// Exchanges the refresh token for an access token. The answer may carry a
// new refresh token (rotation), which replaces the old one.
TokenResponse RefreshAccessToken(const Provider& provider, const std::string& refreshToken,
                                 const HttpOptions& options);

// Asks for a device code and the user code to show.
DeviceAuthorization StartDeviceAuthorization(const Provider& provider, const HttpOptions& options);

// Polls the token endpoint as the server asks (its interval, five seconds
// more after each "slow_down") until the user has signed in, declined, or
// the codes expire. stop is checked at least every 100 ms.
TokenResponse WaitForDeviceToken(const Provider& provider, const DeviceAuthorization& device,
                                 const HttpOptions& options, const std::atomic<bool>* stop = nullptr);

}  // namespace km7::oauth
