#include "smtp/SMTPCapabilities.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "platform/Text.h"

namespace km7::smtp {

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The parameters of a capability line when its first word is keyword (any
// case; "AUTH=" counts as "AUTH "), else nothing.
std::optional<std::string_view> CapabilityParams(std::string_view line, std::string_view keyword) {
  if (line.size() < 4) return std::nullopt;
  line.remove_prefix(4);  // the code and its separator
  if (line.size() < keyword.size() || !km7::EqualsIgnoringCase(line.substr(0, keyword.size()), keyword)) {
    return std::nullopt;
  }
  const std::string_view rest = line.substr(keyword.size());
  if (rest.empty()) return rest;
  if (rest[0] != ' ' && rest[0] != '=') return std::nullopt;
  return rest.substr(1);
}

// Calls f with each line of an EHLO reply after the first (which names the
// server), without its line end.
template <typename F>
void ForEachCapabilityLine(std::string_view reply, F&& f) {
  size_t at = reply.find("\r\n");
  while (at != std::string_view::npos) {
    const size_t start = at + 2;
    at = reply.find("\r\n", start);
    f(reply.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
  }
}

// The mechanism names on every AUTH line, upper case: servers that still
// speak to old clients repeat the list as "AUTH=".
std::vector<std::string> AuthWords(std::string_view ehloResponse) {
  std::vector<std::string> words;
  ForEachCapabilityLine(ehloResponse, [&](std::string_view line) {
    const auto params = CapabilityParams(line, "AUTH");
    if (!params) return;
    std::string word;
    for (size_t i = 0; i <= params->size(); ++i) {
      const char c = i < params->size() ? (*params)[i] : ' ';
      if (c == ' ' || c == '\t' || c == '=') {
        if (!word.empty()) words.push_back(word);
        word.clear();
      } else {
        word += Upper(c);
      }
    }
  });
  return words;
}

template <size_t N>
std::vector<SMTPAuthMethod> Offered(std::string_view ehloResponse,
                                    const std::pair<std::string_view, SMTPAuthMethod> (&order)[N]) {
  const std::vector<std::string> words = AuthWords(ehloResponse);
  std::vector<SMTPAuthMethod> offered;
  for (const auto& [name, method] : order) {
    if (std::find(words.begin(), words.end(), name) != words.end()) offered.push_back(method);
  }
  return offered;
}

}  // namespace

bool EhloOffers(std::string_view ehloResponse, std::string_view keyword, std::string* params) {
  bool found = false;
  ForEachCapabilityLine(ehloResponse, [&](std::string_view line) {
    if (found) return;
    if (const auto rest = CapabilityParams(line, keyword)) {
      found = true;
      if (params != nullptr) *params = std::string(*rest);
    }
  });
  return found;
}

std::vector<SMTPAuthMethod> OfferedAuthMethods(std::string_view ehloResponse) {
  static constexpr std::pair<std::string_view, SMTPAuthMethod> kOrder[] = {
      {"NTLM", SMTPAuthMethod::Ntlm},
      {"CRAM-MD5", SMTPAuthMethod::CramMd5},
      {"LOGIN", SMTPAuthMethod::Login},
      {"PLAIN", SMTPAuthMethod::Plain},
  };
  return Offered(ehloResponse, kOrder);
}

std::vector<SMTPAuthMethod> OfferedTokenMethods(std::string_view ehloResponse) {
  // The standard one first; XOAUTH2 is its older cousin.
  static constexpr std::pair<std::string_view, SMTPAuthMethod> kOrder[] = {
      {"OAUTHBEARER", SMTPAuthMethod::OAuthBearer},
      {"XOAUTH2", SMTPAuthMethod::XOAuth2},
  };
  return Offered(ehloResponse, kOrder);
}

SMTPAuthMethod DetectAuthMethod(std::string_view ehloResponse) {
  const std::vector<SMTPAuthMethod> offered = OfferedAuthMethods(ehloResponse);
  return offered.empty() ? SMTPAuthMethod::None : offered.front();
}

bool IsChallengeResponse(SMTPAuthMethod method) {
  return method == SMTPAuthMethod::Ntlm || method == SMTPAuthMethod::CramMd5;
}

bool IsTokenMethod(SMTPAuthMethod method) {
  return method == SMTPAuthMethod::XOAuth2 || method == SMTPAuthMethod::OAuthBearer;
}

bool OffersExtension(std::string_view ehloReply, std::string_view keyword) {
  return EhloOffers(ehloReply, keyword);
}

}  // namespace km7::smtp
