#pragma once
// TLS for the SMTP client's socket: one OpenSSL client connection over an
// already connected descriptor (direct or through a proxy tunnel). The
// certificate is checked against the system's trust store (plus an optional
// CA file), the host name is checked and sent as SNI, and nothing older than
// TLS 1.2 is accepted. The descriptor is used non-blocking; every wait is
// bounded by a deadline.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "smtp/CancelToken.h"

namespace km7::tls {

using Clock = std::chrono::steady_clock;

struct Options {
  // false skips the certificate and host-name checks (the caller warns).
  bool verifyPeer = true;
  // A PEM file of further CAs to trust beside the system's store.
  std::string caFile;
};

// What the handshake settled on, for reports.
struct Info {
  std::string version;  // "TLSv1.3"
  std::string cipher;   // "TLS_AES_256_GCM_SHA384"
  std::string subject;  // the server certificate's subject, one line
};

// A failed handshake. kind tells why; detail is a text for the user.
class HandshakeError : public std::runtime_error {
 public:
  enum class Kind {
    Failed,     // the TLS exchange itself failed (protocol, version, close)
    Untrusted,  // the certificate chain or the host name did not check out
    TimedOut,   // no progress before the deadline
    Setup,      // local set-up failed (CA file unreadable, out of memory)
  };
  HandshakeError(Kind kind, const std::string& detail) : std::runtime_error(detail), m_kind(kind) {}
  Kind kind() const { return m_kind; }

 private:
  Kind m_kind;
};

// A failure after the handshake, or of a wait: transport errno (0 when the
// TLS layer itself failed, ECANCELED when the wait was cancelled) and a text.
class IoError : public std::runtime_error {
 public:
  IoError(int error, const std::string& detail) : std::runtime_error(detail), m_errno(error) {}
  int error() const { return m_errno; }

 private:
  int m_errno;
};

// True when text is an IPv4 or IPv6 address literal (no SNI is sent for one;
// the certificate must name the address instead).
bool IsAddressLiteral(const std::string& text);

class Channel {
 public:
  // Runs the handshake on fd (which stays owned by the caller) before
  // deadline. serverName is checked against the certificate and sent as SNI.
  // Raises HandshakeError, or IoError when a wait failed or was cancelled
  // (ECANCELED). Every later wait also ends when cancel (which must outlive
  // the channel) is raised.
  Channel(int fd, const std::string& serverName, const Options& options, Clock::time_point deadline,
          const km7::smtp::CancelToken* cancel = nullptr);
  // Frees the TLS state; sends no close alert (see Shutdown).
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Writes every byte; false when the deadline passed first. Raises IoError.
  bool Write(const void* data, size_t length, Clock::time_point deadline);
  // True when decrypted data, a close or an error is waiting, false when the
  // deadline passed. Raises IoError.
  bool WaitReadable(Clock::time_point deadline);
  // At most size bytes; 0 when the peer closed. Call after WaitReadable.
  // Raises IoError; false (and nothing read) when the deadline passed.
  bool Read(void* buffer, size_t size, size_t& received, Clock::time_point deadline);
  // Sends the close alert without waiting for the peer's.
  void Shutdown();

  const Info& info() const { return m_info; }

 private:
  struct State;
  std::unique_ptr<State> m_state;
  Info m_info;
};

}  // namespace km7::tls
