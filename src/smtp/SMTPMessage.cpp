#include "smtp/SMTPMessage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "smtp/Encoding.h"
#include "smtp/MessageStream.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPException.h"
#include "smtp/SMTPCommands.h"

namespace {

// Header lines are folded to stay within this length.
constexpr size_t kMaxHeaderLine = 78;
// A header line holding encoded words is at most this long (RFC 2047).
constexpr size_t kMaxEncodedLine = 76;
// The most a line may hold in SMTP, without its "\r\n" (RFC 5321).
constexpr size_t kMaxSmtpLine = 998;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Trimmed, and without the double quotes of a quoted text.
std::string Unquote(std::string_view text) {
  text = Trim(text);
  if (text.size() > 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  return std::string(text);
}

std::string FormatList(const CZRKSMTPAddressArray& list, std::string_view charset) {
  std::string out;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ",\r\n ";
    out += list[i].Format(charset);
  }
  return out;
}

// Each encoded word on a line of its own, no line longer than RFC 2047's
// 76 characters: the first shares its line with "Subject: ".
std::string SubjectLine(std::string_view subject, std::string_view charset) {
  static constexpr std::string_view kName = "Subject: ";
  std::string line(kName);
  const auto words = km7::QEncodeWords(subject, charset, kMaxEncodedLine - kName.size(), km7::kMaxEncodedWord);
  for (size_t i = 0; i < words.size(); ++i) {
    if (i > 0) line += "\r\n ";
    line += words[i];
  }
  line += "\r\n";
  return line;
}

std::string FoldBlindly(std::string_view text) {
  std::string out;
  size_t piece = kMaxHeaderLine;
  while (text.size() > kMaxHeaderLine) {
    out += text.substr(0, piece);
    out += "\r\n ";
    text.remove_prefix(piece);
    piece = kMaxHeaderLine - 1;
  }
  out += text;
  return out;
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.find_last_of("/\\");
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

}  // namespace

// ---------------------------------------------------------------------------
// CZRKSMTPAddress

CZRKSMTPAddress::CZRKSMTPAddress(std::string friendlyName, std::string emailAddress)
    : m_friendlyName(std::move(friendlyName)), m_emailAddress(std::move(emailAddress)) {}

CZRKSMTPAddress::CZRKSMTPAddress(std::string_view text) {
  text = Trim(text);
  const size_t lt = text.find('<');
  const size_t gt = text.find('>');
  if (lt != std::string_view::npos && gt != std::string_view::npos && gt > lt + 1) {
    // Blanks inside the quotes are no part of an address either.
    m_emailAddress = std::string(Trim(Unquote(text.substr(lt + 1, gt - lt - 1))));
    m_friendlyName = Unquote(text.substr(0, lt));
    return;
  }
  const size_t open = text.find('(');
  const size_t close = text.find(')');
  if (open != std::string_view::npos && close != std::string_view::npos && close > open + 1) {
    m_emailAddress = std::string(Trim(Unquote(text.substr(0, open))));
    m_friendlyName = Unquote(text.substr(open + 1, close - open - 1));
    return;
  }
  m_emailAddress = std::string(text);
}

std::string CZRKSMTPAddress::Format(std::string_view charset) const {
  if (m_friendlyName.empty()) return m_emailAddress;
  std::string out;
  if (km7::HasEightBitBytes(m_friendlyName)) {
    const auto words = km7::QEncodeWords(m_friendlyName, charset, km7::kMaxEncodedWord, km7::kMaxEncodedWord, true);
    for (size_t i = 0; i < words.size(); ++i) {
      if (i > 0) out += "\r\n ";
      out += words[i];
    }
  } else {
    // A quoted string: its own quotes and backslashes are escaped.
    out += '"';
    for (char c : m_friendlyName) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    out += '"';
  }
  out += " <" + m_emailAddress + ">";
  return out;
}

bool CZRKSMTPAddress::IsSafe() const {
  return !km7::smtp::HasLineBreak(m_friendlyName) && !km7::smtp::HasLineBreak(m_emailAddress);
}

// ---------------------------------------------------------------------------
// CZRKSMTPMessage

CZRKSMTPMessage::CZRKSMTPMessage() = default;
CZRKSMTPMessage::~CZRKSMTPMessage() = default;

std::string CZRKSMTPMessage::GetHeader() const { return GetHeader(PlainTextEncoding(false)); }

bool CZRKSMTPMessage::IsPlain() const { return !m_mime && m_rootPart.GetNumberOfChildBodyParts() == 0; }

CZRKSMTPMessage::TransferEncoding CZRKSMTPMessage::PlainTextEncoding(bool serverOffers8BitMime) const {
  const std::string& text = m_rootPart.GetText();
  if (km7::LongestLine(text) > kMaxSmtpLine) return TransferEncoding::QuotedPrintable;
  if (!km7::HasEightBitBytes(text)) return TransferEncoding::SevenBit;
  return serverOffers8BitMime ? TransferEncoding::EightBit : TransferEncoding::QuotedPrintable;
}

bool CZRKSMTPMessage::NeedsEightBitBody(TransferEncoding plainText) const {
  if (m_hasPrepared) return km7::HasEightBitBytes(m_prepared);
  return IsPlain() && plainText == TransferEncoding::EightBit;
}

std::string CZRKSMTPMessage::GetHeader(TransferEncoding plainText) const {
  const std::string& charset = m_rootPart.GetCharset();
  std::string out;
  out += "From: " + m_from.Format(charset) + "\r\n";
  out += "To: " + FormatList(m_to, charset) + "\r\n";
  if (!m_cc.empty()) out += "Cc: " + FormatList(m_cc, charset) + "\r\n";
  out += SubjectLine(m_subject, charset);
  if (!m_xMailer.empty()) out += FoldBlindly("X-Mailer: " + m_xMailer) + "\r\n";
  if (!m_mime && m_rootPart.GetNumberOfChildBodyParts() == 0) {
    // Text that cannot travel as 7-bit lines needs MIME to say how it does.
    if (plainText != TransferEncoding::SevenBit) out += "MIME-Version: 1.0\r\n";
    out += "Content-Type: " + m_rootPart.GetContentType() + ";\r\n\tcharset=" + charset + "\r\n";
    if (plainText == TransferEncoding::EightBit) out += "Content-Transfer-Encoding: 8bit\r\n";
    if (plainText == TransferEncoding::QuotedPrintable) {
      out += "Content-Transfer-Encoding: quoted-printable\r\n";
    }
  } else if (!m_mime) {
    out += "Content-Type: " + m_rootPart.GetContentType() + ";\r\n\tcharset=" + charset + "\r\n";
  } else if (m_rootPart.GetNumberOfChildBodyParts() > 0) {
    out += "MIME-Version: 1.0\r\nContent-Type: " + m_rootPart.GetContentType() +
           "; boundary=\"" + m_rootPart.GetBoundary() + "\"\r\n";
  } else {
    out += "MIME-Version: 1.0\r\nContent-Type: " + m_rootPart.GetContentType() + "\r\n";
    // The root's text goes out encoded: say how.
    if (m_rootPart.GetBase64()) {
      out += "Content-Transfer-Encoding: base64\r\n";
    } else if (m_rootPart.GetQuotedPrintable()) {
      out += "Content-Transfer-Encoding: quoted-printable\r\n";
    }
  }
  if (!m_replyTo.GetEmailAddress().empty()) out += "Reply-To: " + m_replyTo.Format(charset) + "\r\n";
  out += GetDateLine();
  switch (m_priority) {
    case Low: out += "X-Priority: 5\r\n"; break;
    case Normal: out += "X-Priority: 3\r\n"; break;
    case High: out += "X-Priority: 1\r\n"; break;
    case NoPriority: break;
  }
  for (const auto& line : m_customHeaders) out += line + "\r\n";
  return out;
}

std::string CZRKSMTPMessage::GetDateLine() const {
  const std::time_t now = km7::NowSeconds();
  std::tm local{};
  {
    // The C library locks tzset inside; this lock is one the thread
    // checker sees, for two mail threads dating their messages at once.
    static std::mutex zoneMutex;
    std::lock_guard lock(zoneMutex);
    tzset();  // localtime_r alone need not notice a changed zone
    localtime_r(&now, &local);
  }
  // tm_gmtoff is local minus UTC and already holds daylight saving.
  return FormatDateLine(local, -local.tm_gmtoff / 60);
}

std::string CZRKSMTPMessage::FormatDateLine(const std::tm& local, long biasMinutes) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const char* day = local.tm_wday >= 0 && local.tm_wday < 7 ? kDays[local.tm_wday] : "Sun";
  const char* month = local.tm_mon >= 0 && local.tm_mon < 12 ? kMonths[local.tm_mon] : "Jan";
  // The sign comes from the bias itself, so zones less than an hour west
  // of UTC read "-00mm", not "+00mm".
  const long magnitude = biasMinutes < 0 ? -biasMinutes : biasMinutes;
  char zone[32];
  std::snprintf(zone, sizeof zone, "%c%.2ld%.2ld", biasMinutes > 0 ? '-' : '+',
                magnitude / 60, magnitude % 60);
  char line[128];
  std::snprintf(line, sizeof line, "Date: %s, %d %s %04d %02d:%02d:%02d %s\r\n", day,
                local.tm_mday, month, local.tm_year + 1900, local.tm_hour, local.tm_min,
                local.tm_sec, zone);
  return line;
}

