#include "smtp/OAuthClient.h"

#include <chrono>
#include <thread>

#include "platform/SecureWipe.h"
#include "platform/Text.h"

namespace km7::oauth {

namespace {

using Kind = OAuthError::Kind;

void AddClient(const Provider& provider, FormFields& fields) {
  fields.emplace_back("client_id", provider.clientId);
  if (!provider.clientSecret.empty()) fields.emplace_back("client_secret", provider.clientSecret);
}

void WipeFields(FormFields& fields) {
  for (auto& [name, value] : fields) km7::Wipe(value);
}

// Posts and reads a token response; raises for everything but an answer the
// caller has to look at (an OAuth error in JSON is returned).
TokenResponse PostForToken(const std::string& url, FormFields& fields, const HttpOptions& options) {
  const HttpAnswer answer = PostForm(url, fields, options);
  WipeFields(fields);
  if (!answer.reached && options.stop != nullptr && options.stop->load())
    throw OAuthError(Kind::Cancelled, "the sign-in was cancelled");
  if (!answer.reached) throw OAuthError(Kind::Unreachable, "the token endpoint " + url + " cannot be reached: " + answer.error);
  TokenResponse token = ParseTokenResponse(answer.body);
  if (token.error == "invalid_response") {
    throw OAuthError(Kind::BadAnswer, "the token endpoint " + url + " gave no usable answer (HTTP " +
                                          std::to_string(answer.status) + "): " + token.errorDescription);
  }
  return token;
}

}  // namespace

bool ApplyPreset(std::string_view name, Provider& provider) {
  if (km7::EqualsIgnoringCase(name, "microsoft")) {
    provider.deviceUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode";
    provider.tokenUrl = "https://login.microsoftonline.com/common/oauth2/v2.0/token";
    provider.scope = "https://outlook.office.com/SMTP.Send offline_access";
    return true;
  }
  if (km7::EqualsIgnoringCase(name, "google")) {
    provider.deviceUrl = "https://oauth2.googleapis.com/device/code";
    provider.tokenUrl = "https://oauth2.googleapis.com/token";
    provider.scope = "https://mail.google.com/";
    return true;
  }
  return false;
}

TokenResponse RefreshAccessToken(const Provider& provider, const std::string& refreshToken,
                                 const HttpOptions& options) {
  if (refreshToken.empty()) throw OAuthError(Kind::InvalidGrant, "no refresh token is stored for this account");
  FormFields fields{{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
  AddClient(provider, fields);
  if (!provider.scope.empty()) fields.emplace_back("scope", provider.scope);
  TokenResponse token = PostForToken(provider.tokenUrl, fields, options);
  if (token.ok) return token;
  const std::string why = DescribeError(token.error, token.errorDescription);
  if (token.error == "invalid_grant") {
    throw OAuthError(Kind::InvalidGrant, "the refresh token has expired or was revoked (" + why +
                                             "); sign in again to get a new one");
  }
  throw OAuthError(Kind::Refused, "the token endpoint refused the refresh token: " + why);
}

DeviceAuthorization StartDeviceAuthorization(const Provider& provider, const HttpOptions& options) {
  FormFields fields;
  AddClient(provider, fields);
  if (!provider.scope.empty()) fields.emplace_back("scope", provider.scope);
  const HttpAnswer answer = PostForm(provider.deviceUrl, fields, options);
  WipeFields(fields);
  if (!answer.reached && options.stop != nullptr && options.stop->load())
    throw OAuthError(Kind::Cancelled, "the sign-in was cancelled");
  if (!answer.reached) {
    throw OAuthError(Kind::Unreachable,
                     "the device authorization endpoint " + provider.deviceUrl + " cannot be reached: " + answer.error);
  }
  DeviceAuthorization device = ParseDeviceAuthorization(answer.body);
  if (device.ok) return device;
  const std::string why = DescribeError(device.error, device.errorDescription);
  if (device.error == "invalid_response") {
    throw OAuthError(Kind::BadAnswer, "the device authorization endpoint gave no usable answer (HTTP " +
                                          std::to_string(answer.status) + "): " + why);
  }
  throw OAuthError(Kind::Refused, "the device authorization endpoint refused the request: " + why);
}

TokenResponse WaitForDeviceToken(const Provider& provider, const DeviceAuthorization& device,
                                 const HttpOptions& options, const std::atomic<bool>* stop) {
  using Clock = std::chrono::steady_clock;
  // Codes without a stated lifetime are given a quarter of an hour.
  const auto expires = Clock::now() + std::chrono::seconds(device.expiresIn > 0 ? device.expiresIn : 900);
  long interval = device.interval > 0 ? device.interval : 5;
  for (;;) {
    const auto next = Clock::now() + std::chrono::seconds(interval);
    while (Clock::now() < next) {
      if (stop != nullptr && stop->load()) throw OAuthError(Kind::Cancelled, "the sign-in was cancelled");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (Clock::now() >= expires) {
      throw OAuthError(Kind::Expired, "the code expired before the sign-in was finished; start again");
    }
    FormFields fields{{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                      {"device_code", device.deviceCode}};
    AddClient(provider, fields);
    TokenResponse token = PostForToken(provider.tokenUrl, fields, options);
    if (token.ok) return token;
    if (token.error == "authorization_pending") continue;
    if (token.error == "slow_down") {
      interval += 5;
      continue;
    }
    const std::string why = DescribeError(token.error, token.errorDescription);
    if (token.error == "access_denied") throw OAuthError(Kind::Denied, "the sign-in was declined (" + why + ")");
    if (token.error == "expired_token") {
      throw OAuthError(Kind::Expired, "the code expired before the sign-in was finished (" + why + "); start again");
    }
    throw OAuthError(Kind::Refused, "the token endpoint refused the sign-in: " + why);
  }
}

}  // namespace km7::oauth
