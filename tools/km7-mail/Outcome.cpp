// What a failed send means for the caller: its exit code and its report.
#include <iomanip>
#include <sstream>

#include "MailTool.h"
#include "TerminalText.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPException.h"
#include "smtp/SMTPReply.h"

namespace km7::mail {

int ExitCodeFor(const CZRKSMTPException& e) {
  const uint32_t facility = km7::SMTPErrorFacility(e.GetErrorCode());
  const uint32_t code = e.GetErrorCode() & 0xFFFF;
  if (facility == km7::FACILITY_WIN32) {
    switch (code) {
      case km7::WSAENETDOWN: case km7::WSAENETUNREACH: case km7::WSAENETRESET: case km7::WSAECONNABORTED:
      case km7::WSAECONNRESET: case km7::WSAENOBUFS: case km7::WSAETIMEDOUT: case km7::WSAECONNREFUSED:
      case km7::WSAEHOSTDOWN: case km7::WSAEHOSTUNREACH: case km7::WSATRY_AGAIN: case km7::ERROR_TIMEOUT:
      case km7::ERROR_CONNECTION_REFUSED: case km7::ERROR_GRACEFUL_DISCONNECT: case km7::ERROR_BAD_NET_RESP:
        return kExitTemporary;
      default:
        return kExitSmtpFailure;
    }
  }
  if (facility != km7::FACILITY_ITF) return kExitSmtpFailure;
  switch (code) {
    // A connection that could not be made or broke.
    case km7::IDS_CONNECTION_FAILED: case km7::IDS_GRACEFUL_DISCONNECT: case km7::IDS_SSL_SEND_FAILED:
    case km7::IDS_SSL_RECEIVE_FAILED: case km7::IDS_TLS_HANDSHAKE_TIMED_OUT: case km7::IDS_NO_ANSWER:
      return kExitTemporary;
    // A reply that was awaited: its code decides.
    case km7::IDS_UNEXPECTED_LOGIN_RESPONSE: case km7::IDS_UNEXPECTED_EHLO_RESPONSE:
    case km7::IDS_UNEXPECTED_HELO_RESPONSE: case km7::IDS_UNEXPECTED_QUIT_RESPONSE:
    case km7::IDS_UNEXPECTED_MAIL_FROM_RESPONSE: case km7::IDS_UNEXPECTED_DATA_RESPONSE:
    case km7::IDS_UNEXPECTED_END_OF_MESSAGE_RESPONSE: case km7::IDS_UNEXPECTED_RCPT_TO_RESPONSE:
    case km7::IDS_UNEXPECTED_AUTH_LOGIN_RESPONSE: case km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_REQUEST:
    case km7::IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_RESPONSE: case km7::IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_REQUEST:
    case km7::IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_RESPONSE: case km7::IDS_UNEXPECTED_AUTH_PLAIN_RESPONSE:
    case km7::IDS_UNEXPECTED_CRAM_MD5_RESPONSE: case km7::IDS_UNEXPECTED_CRAM_MD5_DIGEST_RESPONSE:
    case km7::IDS_UNEXPECTED_AUTH_NTLM_RESPONSE: case km7::IDS_UNEXPECTED_STARTTLS_RESPONSE:
    case km7::IDS_OAUTH_TOKEN_REFUSED: case km7::IDS_UNEXPECTED_AUTH_TOKEN_RESPONSE: {
      int replyCode = 0;
      // No complete reply: it never came (a time-out), or the server hung up.
      if (!km7::smtp::ReplyComplete(e.GetLastResponse(), replyCode)) return kExitTemporary;
      return replyCode >= 400 && replyCode < 500 ? kExitTemporary : kExitSmtpFailure;
    }
    default:
      // Refusals made here (bad input, untrusted certificate, nothing offered).
      return kExitSmtpFailure;
  }
}

std::string FormatFailure(const CZRKSMTPException& e) {
  std::ostringstream s;
  std::string text = e.GetErrorMessage();
  s << "km7-mail: error " << std::hex << std::uppercase << std::setw(8) << std::setfill('0')
    << e.GetErrorCode() << ": " << (text.empty() ? "(no text for this code)" : SafeServerText(text)) << "\n";
  const std::string response = SafeServerText(e.GetLastResponse());
  if (response.empty()) {
    s << "server's last response: (none)\n";
  } else {
    s << "server's last response:\n";
    std::istringstream lines(response);
    for (std::string line; std::getline(lines, line);) s << "  " << line << "\n";
  }
  return s.str();
}

}  // namespace km7::mail
