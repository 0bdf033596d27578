#include "smtp/ErrorMessages.h"

#include <netdb.h>

#include <cerrno>

namespace km7 {

namespace {

struct Entry {
  uint32_t number;
  const char* text;
};

template <size_t N>
const char* Find(const Entry (&table)[N], uint32_t number) {
  for (const Entry& e : table) {
    if (e.number == number) return e.text;
  }
  return nullptr;
}

const Entry kStringTable[] = {
    {IDS_CONNECTION_FAILED, "Connection failed"},
    {IDS_UNEXPECTED_LOGIN_RESPONSE, "Unexpected SMTP Login response, Last Response: %1"},
    {IDS_UNEXPECTED_EHLO_RESPONSE, "Unexpected EHLO response, Last Response: %1"},
    {IDS_UNEXPECTED_HELO_RESPONSE, "Unexpected HELO response, Last Response: %1"},
    {IDS_UNEXPECTED_QUIT_RESPONSE, "Unexpected QUIT response, Last Response: %1"},
    {IDS_UNEXPECTED_MAIL_FROM_RESPONSE, "Unexpected MAIL FROM response, Last Response: %1"},
    {IDS_UNEXPECTED_DATA_RESPONSE, "Unexpected DATA response, Last Response: %1"},
    {IDS_UNEXPECTED_END_OF_MESSAGE_RESPONSE, "Unexpected End of Message response, Last Response: %1"},
    {IDS_FILE_TOO_LARGE, "File too large to mail"},
    {IDS_ZERO_LENGTH_FILE, "Cannot mail 0 byte length file"},
    {IDS_UNEXPECTED_RCPT_TO_RESPONSE, "Unexpected RCPT TO response, Last Response: %1"},
    {IDS_UNEXPECTED_AUTH_LOGIN_RESPONSE, "Unexpected AUTH LOGIN response, Last Response: %1"},
    {IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_REQUEST, "Unexpected AUTH LOGIN username request, Last Response: %1"},
    {IDS_UNEXPECTED_AUTH_LOGIN_USERNAME_RESPONSE, "Unexpected AUTH LOGIN username response, Last Response: %1"},
    {IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_REQUEST, "Unexpected AUTH LOGIN password request, Last Response: %1"},
    {IDS_UNEXPECTED_AUTH_LOGIN_PASSWORD_RESPONSE, "Unexpected AUTH LOGIN password response, Last Response: %1"},
    {IDS_UNEXPECTED_AUTH_PLAIN_RESPONSE, "Unexpected AUTH PLAIN response, Last Response: %1"},
    {IDS_UNEXPECTED_CRAM_MD5_RESPONSE, "Unexpected CRAM-MD5 response, Last Response: %1"},
    {IDS_UNEXPECTED_CRAM_MD5_DIGEST_RESPONSE, "Unexpected CRAM-MD5 digest response, Last Response: %1"},
    {IDS_NTLM_FAILED, "Failed to perform NTLM authentication"},
    {IDS_UNEXPECTED_AUTH_NTLM_RESPONSE, "Unexpected AUTH NTLM response, Last Response: %1"},
    {IDS_BASE64_DECODE_FAILED, "Failed to base64 decode data"},
    {IDS_BASE64_ENCODE_FAILED, "Failed to base64 encode data"},
    {IDS_SSL_SOCKET_FAILED, "Failed to create SSL socket, Details: %1"},
    {IDS_SSL_SOCKS4_FAILED, "Failed to connect to Socks 4 proxy via SSL: Details:%1"},
    {IDS_SSL_SOCKS5_FAILED, "Failed to connect to Socks 5 proxy via SSL: Details:%1"},
    {IDS_SSL_HTTP_PROXY_FAILED, "Failed to connect to HTTP proxy via SSL:Details:%1"},
    {IDS_SSL_CONNECT_FAILED, "Failed to connect via SSL: Details:%1"},
    {IDS_SSL_SEND_FAILED, "Failed to send data via SSL: Details:%1"},
    {IDS_SSL_RECEIVE_FAILED, "Failed to receive data via SSL: Details:%1"},
    {IDS_GRACEFUL_DISCONNECT, "A graceful disconnect had occurred, Last Response: %1"},
    {IDS_QP_ENCODE_FAILED, "Failed to QP encode data"},
    {IDS_Q_ENCODE_FAILED, "Failed to Q encode data"},
    {IDS_INVALID_HELO_NAME, "The HELO host name holds a line break and was refused"},
    {IDS_INVALID_ADDRESS, "An address or header text of the message holds a line break and was refused: %1"},
    {IDS_TLS_CERTIFICATE_UNTRUSTED, "The server's certificate is not trusted: %1"},
    {IDS_STARTTLS_NOT_OFFERED, "The server does not offer STARTTLS, Last Response: %1"},
    {IDS_UNEXPECTED_STARTTLS_RESPONSE, "Unexpected STARTTLS response, Last Response: %1"},
    {IDS_NO_AUTH_OFFERED,
     "The server offers no authentication method this client knows (many servers offer it only after "
     "STARTTLS), Last Response: %1"},
    {IDS_TLS_HANDSHAKE_TIMED_OUT, "The TLS handshake did not finish in time: Details:%1"},
    {IDS_OAUTH_TOKEN_REFUSED, "The server refused the OAuth 2.0 access token: %1"},
    {IDS_NO_TOKEN_MECHANISM_OFFERED,
     "The server offers neither OAUTHBEARER nor XOAUTH2, so an access token cannot be used, Last Response: %1"},
    {IDS_UNEXPECTED_AUTH_TOKEN_RESPONSE, "Unexpected response to AUTH with an access token, Last Response: %1"},
    {IDS_NO_ACCESS_TOKEN, "No OAuth 2.0 access token could be had: %1"},
    {IDS_NO_ANSWER, "The server did not answer within the time-out, Last Response: %1"},
};

const Entry kSystemTable[] = {
    {ERROR_FILE_NOT_FOUND, "The file cannot be found."},
    {ERROR_PATH_NOT_FOUND, "The path cannot be found."},
    {ERROR_TOO_MANY_OPEN_FILES, "Too many files are open."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory to carry out this command."},
    {ERROR_OUTOFMEMORY, "There is not enough memory to finish this operation."},
    {ERROR_READ_FAULT, "The device cannot be read."},
    {ERROR_SHARING_VIOLATION, "The file is in use by another process."},
    {ERROR_BAD_NET_RESP, "The server answered with a response it should not have given."},
    {ERROR_INVALID_PARAMETER, "A parameter is not valid."},
    {ERROR_DISK_FULL, "There is no space left on the disk."},
    {ERROR_INVALID_NAME, "The file name, folder name or volume label is not valid."},
    {ERROR_FILENAME_EXCED_RANGE, "The file name is too long."},
    {ERROR_FILE_TOO_LARGE, "The file is too large."},
    {ERROR_DIRECTORY, "The name is a folder, not a file."},
    {ERROR_CONNECTION_REFUSED, "The remote computer refused the network connection."},
    {ERROR_GRACEFUL_DISCONNECT, "The remote side closed the network connection."},
    {ERROR_TIMEOUT, "The operation did not finish before its time-out expired."},
    {RPC_S_UUID_NO_ADDRESS, "No network address is available to build a unique identifier."},
    {RPC_S_UUID_LOCAL_ONLY, "The unique identifier is unique on this computer only."},
    {WSAEINTR, "A blocking call was interrupted."},
    {WSAEBADF, "The file handle is not valid."},
    {WSAEACCES, "The socket access is forbidden by its permissions."},
    {WSAEFAULT, "An address passed to a socket call is not valid."},
    {WSAEINVAL, "An argument passed to a socket call is not valid."},
    {WSAEMFILE, "Too many sockets are open."},
    {WSAEWOULDBLOCK, "The socket operation cannot finish at once without blocking."},
    {WSAEINPROGRESS, "A blocking operation is already in progress."},
    {WSAEALREADY, "An operation is already in progress on this non-blocking socket."},
    {WSAENOTSOCK, "The operation was tried on something that is not a socket."},
    {WSAEDESTADDRREQ, "The socket operation needs a destination address."},
    {WSAEMSGSIZE, "The message is larger than the socket buffer or its limit."},
    {WSAEPROTOTYPE, "The protocol does not support the socket type."},
    {WSAENOPROTOOPT, "An unknown or unsupported socket option was given."},
    {WSAEPROTONOSUPPORT, "The protocol is not supported."},
    {WSAESOCKTNOSUPPORT, "The socket type is not supported in this address family."},
    {WSAEOPNOTSUPP, "The operation is not supported on this kind of socket."},
    {WSAEPFNOSUPPORT, "The protocol family is not supported."},
    {WSAEAFNOSUPPORT, "The address family is not supported by the protocol."},
    {WSAEADDRINUSE, "The socket address (address and port) is already in use."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid here."},
    {WSAENETDOWN, "The network is down."},
    {WSAENETUNREACH, "The network cannot be reached."},
    {WSAENETRESET, "The connection was broken by keep-alive activity."},
    {WSAECONNABORTED, "The connection was aborted by software on this computer."},
    {WSAECONNRESET, "The remote host forcibly closed the connection."},
    {WSAENOBUFS, "No buffer space is left for the socket operation."},
    {WSAEISCONN, "The socket is already connected."},
    {WSAENOTCONN, "The socket is not connected."},
    {WSAESHUTDOWN, "The socket was already shut down in that direction."},
    {WSAETIMEDOUT, "The remote host did not answer in time; the connection attempt failed."},
    {WSAECONNREFUSED, "The connection was refused by the remote computer."},
    {WSAELOOP, "The name cannot be translated."},
    {WSAENAMETOOLONG, "The name or its part is too long."},
    {WSAEHOSTDOWN, "The remote host is down."},
    {WSAEHOSTUNREACH, "There is no route to the remote host."},
    {WSAECANCELLED, "The attempt was cancelled before it finished."},
    {WSAHOST_NOT_FOUND, "The host name is not known."},
    {WSATRY_AGAIN, "The host name cannot be resolved now; try again later."},
    {WSANO_RECOVERY, "The name lookup failed for good."},
    {WSANO_DATA, "The name is valid but has no address of the requested kind."},
};

const Entry kSecurityTable[] = {
    {SEC_E_INSUFFICIENT_MEMORY, "There is not enough memory for the security operation."},
    {SEC_E_INVALID_HANDLE, "The security handle is not valid."},
    {SEC_E_UNSUPPORTED_FUNCTION, "The security function is not supported."},
    {SEC_E_INTERNAL_ERROR, "The security service failed internally."},
    {SEC_E_SECPKG_NOT_FOUND, "The security package cannot be found."},
    {SEC_E_INVALID_TOKEN, "The security token is not valid."},
    {SEC_E_LOGON_DENIED, "The logon attempt failed."},
    {SEC_E_NO_CREDENTIALS, "No credentials are available to the security package."},
};

}  // namespace

const char* SMTPStringTableText(uint32_t id) { return Find(kStringTable, id); }

const char* SystemMessageText(uint32_t number) { return Find(kSystemTable, number); }

const char* SecurityStatusText(uint32_t status) { return Find(kSecurityTable, status); }

uint32_t SocketErrorFromErrno(int err) {
  switch (err) {
    case EINTR: return WSAEINTR;
    case EBADF: return WSAENOTSOCK;  // a closed socket handle
    case EACCES:
    case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE:
    case ENFILE: return WSAEMFILE;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    case EAGAIN: return WSAEWOULDBLOCK;
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE: return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: return WSAESHUTDOWN;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ECANCELED: return WSAECANCELLED;
    default: return WSAEINVAL;
  }
}

uint32_t SystemErrorFromErrno(int err) {
  switch (err) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EIO: return ERROR_READ_FAULT;
    case ETXTBSY:
    case EBUSY: return ERROR_SHARING_VIOLATION;
    case ENOSPC: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG:
    case EOVERFLOW: return ERROR_FILE_TOO_LARGE;
    case EISDIR: return ERROR_DIRECTORY;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    default: return ERROR_INVALID_PARAMETER;
  }
}

uint32_t SocketErrorFromResolver(int gaiError, int err) {
  switch (gaiError) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return err != 0 ? SocketErrorFromErrno(err) : WSANO_RECOVERY;
    default: return WSANO_RECOVERY;
  }
}

}  // namespace km7
