#include "smtp/Encoding.h"

#include <new>

#include "smtp/ErrorMessages.h"
#include "smtp/HexEscape.h"
#include "smtp/SMTPException.h"

namespace km7 {
namespace {

// Past this many characters on a line, quoted-printable breaks it.
constexpr int kQpLineLimit = 64;

}  // namespace

std::string QPEncode(std::string_view bytes, int flags) {
  try {
    std::string out;
    out.reserve(bytes.size() * 3 / 2 + 8);
    QPEncoder encoder(flags);
    encoder.Encode(bytes, out);
    encoder.Finish(out);
    return out;
  } catch (const std::bad_alloc&) {
    throw CZRKSMTPException(FACILITY_ITF, IDS_QP_ENCODE_FAILED);
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

}  // namespace km7
