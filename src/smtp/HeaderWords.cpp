#include "smtp/Encoding.h"

#include <algorithm>
#include <cctype>
#include <new>

#include "platform/Text.h"
#include "smtp/ErrorMessages.h"
#include "smtp/HexEscape.h"
#include "smtp/SMTPException.h"

namespace km7 {
namespace {

// Characters an encoded word may hold as they are.
bool IsWordSafe(unsigned char c) {
  return ((c >= 0x21 && c <= 0x3C) || (c >= 0x3E && c <= 0x7E)) && c != '?' && c != '_';
}

// Inside a display name only these may stand for themselves (RFC 2047 5(3)).
bool IsPhraseSafe(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '!' ||
         c == '*' || c == '+' || c == '-' || c == '/';
}

}  // namespace

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
    throw CZRKSMTPException(FACILITY_ITF, IDS_Q_ENCODE_FAILED);
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
    throw CZRKSMTPException(FACILITY_ITF, IDS_Q_ENCODE_FAILED);
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

}  // namespace km7
