#pragma once
// A message's content sent in blocks: attachments are read and encoded one
// block at a time and long texts are encoded and dot-stuffed piece by piece,
// so that no message is ever held whole in its encoded form.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "smtp/SMTPMessage.h"

namespace km7::smtp {

// Attachment bytes read at a time: whole Base64 lines (57 bytes each), so
// the blocks' encodings join into the encoding of the whole file.
inline constexpr size_t kAttachmentBlock = 57 * 4096;
// Text bytes encoded at a time.
inline constexpr size_t kTextBlock = 64 * 1024;

// Receives the content block by block.
using Sink = std::function<void(std::string_view)>;

// An attachment's file, opened and sized, ready to be sent.
class AttachmentFile {
 public:
  // Raises CZRKSMTPException: FACILITY_WIN32 with the system error when the
  // file cannot be opened or is a folder, 522 at 4 GiB or more.
  explicit AttachmentFile(const std::string& fileName);
  ~AttachmentFile();
  AttachmentFile(const AttachmentFile&) = delete;
  AttachmentFile& operator=(const AttachmentFile&) = delete;

  uint64_t Size() const { return m_size; }
  // The file's Base64 encoding (with line breaks), block by block; nothing
  // for an empty file. A read error raises FACILITY_WIN32; a file that
  // shrank meanwhile gives what it still holds.
  void SendBase64(const Sink& sink);

 private:
  int m_fd = -1;
  uint64_t m_size = 0;
};

// Every attachment of a part tree, opened before anything of the message is
// sent, so a file that cannot be read fails the message early.
class OpenedAttachments {
 public:
  OpenedAttachments() = default;
  explicit OpenedAttachments(const CZRKSMTPBodyPart& root);
  // The opened file of an attachment part of the tree; nullptr otherwise.
  AttachmentFile* Find(const CZRKSMTPBodyPart& part) const;

 private:
  void Open(const CZRKSMTPBodyPart& part);
  std::vector<std::pair<const CZRKSMTPBodyPart*, std::unique_ptr<AttachmentFile>>> m_files;
};

// A part's content as GetBody gives it. An attachment is read from file,
// or opened now when file is null.
void SendPartContent(const CZRKSMTPBodyPart& part, bool dotStuffing, AttachmentFile* file, const Sink& sink);

// A part, its children and its footer as the session transmits them: the
// header unless the part is the root, the content dot-stuffed, each child,
// and the footer when there are children.
void SendPartTree(const CZRKSMTPBodyPart& part, bool root, const OpenedAttachments& files, const Sink& sink);

// Everything between DATA and the end-of-data mark, dot-stuffed: the
// header, the empty line and the body, or the prepared content. plainText
// is the travel of a plain message's text.
void SendMessageContent(const CZRKSMTPMessage& message, CZRKSMTPMessage::TransferEncoding plainText,
                        const OpenedAttachments& files, const Sink& sink);

// A plain message's text in the chosen travel form, dot-stuffed.
void SendPlainText(std::string_view text, CZRKSMTPMessage::TransferEncoding encoding, const Sink& sink);

// A prepared message: every line end made "\r\n" and dot-stuffed, with one
// final line end left off, since the end-of-data mark starts with its own.
void SendPreparedContent(std::string_view content, const Sink& sink);

}  // namespace km7::smtp
