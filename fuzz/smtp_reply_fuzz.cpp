// Feeds arbitrary server bytes, cut into arbitrary pieces, to the session's
// reply assembly and the parsers that read replies.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the piece length, so splits land everywhere.
  const size_t piece = 1 + data[0] % 16;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;

  km7::smtp::ReplyAssembler reply;
  std::string expected;
  bool sawComplete = false;
  for (size_t at = 0; at < length && !sawComplete; at += piece) {
    const size_t n = length - at < piece ? length - at : piece;
    reply.Append(text + at, n);
    const std::string_view chunk(text + at, n);
    expected += chunk.substr(0, chunk.find('\0'));
    if (reply.Text() != expected) std::abort();
    sawComplete = reply.Complete();
  }
  if (reply.Complete()) {
    const std::string& t = reply.Text();
    int code = -1;
    if (t.size() <= 5 || t.compare(t.size() - 2, 2, "\r\n") != 0) std::abort();
    if (!km7::smtp::ReplyComplete(t, code) || code != reply.Code()) std::abort();
  }

  const std::string_view all(text, length);
  const SMTPAuthMethod method = km7::smtp::DetectAuthMethod(all);
  if (static_cast<int>(method) < 0 || static_cast<int>(method) > 4) std::abort();

  // Replies end up in error texts.
  const CZRKSMTPException failure(km7::FACILITY_ITF, 512, std::string(all));
  if (failure.GetErrorMessage().size() > 4095) std::abort();
  char small[17];
  failure.GetErrorMessage(small, sizeof small);
  return 0;
}
