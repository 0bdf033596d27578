#include "smtp/SMTPMessage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/Clock.h"
#include "platform/Text.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPException.h"

namespace {

// Header lines are folded to stay within this length.
constexpr size_t kMaxHeaderLine = 78;
// Raw subject characters in the first encoded word: "Subject: =?" + charset +
// "?Q?" + piece + "?=" fills 78 characters when no byte needs escaping.
constexpr size_t kFirstSubjectPiece = 62;
// Attachments of this size or more cannot be sent.
constexpr uint64_t kMaxAttachmentSize = uint64_t{1} << 32;

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

// CR and LF would start a new command or header line; a zero byte ends the
// text early for many servers.
bool BreaksLines(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string FormatList(const CZRKSMTPAddressArray& list) {
  std::string out;
  for (size_t i = 0; i < list.size(); ++i) {
    if (i > 0) out += ",\r\n ";
    out += list[i].Format();
  }
  return out;
}

std::string SubjectLine(std::string_view subject, std::string_view charset) {
  std::string line = "Subject: ";
  // A charset name of 61 characters or more would leave no room; one
  // character per word still ends the loop.
  auto pieceLength = [&](size_t room) {
    return room > charset.size() ? room - charset.size() : size_t{1};
  };
  size_t piece = pieceLength(kFirstSubjectPiece);
  while (subject.size() > kMaxHeaderLine) {
    line += km7::QEncode(subject.substr(0, piece), charset);
    line += "\r\n ";
    subject.remove_prefix(piece);
    piece = pieceLength(kFirstSubjectPiece - 1);
  }
  line += km7::QEncode(subject, charset);
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

[[noreturn]] void RaiseFileError(int err) {
  throw CZRKSMTPException(km7::FACILITY_WIN32, km7::SystemErrorFromErrno(err));
}

// The whole file, or an exception in FACILITY_WIN32 / 522.
std::string ReadAttachment(const std::string& fileName) {
  const std::string path = km7::Cp1252ToUtf8(fileName);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) RaiseFileError(errno);
  struct FdCloser {
    int fd;
    ~FdCloser() { ::close(fd); }
  } closer{fd};

  struct stat st {};
  if (::fstat(fd, &st) != 0) RaiseFileError(errno);
  if (S_ISDIR(st.st_mode)) RaiseFileError(EISDIR);
  if (static_cast<uint64_t>(st.st_size) >= kMaxAttachmentSize) {
    throw CZRKSMTPException(km7::FACILITY_ITF, km7::IDS_FILE_TOO_LARGE);
  }
  const auto size = static_cast<size_t>(st.st_size);
  std::string bytes(size, '\0');
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, bytes.data() + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      // An unreadable file must not go out as an empty attachment.
      RaiseFileError(errno);
    }
    if (n == 0) break;  // the file shrank meanwhile: send what it holds
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return bytes;
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

std::string CZRKSMTPAddress::Format() const {
  if (m_friendlyName.empty()) return m_emailAddress;
  return "\"" + m_friendlyName + "\" <" + m_emailAddress + ">";
}

bool CZRKSMTPAddress::IsSafe() const {
  return !BreaksLines(m_friendlyName) && !BreaksLines(m_emailAddress);
}

// ---------------------------------------------------------------------------
// CZRKSMTPBodyPart

CZRKSMTPBodyPart::CZRKSMTPBodyPart() : m_boundary(km7::MakeUniqueIdText()) {}

CZRKSMTPBodyPart::CZRKSMTPBodyPart(const CZRKSMTPBodyPart& other)
    : m_fileName(other.m_fileName),
      m_title(other.m_title),
      m_contentType(other.m_contentType),
      m_charset(other.m_charset),
      m_contentBase(other.m_contentBase),
      m_contentId(other.m_contentId),
      m_contentLocation(other.m_contentLocation),
      m_text(other.m_text),
      m_parent(other.m_parent),
      m_boundary(other.m_boundary),
      m_quotedPrintable(other.m_quotedPrintable),
      m_base64(other.m_base64) {
  for (const auto& child : other.m_children) AddChildBodyPart(*child);
}

CZRKSMTPBodyPart& CZRKSMTPBodyPart::operator=(const CZRKSMTPBodyPart& other) {
  if (this == &other) return *this;
  // Copy the source's children first: the source may be one of our own
  // descendants, which clearing would destroy.
  std::vector<std::unique_ptr<CZRKSMTPBodyPart>> children;
  children.reserve(other.m_children.size());
  for (const auto& child : other.m_children) {
    children.push_back(std::make_unique<CZRKSMTPBodyPart>(*child));
  }
  m_fileName = other.m_fileName;
  m_title = other.m_title;
  m_contentType = other.m_contentType;
  m_charset = other.m_charset;
  m_contentBase = other.m_contentBase;
  m_contentId = other.m_contentId;
  m_contentLocation = other.m_contentLocation;
  m_text = other.m_text;
  m_parent = other.m_parent;
  m_boundary = other.m_boundary;
  m_quotedPrintable = other.m_quotedPrintable;
  m_base64 = other.m_base64;
  m_children = std::move(children);
  for (auto& child : m_children) child->m_parent = this;
  return *this;
}

CZRKSMTPBodyPart::~CZRKSMTPBodyPart() {
  // Children go first, deepest first, as their parent references say.
  while (!m_children.empty()) m_children.pop_back();
}

void CZRKSMTPBodyPart::SetText(std::string_view text) {
  m_text = km7::NormaliseLineEnds(text);
  m_contentType = "text/plain";
}

size_t CZRKSMTPBodyPart::AddChildBodyPart(const CZRKSMTPBodyPart& part) {
  auto copy = std::make_unique<CZRKSMTPBodyPart>(part);
  copy->m_parent = this;
  m_children.push_back(std::move(copy));
  return m_children.size() - 1;
}

void CZRKSMTPBodyPart::RemoveChildBodyPart(size_t index) {
  if (index < m_children.size()) {
    m_children.erase(m_children.begin() + static_cast<std::ptrdiff_t>(index));
  }
}

CZRKSMTPBodyPart* CZRKSMTPBodyPart::GetChildBodyPart(size_t index) {
  return index < m_children.size() ? m_children[index].get() : nullptr;
}

const CZRKSMTPBodyPart* CZRKSMTPBodyPart::GetChildBodyPart(size_t index) const {
  return index < m_children.size() ? m_children[index].get() : nullptr;
}

CZRKSMTPBodyPart* CZRKSMTPBodyPart::FindFirstBodyPart(std::string_view contentType) {
  for (auto& child : m_children) {
    if (child->m_contentType == contentType) return child.get();
  }
  return nullptr;
}

std::string CZRKSMTPBodyPart::GetHeader() const {
  const std::string parentBoundary = m_parent ? m_parent->m_boundary : std::string();
  const bool hasChildren = !m_children.empty();
  std::string out;
  if (IsAttachment()) {
    out = "\r\n\r\n--" + parentBoundary + "\r\nContent-Type: " + m_contentType + "; name=\"" +
          m_title + "\"";
    if (hasChildren) out += "; Boundary=\"" + m_boundary + "\"";
    out += "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
           "filename=\"" + m_title + "\"\r\n";
  } else {
    out = "\r\n--" + parentBoundary + "\r\nContent-Type: " + m_contentType +
          "; charset=" + m_charset;
    if (hasChildren) out += "; Boundary=\"" + m_boundary + "\"";
    out += "\r\n";
    if (m_base64) {
      out += "Content-Transfer-Encoding: base64\r\n";
    } else if (m_quotedPrintable) {
      out += "Content-Transfer-Encoding: quoted-printable\r\n";
    }
  }
  if (!m_contentBase.empty()) out += "Content-Base: " + m_contentBase + "\r\n";
  if (!m_contentId.empty()) out += "Content-ID: " + m_contentId + "\r\n";
  if (!m_contentLocation.empty()) out += "Content-Location: " + m_contentLocation + "\r\n";
  out += "\r\n";
  return out;
}

std::string CZRKSMTPBodyPart::GetBody(bool dotStuffing) const {
  if (IsAttachment()) {
    const std::string bytes = ReadAttachment(m_fileName);
    return bytes.empty() ? std::string() : km7::Base64Encode(bytes, 0);
  }
  if (m_base64) return km7::Base64Encode(m_text, 0);
  std::string body = m_quotedPrintable ? km7::QPEncode(m_text, 0) : m_text;
  return dotStuffing ? km7::DotStuff(body) : body;
}

std::string CZRKSMTPBodyPart::GetFooter() const { return "\r\n--" + m_boundary + "--"; }

std::string CZRKSMTPBodyPart::FindUnsafeField() const {
  const std::pair<const char*, const std::string*> fields[] = {
      {"content type", &m_contentType},   {"charset", &m_charset},
      {"title", &m_title},                {"content base", &m_contentBase},
      {"content id", &m_contentId},       {"content location", &m_contentLocation},
      {"boundary", &m_boundary},
  };
  for (const auto& [name, value] : fields) {
    if (BreaksLines(*value)) return std::string("body part ") + name;
  }
  for (size_t i = 0; i < m_children.size(); ++i) {
    std::string inner = m_children[i]->FindUnsafeField();
    if (!inner.empty()) return "child " + std::to_string(i + 1) + " " + inner;
  }
  return {};
}

// ---------------------------------------------------------------------------
// CZRKSMTPMessage

CZRKSMTPMessage::CZRKSMTPMessage() = default;
CZRKSMTPMessage::~CZRKSMTPMessage() = default;

std::string CZRKSMTPMessage::GetHeader() const {
  std::string out;
  out += "From: " + m_from.Format() + "\r\n";
  out += "To: " + FormatList(m_to) + "\r\n";
  if (!m_cc.empty()) out += "Cc: " + FormatList(m_cc) + "\r\n";
  out += SubjectLine(m_subject, m_rootPart.GetCharset());
  if (!m_xMailer.empty()) out += FoldBlindly("X-Mailer: " + m_xMailer) + "\r\n";
  if (!m_mime) {
    out += "Content-Type: " + m_rootPart.GetContentType() + ";\r\n\tcharset=" +
           m_rootPart.GetCharset() + "\r\n";
  } else if (m_rootPart.GetNumberOfChildBodyParts() > 0) {
    out += "MIME-Version: 1.0\r\nContent-Type: " + m_rootPart.GetContentType() +
           "; boundary=\"" + m_rootPart.GetBoundary() + "\"\r\n";
  } else {
    out += "MIME-Version: 1.0\r\nContent-Type: " + m_rootPart.GetContentType() + "\r\n";
  }
  if (!m_replyTo.GetEmailAddress().empty()) out += "Reply-To: " + m_replyTo.Format() + "\r\n";
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
  tzset();  // localtime_r alone need not notice a changed zone
  localtime_r(&now, &local);
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
  if (BreaksLines(m_xMailer)) return "X-Mailer";
  if (BreaksLines(m_envelopeId)) return "Envelope id";
  for (size_t i = 0; i < m_customHeaders.size(); ++i) {
    // An empty line would end the header early.
    if (m_customHeaders[i].empty() || BreaksLines(m_customHeaders[i])) {
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
