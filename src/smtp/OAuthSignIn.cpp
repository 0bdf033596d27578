#include "smtp/OAuthSignIn.h"

#include "platform/SecureWipe.h"

namespace km7::oauth {

Provider ProviderFor(std::string_view preset, const Provider& given) {
  Provider provider;
  if (!preset.empty()) ApplyPreset(preset, provider);
  if (!given.deviceUrl.empty()) provider.deviceUrl = given.deviceUrl;
  if (!given.tokenUrl.empty()) provider.tokenUrl = given.tokenUrl;
  if (!given.scope.empty()) provider.scope = given.scope;
  provider.clientId = given.clientId;
  provider.clientSecret = given.clientSecret;
  return provider;
}

std::string MissingForSignIn(const Provider& provider) {
  if (provider.clientId.empty()) return "the client id";
  if (provider.deviceUrl.empty()) return "the device authorization address";
  if (provider.tokenUrl.empty()) return "the token address";
  return {};
}

void CompleteSignIn(Account& account, const DeviceAuthorization& device, HttpOptions options,
                    const std::atomic<bool>* stop) {
  if (stop != nullptr) options.stop = stop;
  TokenResponse token = WaitForDeviceToken(account.provider, device, options, stop);
  km7::Wipe(token.accessToken);
  if (token.refreshToken.empty()) {
    throw OAuthError(OAuthError::Kind::Refused,
                     "the provider gave no refresh token, so km7 could not renew the access; ask for offline "
                     "access in the scope (Microsoft: offline_access)");
  }
  km7::Wipe(account.refreshToken);
  account.refreshToken = token.refreshToken;
  km7::Wipe(token.refreshToken);
}

}  // namespace km7::oauth
