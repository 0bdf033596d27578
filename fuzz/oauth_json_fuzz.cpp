// Feeds arbitrary bytes to the readers of an authorization server's answers
// (token and device authorization) and of a mail server's OAUTHBEARER error
// challenge. Whatever they get, they must not crash, and what they report
// must be consistent: an answer taken as a success carries what a success
// needs, and every text meant for a terminal is free of control characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "smtp/OAuthResponses.h"
#include "smtp/OAuthSasl.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool Printable(const std::string& text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  const km7::oauth::TokenResponse token = km7::oauth::ParseTokenResponse(text);
  Check(token.ok == (token.error.empty() && !token.accessToken.empty()));
  Check(token.expiresIn >= -1);
  Check(Printable(km7::oauth::DescribeError(token.error, token.errorDescription)));

  const km7::oauth::DeviceAuthorization device = km7::oauth::ParseDeviceAuthorization(text);
  if (device.ok) {
    Check(!device.deviceCode.empty() && !device.userCode.empty() && !device.verificationUri.empty());
    Check(device.interval >= 1 && device.expiresIn >= 0);
  }

  const km7::oauth::BearerError error = km7::oauth::ParseBearerError(text);
  Check(error.raw.size() <= 2048);
  const std::string shown = km7::oauth::DescribeBearerError(error);
  Check(!shown.empty());
  return 0;
}
