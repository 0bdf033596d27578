#include "smtp/MessageStream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Text.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPException.h"

namespace km7::smtp {
namespace {

// Attachments of this size or more cannot be sent.
constexpr uint64_t kMaxAttachmentSize = uint64_t{1} << 32;

[[noreturn]] void RaiseFileError(int err) {
  throw CZRKSMTPException(FACILITY_WIN32, SystemErrorFromErrno(err));
}

// Hands text to sink in blocks, dot-stuffed when asked.
void SendText(std::string_view text, bool dotStuffing, const Sink& sink) {
  if (!dotStuffing) {
    for (size_t at = 0; at < text.size(); at += kTextBlock) sink(text.substr(at, kTextBlock));
    return;
  }
  DotStuffer stuffer;
  std::string out;
  for (size_t at = 0; at < text.size(); at += kTextBlock) {
    out.clear();
    stuffer.Stuff(text.substr(at, kTextBlock), out);
    sink(out);
  }
}

void SendQuotedPrintable(std::string_view text, int flags, bool dotStuffing, const Sink& sink) {
  QPEncoder encoder(flags);
  DotStuffer stuffer;
  std::string encoded;
  std::string stuffed;
  auto deliver = [&] {
    if (encoded.empty()) return;
    if (dotStuffing) {
      stuffed.clear();
      stuffer.Stuff(encoded, stuffed);
      sink(stuffed);
    } else {
      sink(encoded);
    }
    encoded.clear();
  };
  for (size_t at = 0; at < text.size(); at += kTextBlock) {
    encoder.Encode(text.substr(at, kTextBlock), encoded);
    deliver();
  }
  encoder.Finish(encoded);
  deliver();
}

void SendBase64Text(std::string_view text, const Sink& sink) {
  std::string out;
  for (size_t at = 0; at < text.size(); at += kAttachmentBlock) {
    out.clear();
    Base64EncodeAppend(text.substr(at, kAttachmentBlock), 0, out);
    sink(out);
  }
}

}  // namespace

AttachmentFile::AttachmentFile(const std::string& fileName) {
  const std::string path = Cp1252ToUtf8(fileName);
  m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) RaiseFileError(errno);
  struct stat st {};
  const int statError = ::fstat(m_fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (statError != 0) {
    ::close(m_fd);
    m_fd = -1;
    RaiseFileError(statError);
  }
  m_size = static_cast<uint64_t>(st.st_size);
  if (m_size >= kMaxAttachmentSize) {
    ::close(m_fd);
    m_fd = -1;
    throw CZRKSMTPException(FACILITY_ITF, IDS_FILE_TOO_LARGE);
  }
  ::posix_fadvise(m_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
}

AttachmentFile::~AttachmentFile() {
  if (m_fd >= 0) ::close(m_fd);
}

void AttachmentFile::SendBase64(const Sink& sink) {
  if (::lseek(m_fd, 0, SEEK_SET) < 0) RaiseFileError(errno);
  std::string block(kAttachmentBlock, '\0');
  std::string encoded;
  encoded.reserve(Base64EncodedLength(kAttachmentBlock));
  for (bool end = false; !end;) {
    // Fill the whole block, so every block but the last is whole lines.
    size_t filled = 0;
    while (filled < block.size()) {
      const ssize_t n = ::read(m_fd, block.data() + filled, block.size() - filled);
      if (n < 0) {
        if (errno == EINTR) continue;
        // An unreadable file must not go out as a shorter attachment.
        RaiseFileError(errno);
      }
      if (n == 0) {
        end = true;
        break;
      }
      filled += static_cast<size_t>(n);
    }
    if (filled == 0) break;
    encoded.clear();
    Base64EncodeAppend(std::string_view(block).substr(0, filled), 0, encoded);
    sink(encoded);
  }
}

OpenedAttachments::OpenedAttachments(const CZRKSMTPBodyPart& root) { Open(root); }

void OpenedAttachments::Open(const CZRKSMTPBodyPart& part) {
  if (part.IsAttachment()) m_files.emplace_back(&part, std::make_unique<AttachmentFile>(part.GetFilename()));
  for (size_t i = 0; i < part.GetNumberOfChildBodyParts(); ++i) Open(*part.GetChildBodyPart(i));
}

AttachmentFile* OpenedAttachments::Find(const CZRKSMTPBodyPart& part) const {
  for (const auto& [owner, file] : m_files) {
    if (owner == &part) return file.get();
  }
  return nullptr;
}

void SendPartContent(const CZRKSMTPBodyPart& part, bool dotStuffing, AttachmentFile* file, const Sink& sink) {
  if (part.IsAttachment()) {
    if (file != nullptr) {
      file->SendBase64(sink);
    } else {
      AttachmentFile opened(part.GetFilename());
      opened.SendBase64(sink);
    }
    return;
  }
  if (part.GetBase64()) {
    SendBase64Text(part.GetText(), sink);
  } else if (part.GetQuotedPrintable()) {
    SendQuotedPrintable(part.GetText(), 0, dotStuffing, sink);
  } else {
    SendText(part.GetText(), dotStuffing, sink);
  }
}

void SendPartTree(const CZRKSMTPBodyPart& part, bool root, const OpenedAttachments& files, const Sink& sink) {
  if (!root) sink(part.GetHeader());
  SendPartContent(part, true, files.Find(part), sink);
  for (size_t i = 0; i < part.GetNumberOfChildBodyParts(); ++i) {
    SendPartTree(*part.GetChildBodyPart(i), false, files, sink);
  }
  if (part.GetNumberOfChildBodyParts() > 0) sink(part.GetFooter());
}

void SendMessageContent(const CZRKSMTPMessage& message, CZRKSMTPMessage::TransferEncoding plainText,
                        const OpenedAttachments& files, const Sink& sink) {
  if (message.HasPreparedContent()) {
    SendPreparedContent(message.GetPreparedContent(), sink);
    return;
  }
  sink(message.GetHeader(plainText) + "\r\n");
  if (message.IsPlain()) {
    SendPlainText(message.GetRootPart().GetText(), plainText, sink);
  } else {
    SendPartTree(message.GetRootPart(), true, files, sink);
  }
}

void SendPlainText(std::string_view text, CZRKSMTPMessage::TransferEncoding encoding, const Sink& sink) {
  if (encoding == CZRKSMTPMessage::TransferEncoding::QuotedPrintable) {
    SendQuotedPrintable(text, QP_HARD_LINE_BREAKS, true, sink);
  } else {
    SendText(text, true, sink);
  }
}

void SendPreparedContent(std::string_view content, const Sink& sink) {
  if (content.size() >= 2 && content.substr(content.size() - 2) == "\r\n") {
    content.remove_suffix(2);
  } else if (!content.empty() && (content.back() == '\n' || content.back() == '\r')) {
    content.remove_suffix(1);
  }
  DotStuffer stuffer;
  std::string lines;
  std::string out;
  bool afterCr = false;
  for (size_t at = 0; at < content.size(); at += kTextBlock) {
    lines.clear();
    for (char c : content.substr(at, kTextBlock)) {
      // "\r\n", a lone "\r" and a lone "\n" each become "\r\n".
      if (c == '\n') {
        if (!afterCr) lines += "\r\n";
      } else if (c == '\r') {
        lines += "\r\n";
      } else {
        lines += c;
      }
      afterCr = c == '\r';
    }
    out.clear();
    stuffer.Stuff(lines, out);
    sink(out);
  }
}

}  // namespace km7::smtp
