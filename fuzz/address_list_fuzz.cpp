// Parses arbitrary address lists and builds a message header from them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "smtp/SMTPMessage.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool HasLineBreak(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  CZRKSMTPAddressArray list;
  const int count = CZRKSMTPMessage::ParseAddressList(text, list);
  Check(count >= 0 && static_cast<size_t>(count) == list.size());
  size_t separators = 0;
  for (char c : text) separators += (c == ',' || c == ';') ? 1 : 0;
  Check(list.size() <= separators + 1);
  for (const auto& a : list) {
    const std::string& e = a.GetEmailAddress();
    Check(!e.empty());
    Check(!IsBlank(e.front()) && !IsBlank(e.back()));
    // Parsed texts come from the input: no line break appears from nowhere.
    if (!HasLineBreak(text)) Check(a.IsSafe());
  }

  CZRKSMTPAddress single(text);
  if (!HasLineBreak(text)) Check(single.IsSafe());

  // The header of a message with these recipients and the text as subject;
  // the injection check must flag exactly the unsafe recipients.
  CZRKSMTPMessage m;
  m.GetTo() = list;
  m.SetSubject(std::string(text));
  m.SetXMailer("");
  const std::string header = m.GetHeader();
  Check(header.size() >= 2 && header.compare(header.size() - 2, 2, "\r\n") == 0);
  bool anyUnsafe = false;
  for (const auto& a : list) anyUnsafe = anyUnsafe || !a.IsSafe();
  Check(m.FindUnsafeField().empty() == !anyUnsafe);
  // With every recipient safe, the subject cannot add a header line:
  // every line break in the header is followed by a blank (folding) or a
  // known field name.
  if (!anyUnsafe) {
    for (size_t pos = header.find("\r\n"); pos + 2 < header.size();
         pos = header.find("\r\n", pos + 2)) {
      const std::string_view next = std::string_view(header).substr(pos + 2);
      Check(next[0] == ' ' || next[0] == '\t' || next.rfind("To: ", 0) == 0 ||
            next.rfind("Subject: ", 0) == 0 ||
            next.rfind("Content-Type: ", 0) == 0 || next.rfind("Date: ", 0) == 0);
    }
  }
  return 0;
}