void CZRKSMTPMessage::AddTextBody(std::string_view text) {
  if (!m_mime) {
    m_rootPart.SetText(text);
    return;
  }
  if (CZRKSMTPBodyPart* part = m_rootPart.FindFirstBodyPart("text/plain")) {
    part->SetText(text);
    return;
  }
  m_rootPart.SetText("This is a multi-part message in MIME format");
  m_rootPart.SetContentType("multipart/mixed");
  CZRKSMTPBodyPart part;
  part.SetCharset(m_rootPart.GetCharset());
  part.SetText(text);
  m_rootPart.AddChildBodyPart(part);
}

void CZRKSMTPMessage::AddAttachment(std::string fileName, std::string title,
                                    std::string contentType) {
  if (m_rootPart.GetNumberOfChildBodyParts() == 0) {
    // The text so far moves into a part of its own, so it stays the body
    // rather than becoming the preamble nobody reads.
    if (!m_rootPart.GetText().empty()) {
      CZRKSMTPBodyPart textPart;
      textPart.SetCharset(m_rootPart.GetCharset());
      textPart.SetText(m_rootPart.GetText());
      textPart.SetContentType(m_rootPart.GetContentType());
      textPart.SetBase64(m_rootPart.GetBase64());
      textPart.SetQuotedPrintable(m_rootPart.GetQuotedPrintable());
      m_rootPart.AddChildBodyPart(textPart);
    }
    m_rootPart.SetText("This is a multi-part message in MIME format");
    m_rootPart.SetContentType("multipart/mixed");
  }
  m_mime = true;
  CZRKSMTPBodyPart part;
  if (title.empty()) title = BaseName(fileName);
  part.SetFilename(std::move(fileName));
  part.SetTitle(std::move(title));
  part.SetContentType(std::move(contentType));
  m_rootPart.AddChildBodyPart(part);
}

