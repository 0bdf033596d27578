#pragma once
// The one HTTP request OAuth 2.0 needs: a form POST over HTTPS to an
// authorization server, with libcurl. Nothing of the form is logged.
#include <atomic>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace km7::oauth {

struct HttpOptions {
  // A PEM file of CAs trusted beside the system's store. Without one,
  // SSL_CERT_FILE and SSL_CERT_DIR name the store, as for the mail server's
  // TLS.
  std::string caFile;
  uint32_t timeoutMs = 30000;
  // Set by another thread: a request under way ends at once.
  const std::atomic<bool>* stop = nullptr;
};

struct HttpAnswer {
  bool reached = false;  // false: no answer (error says why)
  long status = 0;
  std::string body;
  std::string error;
};

// Largest answer taken; an authorization server's are a few hundred bytes.
inline constexpr size_t kMaxAnswerBytes = 256 * 1024;

using FormFields = std::vector<std::pair<std::string, std::string>>;

// POSTs the fields, form-encoded, to url, which must be an https:// address.
// The encoded form is wiped once sent.
HttpAnswer PostForm(const std::string& url, const FormFields& fields, const HttpOptions& options);

}  // namespace km7::oauth
