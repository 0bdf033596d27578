// The message km7-mail sends, made from its options.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "MailTool.h"
#include "platform/Text.h"
#include "smtp/SMTPMessage.h"

namespace km7::mail {
namespace {

bool ValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 99;
    if (n == 99 || (n == 1 && c < 0xC2) || i + n >= s.size()) return false;
    for (size_t k = 1; k <= n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n + 1;
  }
  return true;
}

}  // namespace

std::string ChooseCharset(std::initializer_list<std::string_view> texts) {
  bool high = false;
  for (auto t : texts) {
    for (char c : t) high |= static_cast<unsigned char>(c) >= 0x80;
    if (!ValidUtf8(t)) return "iso-8859-1";
  }
  return high ? "utf-8" : "iso-8859-1";
}

bool BuildMessage(const MailOptions& o, const std::string& bodyText, CZRKSMTPMessage& m, std::string& error) {
  m.SetXMailer("km7-mail");
  const CZRKSMTPAddress from{std::string_view(o.from)};
  m.GetRootPart().SetCharset(ChooseCharset({o.subject, bodyText, from.GetFriendlyName(), o.to, o.cc}));
  m.SetFrom(from);
  if (m.GetFrom().GetEmailAddress().empty()) {
    error = "no address in --from (\"<>\" for none)";
    return false;
  }
  if (CZRKSMTPMessage::ParseAddressList(o.to, m.GetTo()) == 0) {
    error = "no address in --to";
    return false;
  }
  if (!o.cc.empty()) CZRKSMTPMessage::ParseAddressList(o.cc, m.GetCc());
  if (!o.bcc.empty()) CZRKSMTPMessage::ParseAddressList(o.bcc, m.GetBcc());
  m.SetDSNFlags(o.dsnFlags);
  if (!o.dataFile.empty()) {
    // The header and body are the prepared text's own.
    m.SetPreparedContent(bodyText);
  } else {
    m.SetSubject(o.subject);
    m.SetMime(o.mime);
    if (!bodyText.empty()) m.AddTextBody(bodyText);
  }
  for (const std::string& path : o.attachments) {
    // The library takes paths as program text (Windows-1252).
    std::string cp = km7::Utf8ToCp1252(path);
    if (km7::Cp1252ToUtf8(cp) != path) {
      error = "cannot attach \"" + path + "\": its name has characters outside Windows-1252";
      return false;
    }
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
      error = "cannot read attachment \"" + path + "\": " + std::strerror(errno);
      return false;
    }
    // A folder opens like a file but reads as nothing: it would go out as
    // an empty attachment.
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
      error = "cannot attach \"" + path + "\": not a regular file";
      return false;
    }
    // The name goes out as the terminal gave it, labelled UTF-8 when it is not ASCII.
    const std::string title = std::filesystem::path(path).filename().string();
    m.AddAttachment(cp, title);
    CZRKSMTPBodyPart& part = *m.GetRootPart().GetChildBodyPart(m.GetRootPart().GetNumberOfChildBodyParts() - 1);
    part.SetCharset(ChooseCharset({title}));
  }
  std::string unsafe = m.FindUnsafeField();
  if (!unsafe.empty()) {
    error = "line break in " + unsafe;
    return false;
  }
  return true;
}

}  // namespace km7::mail
