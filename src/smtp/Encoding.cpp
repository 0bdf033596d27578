#include "smtp/Encoding.h"

#include <uuid/uuid.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <new>

#include "platform/Text.h"
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

// Every pair of 6-bit values as its two characters: one table look-up
// writes half a group.
struct PairTable {
  char chars[4096 * 2];
  constexpr PairTable() : chars() {
    for (int i = 0; i < 4096; ++i) {
      chars[2 * i] = kAlphabet[i >> 6];
      chars[2 * i + 1] = kAlphabet[i & 63];
    }
  }
};
constexpr PairTable kPairs;

// Characters an encoded word may hold as they are.
bool IsWordSafe(unsigned char c) {
  return ((c >= 0x21 && c <= 0x3C) || (c >= 0x3E && c <= 0x7E)) && c != '?' && c != '_';
}

// Inside a display name only these may stand for themselves (RFC 2047 5(3)).
bool IsPhraseSafe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' ||
         c == '*' || c == '+' || c == '-' || c == '/';
}

void AppendHexEscape(std::string& out, unsigned char c) {
  out += '=';
  out += kHexDigits[c >> 4];
  out += kHexDigits[c & 0x0F];
}

[[noreturn]] void RaiseItf(uint32_t id) { throw CZRKSMTPException(FACILITY_ITF, id); }

}  // namespace

size_t Base64EncodedLength(size_t byteCount, int flags) {
  const size_t groups = byteCount / 3;
  const size_t rest = byteCount % 3;
  size_t length = groups * 4;
  if (rest != 0) length += (flags & BASE64_NO_PADDING) ? rest + 1 : 4;
  if (!(flags & BASE64_NO_LINE_BREAKS)) length += groups / kGroupsPerLine * 2;
  return length;
}

void Base64EncodeAppend(std::string_view bytes, int flags, std::string& out) {
  const size_t start = out.size();
  // Sized once and written through a pointer: appending one character at a
  // time costs more than the encoding itself.
  out.resize(start + Base64EncodedLength(bytes.size(), flags));
  char* o = out.data() + start;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t groups = bytes.size() / 3;
  const bool breaks = !(flags & BASE64_NO_LINE_BREAKS);
  for (size_t done = 0; done < groups;) {
    const size_t line = breaks ? std::min(kGroupsPerLine, groups - done) : groups - done;
    for (size_t k = 0; k < line; ++k, p += 3, o += 4) {
      const uint32_t v = (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | p[2];
      std::memcpy(o, &kPairs.chars[2 * (v >> 12)], 2);
      std::memcpy(o + 2, &kPairs.chars[2 * (v & 0xFFF)], 2);
    }
    done += line;
    if (breaks && line == kGroupsPerLine) {
      *o++ = '\r';
      *o++ = '\n';
    }
  }
  const size_t rest = bytes.size() % 3;
  if (rest != 0) {
    const uint32_t v = (uint32_t{p[0]} << 16) | (rest == 2 ? uint32_t{p[1]} << 8 : 0);
    *o++ = kAlphabet[(v >> 18) & 63];
    *o++ = kAlphabet[(v >> 12) & 63];
    if (rest == 2) *o++ = kAlphabet[(v >> 6) & 63];
    if (!(flags & BASE64_NO_PADDING)) {
      *o++ = '=';
      if (rest == 1) *o++ = '=';
    }
  }
}

std::string Base64Encode(std::string_view bytes, int flags) {
  try {
    std::string out;
    Base64EncodeAppend(bytes, flags, out);
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
    QPEncoder encoder(flags);
    encoder.Encode(bytes, out);
    encoder.Finish(out);
    return out;
  } catch (const std::bad_alloc&) {
    RaiseItf(IDS_QP_ENCODE_FAILED);
  }
}

void QPEncoder::PutEscaped(unsigned char c, std::string& out) {
  AppendHexEscape(out, c);
  m_lineCount += 3;
  EndOfPiece(out);
}

void QPEncoder::EndOfPiece(std::string& out) {
  if (m_lineCount > kQpLineLimit) {
    out += "=\r\n";
    m_lineCount = 0;
  }
}

void QPEncoder::Put(unsigned char c, std::string& out) {
  if ((m_flags & QP_DOUBLE_LEADING_DOTS) && c == '.' && m_lineCount == 0) {
    out += "..";
    m_lineCount += 2;
  } else if ((c >= 0x21 && c <= 0x3C) || (c >= 0x3E && c <= 0x7E)) {
    out += static_cast<char>(c);
    ++m_lineCount;
  } else if ((c == ' ' || c == '\t') && m_lineCount < kQpLineLimit) {
    // Written as it is unless it turns out to end the text or a line.
    m_pendingBlank = c;
    return;
  } else {
    PutEscaped(c, out);
    return;
  }
  EndOfPiece(out);
}

void QPEncoder::Encode(std::string_view bytes, std::string& out) {
  const bool hard = (m_flags & QP_HARD_LINE_BREAKS) != 0;
  auto flushBlank = [&](bool escaped) {
    if (m_pendingBlank < 0) return;
    const auto blank = static_cast<unsigned char>(m_pendingBlank);
    m_pendingBlank = -1;
    if (escaped) {
      PutEscaped(blank, out);
    } else {
      out += static_cast<char>(blank);
      ++m_lineCount;
      EndOfPiece(out);
    }
  };
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (m_pendingCr) {
      m_pendingCr = false;
      if (c == '\n') {
        flushBlank(true);
        out += "\r\n";
        m_lineCount = 0;
        continue;
      }
      flushBlank(false);
      PutEscaped('\r', out);
    }
    if (hard && c == '\r') {
      m_pendingCr = true;
      continue;
    }
    flushBlank(false);
    Put(c, out);
  }
}

