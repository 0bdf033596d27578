#include "smtp/TlsSocketBio.h"

#include <sys/socket.h>

#include <cerrno>
#include <new>

namespace km7::tls {
namespace {

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

}  // namespace

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

}  // namespace km7::tls
