#include "smtp/OAuthHttp.h"

#include <curl/curl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/SecureWipe.h"

namespace km7::oauth {

namespace {

void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct Sink {
  std::string* body;
  bool tooLarge = false;
};

size_t Collect(char* data, size_t size, size_t count, void* user) {
  auto* sink = static_cast<Sink*>(user);
  const size_t n = size * count;
  if (sink->body->size() + n > kMaxAnswerBytes) {
    sink->tooLarge = true;
    return 0;  // ends the transfer
  }
  sink->body->append(data, n);
  return n;
}

// Appends name=value, percent-encoded, without leaving copies behind.
void AppendField(CURL* curl, std::string& form, const std::string& name, const std::string& value) {
  if (!form.empty()) form += '&';
  for (const std::string* part : {&name, &value}) {
    char* escaped = curl_easy_escape(curl, part->data(), static_cast<int>(part->size()));
    if (escaped != nullptr) {
      form += escaped;
      km7::SecureZero(escaped, std::strlen(escaped));
      curl_free(escaped);
    }
    if (part == &name) form += '=';
  }
}

// libcurl's progress callback: non-zero ends the transfer.
int StopRequested(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* stop = static_cast<const std::atomic<bool>*>(user);
  return stop->load() ? 1 : 0;
}

// The store OpenSSL itself would use for the mail server: libcurl sets its
// own built-in bundle, which would make the two differ.
void UseEnvironmentStore(CURL* curl) {
  const char* file = std::getenv("SSL_CERT_FILE");
  const char* dir = std::getenv("SSL_CERT_DIR");
  if (file != nullptr && *file != '\0') curl_easy_setopt(curl, CURLOPT_CAINFO, file);
  if (dir != nullptr && *dir != '\0') curl_easy_setopt(curl, CURLOPT_CAPATH, dir);
}

bool IsHttps(const std::string& url) {
  return url.size() > 8 && (url.compare(0, 8, "https://") == 0 || url.compare(0, 8, "HTTPS://") == 0);
}

}  // namespace

HttpAnswer PostForm(const std::string& url, const FormFields& fields, const HttpOptions& options) {
  HttpAnswer answer;
  if (!IsHttps(url)) {
    answer.error = "\"" + url + "\" is not an https:// address (tokens never travel unencrypted)";
    return answer;
  }
  GlobalInit();
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    answer.error = "cannot set up the HTTP client";
    return answer;
  }
  std::string form;
  size_t length = 0;
  for (const auto& [name, value] : fields) length += 3 * (name.size() + value.size()) + 2;
  form.reserve(length);  // one buffer, so no reallocation leaves a copy behind
  for (const auto& [name, value] : fields) AppendField(curl, form, name, value);

  Sink sink{&answer.body};
  char errorBuffer[CURL_ERROR_SIZE] = {};
  curl_slist* headers = curl_slist_append(nullptr, "Accept: application/json");
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // safe on a worker thread
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(options.timeoutMs));
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, "km7");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!options.caFile.empty()) {
    // The file beside the system's store, not in place of it.
    curl_easy_setopt(curl, CURLOPT_CAINFO, options.caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, "/etc/ssl/certs");
  } else {
    UseEnvironmentStore(curl);
  }
  if (options.stop != nullptr) {
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, StopRequested);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(options.stop));
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  }
  const CURLcode rc = curl_easy_perform(curl);
  km7::Wipe(form);
  if (rc == CURLE_OK) {
    answer.reached = true;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  } else if (options.stop != nullptr && options.stop->load()) {
    answer.error = "stopped";
  } else if (sink.tooLarge) {
    answer.error = "the answer is larger than " + std::to_string(kMaxAnswerBytes / 1024) + " KB";
  } else {
    answer.error = errorBuffer[0] != '\0' ? std::string(errorBuffer) : std::string(curl_easy_strerror(rc));
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return answer;
}

}  // namespace km7::oauth
