#include "smtp/Tls.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <tuple>

namespace km7::tls {

namespace {

// The newest error of this thread's OpenSSL queue as text, or fallback.
std::string OpenSslErrorText(const char* fallback) {
  unsigned long code = 0;
  unsigned long last = 0;
  while ((code = ERR_get_error()) != 0) last = code;
  if (last == 0) return fallback;
  char text[256];
  ERR_error_string_n(last, text, sizeof text);
  return text;
}

// Waits for the descriptor to become ready for what OpenSSL asked for;
// false when the deadline passed.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, events, 0};
    const int rc = ::poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (rc > 0) return true;  // ready, closed or failed: the next call tells which
    if (rc < 0 && errno != EINTR) throw IoError(errno, "waiting on the connection failed");
  }
}

// True when folder holds the hash-named links OpenSSL looks certificates up
// by ("5ad8a5d6.0").
bool HasHashLinks(const char* folder) {
  DIR* d = ::opendir(folder);
  if (d == nullptr) return false;
  bool found = false;
  while (const dirent* e = ::readdir(d)) {
    const char* name = e->d_name;
    size_t i = 0;
    while (i < 8 && std::isxdigit(static_cast<unsigned char>(name[i]))) ++i;
    if (i == 8 && name[8] == '.' && std::isdigit(static_cast<unsigned char>(name[9]))) {
      found = true;
      break;
    }
  }
  ::closedir(d);
  return found;
}

// The system's trusted CAs. The hashed folder is read one certificate at a
// time, as a chain needs it; the bundle file would be parsed whole on every
// connection (tens of milliseconds). A store given by the environment, or a
// system without the hashed folder, gets OpenSSL's default paths.
bool LoadSystemStore(SSL_CTX* context) {
  const char* folder = X509_get_default_cert_dir();
  if (std::getenv(X509_get_default_cert_file_env()) == nullptr &&
      std::getenv(X509_get_default_cert_dir_env()) == nullptr && HasHashLinks(folder)) {
    return SSL_CTX_load_verify_dir(context, folder) == 1;
  }
  return SSL_CTX_set_default_verify_paths(context) == 1;
}

// One context per trust setting, made on first use and kept for the
// process: parsing a CA bundle costs tens of milliseconds of processor time,
// and a program that sends a message a minute need not pay it each time. A
// CA file that changed on disk gets a fresh context.
struct ContextKey {
  bool verify;
  std::string caFile;
  long long modified;
  long long size;
  bool operator<(const ContextKey& o) const {
    return std::tie(verify, caFile, modified, size) < std::tie(o.verify, o.caFile, o.modified, o.size);
  }
};

SSL_CTX* MakeContext(const Options& options) {
  using Kind = HandshakeError::Kind;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) throw HandshakeError(Kind::Setup, OpenSslErrorText("cannot set up TLS"));
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // A server that closes without the close alert has still sent every reply
  // whole: SMTP replies carry their own end.
  SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  if (options.verifyPeer) {
    if (!LoadSystemStore(context)) {
      SSL_CTX_free(context);
      throw HandshakeError(Kind::Setup, OpenSslErrorText("cannot load the system's trusted certificates"));
    }
    if (!options.caFile.empty() && SSL_CTX_load_verify_locations(context, options.caFile.c_str(), nullptr) != 1) {
      SSL_CTX_free(context);
      throw HandshakeError(Kind::Setup, "cannot load the CA file \"" + options.caFile +
                                            "\": " + OpenSslErrorText("no certificate in it"));
    }
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  }
  return context;
}

// The kept contexts. They are freed at exit, before OpenSSL's own clean-up:
// the library is started in the constructor, so its exit handler is
// registered first and runs last.
class KeptContexts {
 public:
  KeptContexts() { OPENSSL_init_ssl(0, nullptr); }
  ~KeptContexts() {
    for (auto& entry : contexts_) SSL_CTX_free(entry.second);
  }
  KeptContexts(const KeptContexts&) = delete;
  KeptContexts& operator=(const KeptContexts&) = delete;

