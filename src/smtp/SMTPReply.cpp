#include "smtp/SMTPReply.h"

#include <cstdlib>
#include <cstring>

namespace km7::smtp {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool ReplyComplete(std::string_view text, int& code) {
  if (text.size() < 5 || text.substr(text.size() - 2) != "\r\n") return false;
  // The last line starts after the "\r\n" before the final one.
  const size_t previous = text.rfind("\r\n", text.size() - 3);
  const size_t start = previous == std::string_view::npos ? 0 : previous + 2;
  const std::string_view last = text.substr(start);
  // "250\r\n" is a whole final line as well: the text after the code is
  // optional.
  const bool codeOnly = last.size() == 5 && IsDigit(last[0]) && IsDigit(last[1]) && IsDigit(last[2]);
  if (!codeOnly && (last.size() < 6 || last[3] != ' ')) return false;
  // The first three characters read as a decimal number, as atoi would.
  char digits[4] = {last[0], last[1], last[2], '\0'};
  code = static_cast<int>(std::strtol(digits, nullptr, 10));
  return true;
}

void ReplyAssembler::Append(const char* data, size_t length) {
  for (size_t i = 0; i < length;) {
    const void* zero = std::memchr(data + i, '\0', length - i);
    const size_t end = zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - data) : length;
    m_text.append(data + i, end - i);
    i = end + 1;
  }
  int code = 0;
  m_complete = ReplyComplete(m_text, code);
  if (m_complete) m_code = code;
}

}  // namespace km7::smtp
