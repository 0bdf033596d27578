#include "smtp/Encoding.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cctype>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPException.h"

namespace km7 {

std::string NormaliseLineEnds(std::string_view text) {
  // Sized exactly first: a long text must not be copied again on growing.
  size_t lineEnds = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) ++lineEnds;
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) ++lineEnds;
  }
  std::string out;
  out.reserve(text.size() + lineEnds);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\r\n";
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string DotStuff(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  DotStuffer().Stuff(text, out);
  return out;
}

void DotStuffer::Stuff(std::string_view piece, std::string& out) {
  for (char c : piece) {
    if (m_lineStart && c == '.') out += '.';
    out += c;
    m_lineStart = m_afterCr && c == '\n';
    m_afterCr = c == '\r';
  }
}

bool HasEightBitBytes(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

size_t LongestLine(std::string_view text) {
  size_t longest = 0;
  while (!text.empty()) {
    const size_t end = text.find("\r\n");
    const size_t line = end == std::string_view::npos ? text.size() : end;
    longest = std::max(longest, line);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 2);
  }
  return longest;
}

std::string MakeUniqueIdText() {
  uuid_t id;
  uuid_generate_random(id);
  // The generator cannot report failure; an all-zero value is the only sign
  // that no identifier was made.
  if (uuid_is_null(id)) throw CZRKSMTPException(FACILITY_RPC, RPC_S_UUID_NO_ADDRESS);
  char text[37];
  uuid_unparse_lower(id, text);
  return std::string(text, 36);
}

std::string MakeEnvelopeId() {
  std::string out;
  for (char c : MakeUniqueIdText()) {
    if (c == '-' || c == '{' || c == '}') continue;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

}  // namespace km7
