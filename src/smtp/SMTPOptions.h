#pragma once
// The choices a session is opened with: how it reaches the server, how it
// logs in and how it is protected. The values are the stored settings'.
#include <cstdint>

enum class SMTPConnectionType : int32_t { Direct = 0, Socks4 = 1, Socks5 = 2, HttpProxy = 3 };

// XOAuth2 and OAuthBearer send an access token in place of the password.
enum class SMTPAuthMethod : int32_t {
  None = 0,
  CramMd5 = 1,
  Login = 2,
  Plain = 3,
  Ntlm = 4,
  AutoDetect = 5,
  XOAuth2 = 6,
  OAuthBearer = 7,
};

// How the session is protected: not at all, STARTTLS after the greeting
// (required: the session fails when the server does not offer or refuses
// it), or TLS from the first byte.
enum class SMTPSecurity : int32_t { None = 0, StartTls = 1, Tls = 2 };
