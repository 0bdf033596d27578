// The parts of a MIME message: each with its own header and body, nested
// parts inside a multipart one.
#include "smtp/SMTPMessage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/Text.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/MessageStream.h"
#include "smtp/SMTPCommands.h"
#include "smtp/SMTPException.h"
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
    out = "\r\n\r\n--" + parentBoundary + "\r\nContent-Type: " + m_contentType + "; " +
          km7::MimeParameter("name", m_title, m_charset);
    if (hasChildren) out += "; Boundary=\"" + m_boundary + "\"";
    out += "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; " +
           km7::MimeParameter("filename", m_title, m_charset) + "\r\n";
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
  std::string body;
  km7::smtp::SendPartContent(*this, dotStuffing, nullptr, [&body](std::string_view piece) { body += piece; });
  return body;
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
    if (km7::smtp::HasLineBreak(*value)) return std::string("body part ") + name;
  }
  for (size_t i = 0; i < m_children.size(); ++i) {
    std::string inner = m_children[i]->FindUnsafeField();
    if (!inner.empty()) return "child " + std::to_string(i + 1) + " " + inner;
  }
  return {};
}
