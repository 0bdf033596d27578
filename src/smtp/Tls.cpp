#include "smtp/Tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

#include "smtp/TlsContext.h"
#include "smtp/TlsSocketBio.h"

namespace km7::tls {

namespace {

// Waits for the descriptor to become ready for what OpenSSL asked for;
// false when the deadline passed. A raised token raises IoError(ECANCELED).
bool WaitFor(int fd, short events, Clock::time_point deadline, const km7::smtp::CancelToken* cancel) {
  if (deadline <= Clock::now()) return false;
  switch (km7::smtp::WaitFd(fd, events, deadline, cancel)) {
    case km7::smtp::WaitResult::Ready: return true;  // ready, closed or failed: the next call tells which
    case km7::smtp::WaitResult::TimedOut: return false;
    case km7::smtp::WaitResult::Cancelled: throw IoError(ECANCELED, "cancelled");
    case km7::smtp::WaitResult::Failed: break;
  }
  throw IoError(errno, "waiting on the connection failed");
}

}  // namespace

bool IsAddressLiteral(const std::string& text) {
  unsigned char buffer[sizeof(in6_addr)];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 || inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

struct Channel::State {
  SSL_CTX* context = nullptr;
  SSL* ssl = nullptr;
  int fd = -1;
  const km7::smtp::CancelToken* cancel = nullptr;
  ~State() {
    if (ssl != nullptr) SSL_free(ssl);
    if (context != nullptr) SSL_CTX_free(context);
  }
};

Channel::Channel(int fd, const std::string& serverName, const Options& options, Clock::time_point deadline,
                 const km7::smtp::CancelToken* cancel)
    : m_state(std::make_unique<State>()) {
  using Kind = HandshakeError::Kind;
  State& s = *m_state;
  s.fd = fd;
  s.cancel = cancel;
  ERR_clear_error();
  s.context = SharedContext(options);

  s.ssl = SSL_new(s.context);
  BIO* bio = s.ssl != nullptr ? NewSocketBio(fd) : nullptr;
  if (bio == nullptr) throw HandshakeError(Kind::Setup, OpenSslErrorText("cannot set up TLS"));
  SSL_set_bio(s.ssl, bio, bio);  // the connection owns it from here
  const bool literal = IsAddressLiteral(serverName);
  if (!literal && !serverName.empty() && SSL_set_tlsext_host_name(s.ssl, serverName.c_str()) != 1) {
    throw HandshakeError(Kind::Setup, OpenSslErrorText("the server name cannot be sent"));
  }
  if (options.verifyPeer) {
    // An empty name would switch the name check off.
    if (serverName.empty()) throw HandshakeError(Kind::Setup, "no server name to check the certificate against");
    X509_VERIFY_PARAM* param = SSL_get0_param(s.ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int set = literal ? X509_VERIFY_PARAM_set1_ip_asc(param, serverName.c_str())
                            : X509_VERIFY_PARAM_set1_host(param, serverName.c_str(), serverName.size());
    if (set != 1) throw HandshakeError(Kind::Setup, OpenSslErrorText("the server name cannot be checked"));
  }

  for (;;) {
    ERR_clear_error();
    const int rc = SSL_connect(s.ssl);
    if (rc == 1) break;
    const int error = SSL_get_error(s.ssl, rc);
    short events = 0;
    if (error == SSL_ERROR_WANT_READ) events = POLLIN;
    if (error == SSL_ERROR_WANT_WRITE) events = POLLOUT;
    if (events != 0) {
      if (!WaitFor(fd, events, deadline, cancel)) {
        throw HandshakeError(Kind::TimedOut, "the server did not finish the TLS handshake in time");
      }
      continue;
    }
    const long verify = SSL_get_verify_result(s.ssl);
    if (options.verifyPeer && verify != X509_V_OK) {
      std::string reason = X509_verify_cert_error_string(verify);
      if (verify == X509_V_ERR_HOSTNAME_MISMATCH || verify == X509_V_ERR_IP_ADDRESS_MISMATCH) {
        reason += " (the certificate is not for \"" + serverName + "\")";
      }
      ERR_clear_error();
      throw HandshakeError(Kind::Untrusted, reason);
    }
    if (error == SSL_ERROR_ZERO_RETURN) throw HandshakeError(Kind::Failed, "the server closed the connection");
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      const int e = errno;
      throw HandshakeError(Kind::Failed, rc == 0 || e == 0 ? std::string("the server closed the connection")
                                                           : std::string(std::strerror(e)));
    }
    throw HandshakeError(Kind::Failed, OpenSslErrorText("the TLS handshake failed"));
  }

  m_info.version = SSL_get_version(s.ssl);
  m_info.cipher = SSL_get_cipher_name(s.ssl);
  if (X509* certificate = SSL_get1_peer_certificate(s.ssl)) {
    char subject[512];
    X509_NAME_oneline(X509_get_subject_name(certificate), subject, sizeof subject);
    m_info.subject = subject;
    X509_free(certificate);
  }
}

Channel::~Channel() = default;

bool Channel::Write(const void* data, size_t length, Clock::time_point deadline) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < length) {
    ERR_clear_error();
    size_t n = 0;
    const int rc = SSL_write_ex(m_state->ssl, bytes + sent, length - sent, &n);
    if (rc == 1) {
      sent += n;
      continue;
    }
    const int error = SSL_get_error(m_state->ssl, rc);
    if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
      if (!WaitFor(m_state->fd, error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline, m_state->cancel))
        return false;
      continue;
    }
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) throw IoError(errno != 0 ? errno : EPIPE, "send failed");
    throw IoError(0, OpenSslErrorText("the TLS send failed"));
  }
  return true;
}

bool Channel::WaitReadable(Clock::time_point deadline) {
  for (;;) {
    if (SSL_pending(m_state->ssl) > 0) return true;
    // Peeking lets OpenSSL take in records that carry no data (session
    // tickets, for one) without counting them as something to read.
    ERR_clear_error();
    char byte;
    size_t n = 0;
    const int rc = SSL_peek_ex(m_state->ssl, &byte, 1, &n);
    if (rc == 1) return true;
    const int error = SSL_get_error(m_state->ssl, rc);
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (!WaitFor(m_state->fd, error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline, m_state->cancel))
        return false;
      continue;
    }
    return true;  // a close or a failure: Read reports it
  }
}

bool Channel::Read(void* buffer, size_t size, size_t& received, Clock::time_point deadline) {
  received = 0;
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_read_ex(m_state->ssl, buffer, size, &received);
    if (rc == 1) return true;
    const int error = SSL_get_error(m_state->ssl, rc);
    if (error == SSL_ERROR_ZERO_RETURN) return true;
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
      if (!WaitFor(m_state->fd, error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline, m_state->cancel))
        return false;
      continue;
    }
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
      if (errno == 0) return true;  // end of stream
      throw IoError(errno, "receive failed");
    }
    throw IoError(0, OpenSslErrorText("the TLS receive failed"));
  }
}

void Channel::Shutdown() {
  ERR_clear_error();
  SSL_shutdown(m_state->ssl);  // non-blocking: one attempt, no wait for the peer
  ERR_clear_error();
}

}  // namespace km7::tls
