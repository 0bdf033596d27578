#pragma once
// The two ways a mail server takes an OAuth 2.0 access token: XOAUTH2 (the
// form the large providers document) and OAUTHBEARER (RFC 7628), and the
// JSON error a server answers a refused token with.
#include <cstdint>
#include <string>
#include <string_view>

namespace km7::oauth {

// "user=U^Aauth=Bearer T^A^A", before Base64.
std::string XOAuth2Response(std::string_view user, std::string_view token);

// "n,a=U,^Ahost=H^Aport=P^Aauth=Bearer T^A^A", before Base64. "," and "="
// in the user name are escaped as the GS2 header asks.
std::string OAuthBearerResponse(std::string_view user, std::string_view host, uint16_t port,
                                std::string_view token);

// What a server says about a refused token: {"status":"invalid_token",
// "scope":"...","openid-configuration":"..."}. XOAUTH2 servers send the same
// shape (with "schemes" beside it).
struct BearerError {
  bool parsed = false;  // false: not a JSON object (raw keeps the text)
  std::string status;
  std::string scope;
  std::string openidConfiguration;
  std::string raw;
};
BearerError ParseBearerError(std::string_view json);

// One line for the user: "invalid_token (scope "...")", or the raw text
// when it was no JSON object.
std::string DescribeBearerError(const BearerError& error);

}  // namespace km7::oauth
