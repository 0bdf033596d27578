// Feeds arbitrary server bytes, cut into arbitrary pieces, to the session's
// reply assembly and the parsers that read replies (EHLO capabilities, AUTH
// mechanisms, STARTTLS).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"

namespace {

// The same bytes in one piece: how the network cut them must not matter.
void CheckWhole(std::string_view all, const km7::smtp::ReplyAssembler& pieces, size_t consumed) {
  km7::smtp::ReplyAssembler whole;
  whole.Append(all.data(), consumed);
  if (whole.Text() != pieces.Text()) std::abort();
  if (whole.Complete() != pieces.Complete()) std::abort();
  if (whole.Complete() && whole.Code() != pieces.Code()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the piece length, so splits land everywhere.
  const size_t piece = 1 + data[0] % 16;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;

  km7::smtp::ReplyAssembler reply;
  std::string expected;
  bool sawComplete = false;
  size_t consumed = 0;
  for (size_t at = 0; at < length && !sawComplete; at += piece) {
    const size_t n = length - at < piece ? length - at : piece;
    reply.Append(text + at, n);
    consumed = at + n;
    for (size_t i = 0; i < n; ++i) {
      if (text[at + i] != '\0') expected += text[at + i];
    }
    if (reply.Text() != expected) std::abort();
    if (reply.Text().find('\0') != std::string::npos) std::abort();
    sawComplete = reply.Complete();
  }
  CheckWhole(std::string_view(text, length), reply, consumed);
  if (reply.Complete()) {
    const std::string& t = reply.Text();
    int code = -1;
    if (t.size() < 5 || t.compare(t.size() - 2, 2, "\r\n") != 0) std::abort();
    if (!km7::smtp::ReplyComplete(t, code) || code != reply.Code()) std::abort();
  }

  const std::string_view all(text, length);
  const SMTPAuthMethod method = km7::smtp::DetectAuthMethod(all);
  if (static_cast<int>(method) < 0 || static_cast<int>(method) > 4) std::abort();
  const auto offered = km7::smtp::OfferedAuthMethods(all);
  if (offered.size() > 4) std::abort();
  if (!offered.empty() && offered.front() != method) std::abort();
  if (offered.empty() && method != SMTPAuthMethod::None) std::abort();
  std::string params;
  if (km7::smtp::EhloOffers(all, "STARTTLS", &params) && params.size() >= all.size()) std::abort();

  // Replies end up in error texts.
  const CZRKSMTPException failure(km7::FACILITY_ITF, 512, std::string(all));
  if (failure.GetErrorMessage().size() > 4095) std::abort();
  char small[17];
  failure.GetErrorMessage(small, sizeof small);
  return 0;
}
