#include "smtp/TlsContext.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <dirent.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <mutex>
#include <tuple>

namespace km7::tls {

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

namespace {

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

}  // namespace

SSL_CTX* SharedContext(const Options& options) {
  static KeptContexts kept;
  return kept.Get(options);
}

}  // namespace km7::tls