int CZRKSMTPMessage::ParseAddressList(std::string_view text, CZRKSMTPAddressArray& list) {
  list.clear();
  auto take = [&list](std::string_view piece) {
    CZRKSMTPAddress address(Trim(piece));
    if (!address.GetEmailAddress().empty()) list.push_back(std::move(address));
  };
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (!quoted && (c == ',' || c == ';')) {
      take(text.substr(start, i - start));
      start = i + 1;
    }
  }
  take(text.substr(start));
  return static_cast<int>(list.size());
}

std::string CZRKSMTPMessage::FindUnsafeField() const {
  auto checkList = [](const CZRKSMTPAddressArray& list, const char* name) -> std::string {
    for (size_t i = 0; i < list.size(); ++i) {
      if (!list[i].IsSafe()) return std::string(name) + " address " + std::to_string(i + 1);
    }
    return {};
  };
  if (!m_from.IsSafe()) return "From address";
  for (auto [list, name] : {std::pair{&m_to, "To"}, {&m_cc, "Cc"}, {&m_bcc, "Bcc"}}) {
    std::string where = checkList(*list, name);
    if (!where.empty()) return where;
  }
  if (!m_replyTo.IsSafe()) return "Reply-To address";
  if (km7::smtp::HasLineBreak(m_xMailer)) return "X-Mailer";
  if (km7::smtp::HasLineBreak(m_envelopeId)) return "Envelope id";
  for (size_t i = 0; i < m_customHeaders.size(); ++i) {
    // An empty line would end the header early.
    if (m_customHeaders[i].empty() || km7::smtp::HasLineBreak(m_customHeaders[i])) {
      return "Custom header line " + std::to_string(i + 1);
    }
  }
  return m_rootPart.FindUnsafeField();
}

void CZRKSMTPMessage::Validate() const {
  std::string where = FindUnsafeField();
  if (!where.empty()) {
    throw CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_INVALID_ADDRESS, std::move(where));
  }
}
