#include "smtp/OAuthResponses.h"

#include <nlohmann/json.hpp>

namespace km7::oauth {

namespace {

using nlohmann::json;

std::string Text(const json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// A number of seconds, given as a JSON number or (by some servers) as a
// string of digits; fallback when absent or unusable.
long Seconds(const json& object, const char* name, long fallback) {
  const auto it = object.find(name);
  if (it == object.end()) return fallback;
  if (it->is_number_integer() || it->is_number_unsigned()) {
    const long long v = it->is_number_unsigned() ? static_cast<long long>(std::min<unsigned long long>(
                                                       it->get<unsigned long long>(), 1ULL << 40))
                                                 : it->get<long long>();
    return v < 0 ? fallback : static_cast<long>(std::min<long long>(v, 1LL << 40));
  }
  if (it->is_number_float()) {
    const double v = it->get<double>();
    return v >= 0 && v < 1e12 ? static_cast<long>(v) : fallback;
  }
  if (it->is_string()) {
    const std::string s = it->get<std::string>();
    if (s.empty() || s.size() > 12) return fallback;
    long v = 0;
    for (const char c : s) {
      if (c < '0' || c > '9') return fallback;
      v = v * 10 + (c - '0');
    }
    return v;
  }
  return fallback;
}

json Parse(std::string_view body) { return json::parse(body.begin(), body.end(), nullptr, false); }

}  // namespace

bool IsTokenText(std::string_view token) {
  for (const char c : token) {
    if (c <= ' ' || c >= 0x7F) return false;  // bytes from 0x80 are negative as signed char
  }
  return !token.empty();
}

TokenResponse ParseTokenResponse(std::string_view body) {
  TokenResponse r;
  const json value = Parse(body);
  if (value.is_discarded() || !value.is_object()) {
    r.error = "invalid_response";
    r.errorDescription = "the answer is not a JSON object";
    return r;
  }
  r.error = Text(value, "error");
  r.errorDescription = Text(value, "error_description");
  if (!r.error.empty()) return r;
  r.accessToken = Text(value, "access_token");
  r.refreshToken = Text(value, "refresh_token");
  r.tokenType = Text(value, "token_type");
  r.scope = Text(value, "scope");
  r.expiresIn = Seconds(value, "expires_in", -1);
  if (r.accessToken.empty()) {
    r.error = "invalid_response";
    r.errorDescription = "the answer holds no access token";
    return r;
  }
  if (!IsTokenText(r.accessToken) || (!r.refreshToken.empty() && !IsTokenText(r.refreshToken))) {
    r.error = "invalid_response";
    r.errorDescription = "a token in the answer holds a control character, a blank or a non-ASCII byte";
    r.accessToken.clear();
    r.refreshToken.clear();
    return r;
  }
  r.ok = true;
  return r;
}

DeviceAuthorization ParseDeviceAuthorization(std::string_view body) {
  DeviceAuthorization d;
  const json value = Parse(body);
  if (value.is_discarded() || !value.is_object()) {
    d.error = "invalid_response";
    d.errorDescription = "the answer is not a JSON object";
    return d;
  }
  d.error = Text(value, "error");
  d.errorDescription = Text(value, "error_description");
  if (!d.error.empty()) return d;
  d.deviceCode = Text(value, "device_code");
  d.userCode = Text(value, "user_code");
  // Early drafts, and one large provider, call it verification_url.
  d.verificationUri = Text(value, "verification_uri");
  if (d.verificationUri.empty()) d.verificationUri = Text(value, "verification_url");
  d.verificationUriComplete = Text(value, "verification_uri_complete");
  d.expiresIn = Seconds(value, "expires_in", 0);
  d.interval = Seconds(value, "interval", 5);
  if (d.interval < 1) d.interval = 1;
  if (d.deviceCode.empty() || d.userCode.empty() || d.verificationUri.empty()) {
    d.error = "invalid_response";
    d.errorDescription = "the answer lacks the device code, the user code or the verification address";
    return d;
  }
  d.ok = true;
  return d;
}

std::string DescribeError(std::string_view error, std::string_view description) {
  std::string text(error.empty() ? std::string_view("unknown error") : error);
  if (!description.empty()) {
    text += ": ";
    text += description;
  }
  if (text.size() > 400) text = text.substr(0, 400) + "...";
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return text;
}

}  // namespace km7::oauth
