#pragma once
// The answers of an OAuth 2.0 authorization server, read from their JSON:
// the token endpoint's (RFC 6749 section 5) and the device authorization
// endpoint's (RFC 8628 section 3.2). Nothing here touches the network.
#include <string>
#include <string_view>

namespace km7::oauth {

struct TokenResponse {
  // True when an access token came; otherwise error says why ("invalid_grant",
  // "authorization_pending", ... or "invalid_response" for an answer that is
  // no token response at all).
  bool ok = false;
  std::string accessToken;
  std::string refreshToken;  // empty: the old one stays valid
  std::string tokenType;
  std::string scope;
  long expiresIn = -1;  // seconds; -1 when not given
  std::string error;
  std::string errorDescription;
};
// An access token with a byte outside printable ASCII (a control character
// would add fields to the SASL message) is an invalid_response.
TokenResponse ParseTokenResponse(std::string_view body);

// A token may hold printable ASCII only, no blank (RFC 6750's b64token and
// every token seen in practice).
bool IsTokenText(std::string_view token);

struct DeviceAuthorization {
  bool ok = false;
  std::string deviceCode;
  std::string userCode;
  std::string verificationUri;
  std::string verificationUriComplete;
  long expiresIn = 0;  // seconds the codes stay valid
  long interval = 5;   // seconds between polls
  std::string error;
  std::string errorDescription;
};
DeviceAuthorization ParseDeviceAuthorization(std::string_view body);

// "invalid_grant: the refresh token has expired" — the error and its
// description for the user (control characters shown as "?", cut to a line).
std::string DescribeError(std::string_view error, std::string_view description);

}  // namespace km7::oauth
