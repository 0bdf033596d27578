#pragma once
// Where a session's access token comes from: a command of the user's, or the
// refresh token km7 keeps. One source per account; safe to share between
// threads.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "smtp/OAuthAccount.h"

namespace km7::oauth {

class TokenSource {
 public:
  virtual ~TokenSource() = default;
  // A token fit to use now. Raises OAuthError naming the cause.
  virtual std::string AccessToken() = 0;
  // The server refused the last token: the next call fetches a fresh one.
  virtual void Forget() {}
};

class CommandTokenSource : public TokenSource {
 public:
  // Raises OAuthError (Kind::Command) for a command line that cannot be split.
  CommandTokenSource(const std::string& commandLine, uint32_t timeoutMs);
  std::string AccessToken() override;

 private:
  std::vector<std::string> m_argv;
  uint32_t m_timeoutMs;
};

class RefreshTokenSource : public TokenSource {
 public:
  // Gets a rotated refresh token stored again; returns false with a reason
  // when it cannot (the token is then still used for this process).
  using Store = std::function<bool(const Account& account, std::string& error)>;
  // Reports what went wrong on the side (a rotated token not stored).
  using Warn = std::function<void(const std::string& text)>;

  RefreshTokenSource(Account account, HttpOptions options, Store store, Warn warn = {});
  ~RefreshTokenSource() override;
  std::string AccessToken() override;
  void Forget() override;

  // A token is renewed this long before the server says it expires.
  static constexpr std::chrono::seconds kRenewMargin{60};

 private:
  std::mutex m_mutex;
  Account m_account;
  HttpOptions m_options;
  Store m_store;
  Warn m_warn;
  std::string m_accessToken;
  std::chrono::steady_clock::time_point m_renewAt{};
};

}  // namespace km7::oauth