  // A reference of the caller's own to the context for options.
  SSL_CTX* Get(const Options& options) {
    ContextKey key{options.verifyPeer, options.verifyPeer ? options.caFile : std::string(), 0, 0};
    struct stat st{};
    if (!key.caFile.empty() && ::stat(key.caFile.c_str(), &st) == 0) {
      key.modified = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
      key.size = static_cast<long long>(st.st_size);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = contexts_.find(key);
    if (it == contexts_.end()) {
      SSL_CTX* context = MakeContext(options);
      // The context of an older state of the same file goes (its users keep
      // their references).
      for (auto old = contexts_.begin(); old != contexts_.end();) {
        if (old->first.verify == key.verify && old->first.caFile == key.caFile) {
          SSL_CTX_free(old->second);
          old = contexts_.erase(old);
        } else {
          ++old;
        }
      }
      it = contexts_.emplace(key, context).first;
    }
    SSL_CTX_up_ref(it->second);
    return it->second;
  }

 private:
  std::mutex mutex_;
  std::map<ContextKey, SSL_CTX*> contexts_;
};

SSL_CTX* SharedContext(const Options& options) {
  static KeptContexts kept;
  return kept.Get(options);
}

// The transport under OpenSSL: the socket, written with send(MSG_NOSIGNAL).
// OpenSSL's own socket BIO writes with write(), which raises SIGPIPE when the
// peer has gone, and that would end the whole program.
struct SocketBio {
  int fd = -1;
  bool eof = false;
};

bool Retryable(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

int BioWrite(BIO* bio, const char* data, int length) {
  auto* s = static_cast<SocketBio*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::send(s->fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
  if (n < 0 && Retryable(errno)) BIO_set_retry_write(bio);
  return static_cast<int>(n);
}

int BioRead(BIO* bio, char* data, int length) {
  auto* s = static_cast<SocketBio*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  const ssize_t n = ::recv(s->fd, data, static_cast<size_t>(length), 0);
  if (n < 0 && Retryable(errno)) BIO_set_retry_read(bio);
  if (n == 0) s->eof = true;
  return static_cast<int>(n);
}

long BioControl(BIO* bio, int command, long, void* pointer) {
  auto* s = static_cast<SocketBio*>(BIO_get_data(bio));
  switch (command) {
    case BIO_CTRL_FLUSH:
      return 1;
    case BIO_CTRL_EOF:
      return s != nullptr && s->eof ? 1 : 0;
    case BIO_C_GET_FD:
      if (s == nullptr) return -1;
      if (pointer != nullptr) *static_cast<int*>(pointer) = s->fd;
      return s->fd;
    default:
      return 0;
  }
}

int BioCreate(BIO* bio) {
  BIO_set_data(bio, nullptr);
  BIO_set_init(bio, 0);
  return 1;
}

int BioDestroy(BIO* bio) {
  delete static_cast<SocketBio*>(BIO_get_data(bio));
  BIO_set_data(bio, nullptr);
  return 1;
}

// Made once; it lives as long as the program.
const BIO_METHOD* SocketBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK | BIO_TYPE_DESCRIPTOR, "km7 socket");
    if (m == nullptr) return m;
    BIO_meth_set_write(m, BioWrite);
    BIO_meth_set_read(m, BioRead);
    BIO_meth_set_ctrl(m, BioControl);
    BIO_meth_set_create(m, BioCreate);
    BIO_meth_set_destroy(m, BioDestroy);
    return m;
  }();
  return method;
}

BIO* NewSocketBio(int fd) {
  const BIO_METHOD* method = SocketBioMethod();
  if (method == nullptr) return nullptr;
  BIO* bio = BIO_new(method);
  if (bio == nullptr) return nullptr;
  auto* state = new (std::nothrow) SocketBio;
  if (state == nullptr) {
    BIO_free(bio);
    return nullptr;
  }
  state->fd = fd;
  BIO_set_data(bio, state);
  BIO_set_init(bio, 1);
  return bio;
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
  ~State() {
    if (ssl != nullptr) SSL_free(ssl);
    if (context != nullptr) SSL_CTX_free(context);
  }
};

Channel::Channel(int fd, const std::string& serverName, const Options& options, Clock::time_point deadline)
    : m_state(std::make_unique<State>()) {
  using Kind = HandshakeError::Kind;
  State& s = *m_state;
  s.fd = fd;
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
      if (!WaitFor(fd, events, deadline)) {
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
      if (!WaitFor(m_state->fd, error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline)) return false;
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
      if (!WaitFor(m_state->fd, error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline)) return false;
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
      if (!WaitFor(m_state->fd, error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN, deadline)) return false;
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