void QPEncoder::Finish(std::string& out) {
  if (m_pendingCr) {
    m_pendingCr = false;
    if (m_pendingBlank >= 0) {
      out += static_cast<char>(m_pendingBlank);
      m_pendingBlank = -1;
      ++m_lineCount;
      EndOfPiece(out);
    }
    PutEscaped('\r', out);
  }
  if (m_pendingBlank >= 0) {
    const auto blank = static_cast<unsigned char>(m_pendingBlank);
    m_pendingBlank = -1;
    PutEscaped(blank, out);
  }
  if (m_flags & QP_FINAL_SOFT_BREAK) out += "=\r\n";
  m_lineCount = 0;
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
      if (IsWordSafe(c)) {
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

std::vector<std::string> QEncodeWords(std::string_view bytes, std::string_view charset,
                                      size_t firstMaxWord, size_t maxWord, bool inPhrase) {
  try {
    const size_t overhead = charset.size() + 7;  // "=?" charset "?Q?" ... "?="
    const bool utf8 = km7::EqualsIgnoringCase(charset, "utf-8") || km7::EqualsIgnoringCase(charset, "utf8");
    auto wrap = [&](const std::string& encoded) {
      std::string word;
      word.reserve(overhead + encoded.size());
      word += "=?";
      word += charset;
      word += "?Q?";
      word += encoded;
      word += "?=";
      return word;
    };
    std::vector<std::string> words;
    std::string current;
    std::string character;
    size_t limit = firstMaxWord;
    for (size_t i = 0; i < bytes.size();) {
      // One character: in UTF-8 a lead byte and its continuation bytes.
      size_t length = 1;
      if (utf8 && static_cast<unsigned char>(bytes[i]) >= 0xC0) {
        while (length < 4 && i + length < bytes.size() &&
               (static_cast<unsigned char>(bytes[i + length]) & 0xC0) == 0x80) {
          ++length;
        }
      }
      character.clear();
      for (size_t k = 0; k < length; ++k) {
        const auto c = static_cast<unsigned char>(bytes[i + k]);
        if (inPhrase ? IsPhraseSafe(c) : IsWordSafe(c)) {
          character += static_cast<char>(c);
        } else {
          AppendHexEscape(character, c);
        }
      }
      if (!current.empty() && overhead + current.size() + character.size() > limit) {
        words.push_back(wrap(current));
        current.clear();
        limit = maxWord;
      }
      current += character;
      i += length;
    }
    if (!current.empty() || words.empty()) words.push_back(wrap(current));
    return words;
  } catch (const std::bad_alloc&) {
    RaiseItf(IDS_Q_ENCODE_FAILED);
  }
}

std::string MimeParameter(std::string_view name, std::string_view value, std::string_view charset) {
  const bool printable = std::all_of(value.begin(), value.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c >= 0x20 && c <= 0x7E;
  });
  std::string out(name);
  if (printable) {
    out += "=\"";
    for (char c : value) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
    return out;
  }
  out += "*=";
  out += charset;
  out += "''";
  for (char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (std::isalnum(c) || std::string_view("!#$&+-.^_`|~").find(ch) != std::string_view::npos) {
      out += ch;
    } else {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    }
  }
  return out;
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
