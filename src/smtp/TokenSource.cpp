#include "smtp/TokenSource.h"

#include <utility>

#include "platform/SecureWipe.h"
#include "smtp/TokenCommand.h"

namespace km7::oauth {

CommandTokenSource::CommandTokenSource(const std::string& commandLine, uint32_t timeoutMs) : m_timeoutMs(timeoutMs) {
  std::string error;
  if (!SplitCommandLine(commandLine, m_argv, error)) throw OAuthError(OAuthError::Kind::Command, error);
}

std::string CommandTokenSource::AccessToken() {
  CommandOutcome outcome = RunTokenCommand(m_argv, m_timeoutMs);
  if (!outcome.ok) throw OAuthError(OAuthError::Kind::Command, outcome.error);
  return std::move(outcome.token);
}

RefreshTokenSource::RefreshTokenSource(Account account, HttpOptions options, Store store, Warn warn)
    : m_account(std::move(account)), m_options(std::move(options)), m_store(std::move(store)), m_warn(std::move(warn)) {}

RefreshTokenSource::~RefreshTokenSource() { km7::Wipe(m_accessToken); }

std::string RefreshTokenSource::AccessToken() {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto now = std::chrono::steady_clock::now();
  if (!m_accessToken.empty() && now < m_renewAt) return m_accessToken;
  km7::Wipe(m_accessToken);
  TokenResponse token = RefreshAccessToken(m_account.provider, m_account.refreshToken, m_options);
  m_accessToken = token.accessToken;
  km7::Wipe(token.accessToken);
  // Without a stated lifetime the token serves this one use.
  const auto lifetime = std::chrono::seconds(token.expiresIn > 0 ? token.expiresIn : 0);
  m_renewAt = lifetime > kRenewMargin ? now + lifetime - kRenewMargin : now;
  if (!token.refreshToken.empty() && token.refreshToken != m_account.refreshToken) {
    // The server rotated it: the old one may no longer work.
    km7::Wipe(m_account.refreshToken);
    m_account.refreshToken = token.refreshToken;
    std::string error;
    if (m_store && !m_store(m_account, error) && m_warn) {
      m_warn("the renewed refresh token could not be stored (" + error + "); the next start may need a new sign-in");
    }
  }
  km7::Wipe(token.refreshToken);
  return m_accessToken;
}

void RefreshTokenSource::Forget() {
  std::lock_guard<std::mutex> lock(m_mutex);
  km7::Wipe(m_accessToken);
  m_renewAt = {};
}

}  // namespace km7::oauth
