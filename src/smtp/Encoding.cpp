#include "smtp/Encoding.h"

#include <uuid/uuid.h>

#include <cctype>
#include <new>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPException.h"

namespace km7 {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHexDigits[] = "0123456789ABCDEF";

// 19 groups of 3 bytes make one 76-character line.
constexpr size_t kGroupsPerLine = 19;
// Past this many characters on a line, quoted-printable breaks it.
constexpr int kQpLineLimit = 64;

int Base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void AppendHexEscape(std::string& out, unsigned char c) {
  out += '=';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 0x0F];
}

[[noreturn]] void RaiseItf(uint32_t id) { throw CZRKSMTPException(FACILITY_ITF, id); }

}  // namespace

std::string Base64Encode(std::string_view bytes, int flags) {
  try {
    const size_t groups = bytes.size() / 3;
    const size_t rest = bytes.size() % 3;
    std::string out;
    out.reserve((groups + 1) * 4 + (groups / kGroupsPerLine) * 2);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t g = 0; g < groups; ++g, p += 3) {
      const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      out += kAlphabet[(v >> 18) & 63];
      out += kAlphabet[(v >> 12) & 63];
      out += kAlphabet[(v >> 6) & 63];
      out += kAlphabet[v & 63];
      if (!(flags & BASE64_NO_LINE_BREAKS) && (g + 1) % kGroupsPerLine == 0) out += "\r\n";
    }
    if (rest != 0) {
      const uint32_t v = (uint32_t{p[0]} << 16) | (rest == 2 ? uint32_t{p[1]} << 8 : 0);
      out += kAlphabet[(v >> 18) & 63];
      out += kAlphabet[(v >> 12) & 63];
      if (rest == 2) out += kAlphabet[(v >> 6) & 63];
      if (!(flags & BASE64_NO_PADDING)) out.append(rest == 2 ? 1 : 2, '=');
    }
    return out;
  } catch (const std::bad_alloc&) {
    RaiseItf(IDS_BASE64_ENCODE_FAILED);
  }
}

std::string Base64Decode(std::string_view text) {
  try {
    std::string out;
    out.reserve(text.size() / 4 * 3 + 3);
    uint32_t acc = 0;
    int count = 0;
    for (char ch : text) {
      if (ch == '\0') break;
      const int v = Base64Value(static_cast<unsigned char>(ch));
      if (v < 0) continue;
      acc = (acc << 6) | static_cast<uint32_t>(v);
      if (++count == 4) {
        out += static_cast<char>((acc >> 16) & 0xFF);
        out += static_cast<char>((acc >> 8) & 0xFF);
        out += static_cast<char>(acc & 0xFF);
        acc = 0;
        count = 0;
      }
    }
    if (count == 2) {
      out += static_cast<char>((acc >> 4) & 0xFF);
    } else if (count == 3) {
      out += static_cast<char>((acc >> 10) & 0xFF);
      out += static_cast<char>((acc >> 2) & 0xFF);
    }
    return out;
  } catch (const std::bad_alloc&) {
    RaiseItf(IDS_BASE64_DECODE_FAILED);
  }
}

std::string QPEncode(std::string_view bytes, int flags) {
  try {
    std::string out;
    out.reserve(bytes.size() * 3 / 2 + 8);
    int lineCount = 0;
    for (char ch : bytes) {
      const auto c = static_cast<unsigned char>(ch);
      if ((flags & QP_DOUBLE_LEADING_DOTS) && c == '.' && lineCount == 0) {
        out += "..";
        lineCount += 2;
      } else if ((c >= 0x21 && c <= 0x3C) || (c >= 0x3E && c <= 0x7E)) {
        out += static_cast<char>(c);
        ++lineCount;
      } else if ((c == ' ' || c == '\t') && lineCount < kQpLineLimit) {
        out += static_cast<char>(c);
        ++lineCount;
      } else {
        AppendHexEscape(out, c);
        lineCount += 3;
      }
      if (lineCount > kQpLineLimit) {
        out += "=\r\n";
        lineCount = 0;
      }
    }
    if (flags & QP_FINAL_SOFT_BREAK) out += "=\r\n";
    return out;
  } catch (const std::bad_alloc&) {
    RaiseItf(IDS_QP_ENCODE_FAILED);
  }
}

std::string QEncode(std::string_view bytes, std::string_view charset) {
  try {
    std::string out;
    out.reserve(bytes.size() * 3 + charset.size() + 7);
    out += "=?";
    out += charset;
    out += "?Q?";
    for (char ch : bytes) {
      const auto c = static_cast<unsigned char>(ch);
      const bool plain = ((c >= 0x21 && c <= 0x3C) || (c >= 0x3E && c <= 0x7E)) && c != '?' &&
                         c != '_';
      if (plain) {
        out += static_cast<char>(c);
      } else {
        AppendHexEscape(out, c);
      }
    }
    out += "?=";
    return out;
  } catch (const std::bad_alloc&) {
    RaiseItf(IDS_Q_ENCODE_FAILED);
  }
}

std::string NormaliseLineEnds(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
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
  for (size_t i = 0; i < text.size(); ++i) {
    const bool lineStart = i == 0 || (i >= 2 && text[i - 2] == '\r' && text[i - 1] == '\n');
    if (lineStart && text[i] == '.') out += '.';
    out += text[i];
  }
  return out;
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
