#pragma once
// The SMTP client's one message table: the string table of its protocol
// failures and the texts for every Windows error number the socket layer, the
// session, the message builder and the NTLM client can raise. Linux errno and
// resolver failures are mapped onto the same numbers, so logs read alike on
// every platform.
#include <cstdint>

namespace km7 {

// String-table ids (carried in FACILITY_ITF codes).
enum SMTPStringId : uint32_t {
  IDS_CONNECTION_FAILED = 102,
  IDS_UNEXPECTED_LOGIN_RESPONSE = 512,
  IDS_UNEXPECTED_EHLO_RESPONSE = 516,
  IDS_UNEXPECTED_HELO_RESPONSE = 517,
  IDS_UNEXPECTED_QUIT_RESPONSE = 518,
  IDS_UNEXPECTED_MAIL_FROM_RESPONSE = 519,
  IDS_UNEXPECTED_DATA_RESPONSE = 520,
  IDS_UNEXPECTED_END_OF_MESSAGE_RESPONSE = 521,
  IDS_FILE_TOO_LARGE = 522,
  IDS_ZERO_LENGTH_FILE = 523,
  IDS_UNEXPECTED_RCPT_TO_RESPONSE = 524,
  IDS_UNEXPECTED_AUTH_LOGIN_RESPONSE = 525,
  IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_REQUEST = 526,
  IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_RESPONSE = 527,
  IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_REQUEST = 528,
  IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_RESPONSE = 529,
  IDS_UNEXPECTED_AUTH_PLAIN_RESPONSE = 530,
  IDS_UNEXPECTED_CRAM_MD5_RESPONSE = 535,
  IDS_UNEXPECTED_CRAM_MD5_DIGEST_RESPONSE = 536,
  IDS_NTLM_FAILED = 537,
  IDS_UNEXPECTED_AUTH_NTLM_RESPONSE = 538,
  IDS_BASE64_DECODE_FAILED = 539,
  IDS_BASE64_ENCODE_FAILED = 540,
  IDS_SSL_SOCKET_FAILED = 541,
  IDS_SSL_SOCKS4_FAILED = 542,
  IDS_SSL_SOCKS5_FAILED = 543,
  IDS_SSL_HTTP_PROXY_FAILED = 544,
  IDS_SSL_CONNECT_FAILED = 545,
  IDS_SSL_SEND_FAILED = 546,
  IDS_SSL_RECEIVE_FAILED = 547,
  IDS_GRACEFUL_DISCONNECT = 548,
  IDS_QP_ENCODE_FAILED = 549,
  IDS_Q_ENCODE_FAILED = 550,
  // Refusals of texts that would break the command or header structure (the
  // last response names the offending text).
  IDS_INVALID_HELO_NAME = 560,
  IDS_INVALID_ADDRESS = 561,
  // TLS and the server's offers.
  IDS_TLS_CERTIFICATE_UNTRUSTED = 570,
  IDS_STARTTLS_NOT_OFFERED = 571,
  IDS_UNEXPECTED_STARTTLS_RESPONSE = 572,
  IDS_NO_AUTH_OFFERED = 573,
  IDS_TLS_HANDSHAKE_TIMED_OUT = 574,
  // OAuth 2.0 access tokens.
  IDS_OAUTH_TOKEN_REFUSED = 575,
  IDS_NO_TOKEN_MECHANISM_OFFERED = 576,
  IDS_UNEXPECTED_AUTH_TOKEN_RESPONSE = 577,
  IDS_NO_ACCESS_TOKEN = 578,
  // A reply that did not come within the session's time-out.
  IDS_NO_ANSWER = 580,
};

// Windows system error numbers the client reports (values of that platform).
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr uint32_t ERROR_READ_FAULT = 30;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_BAD_NET_RESP = 58;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_FILE_TOO_LARGE = 223;
inline constexpr uint32_t ERROR_DIRECTORY = 267;
inline constexpr uint32_t ERROR_CONNECTION_REFUSED = 1225;
inline constexpr uint32_t ERROR_GRACEFUL_DISCONNECT = 1226;
inline constexpr uint32_t ERROR_TIMEOUT = 1460;
inline constexpr uint32_t RPC_S_UUID_NO_ADDRESS = 1739;
inline constexpr uint32_t RPC_S_UUID_LOCAL_ONLY = 1824;

inline constexpr uint32_t WSAEINTR = 10004;
inline constexpr uint32_t WSAEBADF = 10009;
inline constexpr uint32_t WSAEACCES = 10013;
inline constexpr uint32_t WSAEFAULT = 10014;
inline constexpr uint32_t WSAEINVAL = 10022;
inline constexpr uint32_t WSAEMFILE = 10024;
inline constexpr uint32_t WSAEWOULDBLOCK = 10035;
inline constexpr uint32_t WSAEINPROGRESS = 10036;
inline constexpr uint32_t WSAEALREADY = 10037;
inline constexpr uint32_t WSAENOTSOCK = 10038;
inline constexpr uint32_t WSAEDESTADDRREQ = 10039;
inline constexpr uint32_t WSAEMSGSIZE = 10040;
inline constexpr uint32_t WSAEPROTOTYPE = 10041;
inline constexpr uint32_t WSAENOPROTOOPT = 10042;
inline constexpr uint32_t WSAEPROTONOSUPPORT = 10043;
inline constexpr uint32_t WSAESOCKTNOSUPPORT = 10044;
inline constexpr uint32_t WSAEOPNOTSUPP = 10045;
inline constexpr uint32_t WSAEPFNOSUPPORT = 10046;
inline constexpr uint32_t WSAEAFNOSUPPORT = 10047;
inline constexpr uint32_t WSAEADDRINUSE = 10048;
inline constexpr uint32_t WSAEADDRNOTAVAIL = 10049;
inline constexpr uint32_t WSAENETDOWN = 10050;
inline constexpr uint32_t WSAENETUNREACH = 10051;
inline constexpr uint32_t WSAENETRESET = 10052;
inline constexpr uint32_t WSAECONNABORTED = 10053;
inline constexpr uint32_t WSAECONNRESET = 10054;
inline constexpr uint32_t WSAENOBUFS = 10055;
inline constexpr uint32_t WSAEISCONN = 10056;
inline constexpr uint32_t WSAENOTCONN = 10057;
inline constexpr uint32_t WSAESHUTDOWN = 10058;
inline constexpr uint32_t WSAETIMEDOUT = 10060;
inline constexpr uint32_t WSAECONNREFUSED = 10061;
inline constexpr uint32_t WSAELOOP = 10062;
inline constexpr uint32_t WSAENAMETOOLONG = 10063;
inline constexpr uint32_t WSAEHOSTDOWN = 10064;
inline constexpr uint32_t WSAEHOSTUNREACH = 10065;
// The caller gave the attempt up (a window or the program closing).
inline constexpr uint32_t WSAECANCELLED = 10103;
inline constexpr uint32_t WSAHOST_NOT_FOUND = 11001;
inline constexpr uint32_t WSATRY_AGAIN = 11002;
inline constexpr uint32_t WSANO_RECOVERY = 11003;
inline constexpr uint32_t WSANO_DATA = 11004;

// Security-service statuses of the NTLM exchange (complete 32-bit codes).
inline constexpr uint32_t SEC_E_INSUFFICIENT_MEMORY = 0x80090300u;
inline constexpr uint32_t SEC_E_INVALID_HANDLE = 0x80090301u;
inline constexpr uint32_t SEC_E_UNSUPPORTED_FUNCTION = 0x80090302u;
inline constexpr uint32_t SEC_E_INTERNAL_ERROR = 0x80090304u;
inline constexpr uint32_t SEC_E_SECPKG_NOT_FOUND = 0x80090305u;
inline constexpr uint32_t SEC_E_INVALID_TOKEN = 0x80090308u;
inline constexpr uint32_t SEC_E_LOGON_DENIED = 0x8009030Cu;
inline constexpr uint32_t SEC_E_NO_CREDENTIALS = 0x8009030Eu;

// The string-table text of an id, "%1" not yet replaced; nullptr when the id
// has no text.
const char* SMTPStringTableText(uint32_t id);

// Our text for a Windows error number; nullptr when there is none.
const char* SystemMessageText(uint32_t number);

// Our text for a complete security-service status (SEC_E_*); nullptr when
// there is none.
const char* SecurityStatusText(uint32_t status);

// errno of a failing socket call -> Windows socket error number.
uint32_t SocketErrorFromErrno(int err);
// errno of a failing file or memory call -> Windows system error number.
uint32_t SystemErrorFromErrno(int err);
// Result of a failing getaddrinfo (with the errno seen after it) -> Windows
// socket error number (unknown host is WSAHOST_NOT_FOUND).
uint32_t SocketErrorFromResolver(int gaiError, int err);

}  // namespace km7
