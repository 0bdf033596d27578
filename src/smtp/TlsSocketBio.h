#pragma once
// The transport under OpenSSL: the socket, written with send(MSG_NOSIGNAL).
#include <openssl/bio.h>

namespace km7::tls {

// A BIO over fd (which stays the caller's); nullptr when out of memory.
BIO* NewSocketBio(int fd);

}  // namespace km7::tls
