#pragma once
// The OpenSSL client contexts behind every TLS connection: one per trust
// setting, kept for the process.
#include <openssl/ssl.h>

#include <string>

#include "smtp/Tls.h"

namespace km7::tls {

// The newest error of this thread's OpenSSL queue as text, or fallback.
std::string OpenSslErrorText(const char* fallback);

// A reference of the caller's own (SSL_CTX_free it) to the context for
// options, made on first use. Raises HandshakeError (Setup).
SSL_CTX* SharedContext(const Options& options);

}  // namespace km7::tls
