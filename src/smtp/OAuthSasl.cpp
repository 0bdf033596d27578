#include "smtp/OAuthSasl.h"

#include <nlohmann/json.hpp>

namespace km7::oauth {

namespace {

constexpr char kSeparator = '\x01';

// The authorisation identity inside the GS2 header (RFC 5801): "," and "="
// would end it early.
std::string Gs2Escape(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    if (c == ',') {
      out += "=2C";
    } else if (c == '=') {
      out += "=3D";
    } else {
      out += c;
    }
  }
  return out;
}

std::string StringMember(const nlohmann::json& object, const char* name) {
  const auto it = object.find(name);
  if (it == object.end()) return {};
  if (it->is_string()) return it->get<std::string>();
  return it->dump();
}

}  // namespace

std::string XOAuth2Response(std::string_view user, std::string_view token) {
  std::string out;
  out.reserve(user.size() + token.size() + 24);
  out += "user=";
  out += user;
  out += kSeparator;
  out += "auth=Bearer ";
  out += token;
  out += kSeparator;
  out += kSeparator;
  return out;
}

std::string OAuthBearerResponse(std::string_view user, std::string_view host, uint16_t port,
                                std::string_view token) {
  std::string out;
  out.reserve(user.size() * 3 + host.size() + token.size() + 48);
  out += "n,a=";
  out += Gs2Escape(user);
  out += ',';
  out += kSeparator;
  out += "host=";
  out += host;
  out += kSeparator;
  out += "port=";
  out += std::to_string(port);
  out += kSeparator;
  out += "auth=Bearer ";
  out += token;
  out += kSeparator;
  out += kSeparator;
  return out;
}

BearerError ParseBearerError(std::string_view json) {
  BearerError error;
  error.raw = std::string(json.substr(0, 2048));
  const nlohmann::json value = nlohmann::json::parse(json.begin(), json.end(), nullptr, false);
  if (value.is_discarded() || !value.is_object()) return error;
  error.parsed = true;
  error.status = StringMember(value, "status");
  error.scope = StringMember(value, "scope");
  error.openidConfiguration = StringMember(value, "openid-configuration");
  return error;
}

std::string DescribeBearerError(const BearerError& error) {
  if (!error.parsed) return error.raw.empty() ? std::string("(no details)") : error.raw;
  std::string text = error.status.empty() ? std::string("no status given") : error.status;
  if (!error.scope.empty()) text += " (scope \"" + error.scope + "\")";
  return text;
}

}  // namespace km7::oauth
