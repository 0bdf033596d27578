#pragma once
// The mail message: addresses, header, and a body that is plain text or a
// tree of MIME parts with quoted-printable or Base64 content and attachments.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class CZRKSMTPAddress {
 public:
  CZRKSMTPAddress() = default;
  // Both stored unchanged.
  CZRKSMTPAddress(std::string friendlyName, std::string emailAddress);
  // Parses "Name <addr>", "addr (Name)" or a bare address; surrounding white
  // space and the double quotes of a quoted name are removed.
  explicit CZRKSMTPAddress(std::string_view text);

  const std::string& GetFriendlyName() const { return m_friendlyName; }
  const std::string& GetEmailAddress() const { return m_emailAddress; }
  void SetFriendlyName(std::string name) { m_friendlyName = std::move(name); }
  void SetEmailAddress(std::string address) { m_emailAddress = std::move(address); }

  // Header form: "\"Name\" <addr>" (a quote or backslash in the name
  // escaped), or the bare address without a name. A name with bytes above
  // 127 becomes encoded words in charset instead of the quoted text.
  std::string Format(std::string_view charset = "iso-8859-1") const;

  // True when neither text holds CR, LF or a zero byte, which would let the
  // text inject SMTP commands or header lines.
  bool IsSafe() const;

  bool operator==(const CZRKSMTPAddress&) const = default;

 private:
  std::string m_friendlyName;
  std::string m_emailAddress;
};

using CZRKSMTPAddressArray = std::vector<CZRKSMTPAddress>;

class CZRKSMTPBodyPart {
 public:
  // Gets a fresh unique boundary; raises CZRKSMTPException (FACILITY_RPC)
  // when none can be made.
  CZRKSMTPBodyPart();
  // Copies every field, boundary and parent included; children are copied
  // deeply and re-parented to the copy.
  CZRKSMTPBodyPart(const CZRKSMTPBodyPart& other);
  CZRKSMTPBodyPart& operator=(const CZRKSMTPBodyPart& other);
  virtual ~CZRKSMTPBodyPart();

  // Stores the text with every line end made "\r\n"; content type text/plain.
  void SetText(std::string_view text);
  const std::string& GetText() const { return m_text; }

  // A non-empty file name makes the part an attachment (path in Windows-1252).
  void SetFilename(std::string fileName) { m_fileName = std::move(fileName); }
  const std::string& GetFilename() const { return m_fileName; }
  void SetTitle(std::string title) { m_title = std::move(title); }
  const std::string& GetTitle() const { return m_title; }
  void SetContentType(std::string type) { m_contentType = std::move(type); }
  const std::string& GetContentType() const { return m_contentType; }
  void SetCharset(std::string charset) { m_charset = std::move(charset); }
  const std::string& GetCharset() const { return m_charset; }
  void SetContentBase(std::string base) { m_contentBase = std::move(base); }
  const std::string& GetContentBase() const { return m_contentBase; }
  void SetContentID(std::string id) { m_contentId = std::move(id); }
  const std::string& GetContentID() const { return m_contentId; }
  void SetContentLocation(std::string location) { m_contentLocation = std::move(location); }
  const std::string& GetContentLocation() const { return m_contentLocation; }
  void SetBoundary(std::string boundary) { m_boundary = std::move(boundary); }
  const std::string& GetBoundary() const { return m_boundary; }
  void SetQuotedPrintable(bool on) { m_quotedPrintable = on; }
  bool GetQuotedPrintable() const { return m_quotedPrintable; }
  // Takes precedence over quoted-printable.
  void SetBase64(bool on) { m_base64 = on; }
  bool GetBase64() const { return m_base64; }

  bool IsAttachment() const { return !m_fileName.empty(); }

  // Appends a copy of part with this part as its parent; returns its index.
  size_t AddChildBodyPart(const CZRKSMTPBodyPart& part);
  void RemoveChildBodyPart(size_t index);
  size_t GetNumberOfChildBodyParts() const { return m_children.size(); }
  CZRKSMTPBodyPart* GetChildBodyPart(size_t index);
  const CZRKSMTPBodyPart* GetChildBodyPart(size_t index) const;
  CZRKSMTPBodyPart* GetParentBodyPart() const { return m_parent; }
  // First direct child whose content type matches exactly; nullptr if none.
  CZRKSMTPBodyPart* FindFirstBodyPart(std::string_view contentType);

  // The three texts transmitted for a part.
  std::string GetHeader() const;
  // Attachment files raise CZRKSMTPException: FACILITY_WIN32 with the system
  // error when they cannot be opened or read, 522 at 4 GiB or more.
  std::string GetBody(bool dotStuffing) const;
  std::string GetFooter() const;

  // Empty when no header field of this part or its children holds CR, LF or
  // a zero byte; otherwise names the first field that does.
  std::string FindUnsafeField() const;

 private:
  std::string m_fileName;
  std::string m_title;
  std::string m_contentType = "text/plain";
  std::string m_charset = "iso-8859-1";
  std::string m_contentBase;
  std::string m_contentId;
  std::string m_contentLocation;
  std::string m_text;
  std::vector<std::unique_ptr<CZRKSMTPBodyPart>> m_children;
  CZRKSMTPBodyPart* m_parent = nullptr;
  std::string m_boundary;
  bool m_quotedPrintable = true;
  bool m_base64 = false;
};

class CZRKSMTPMessage {
 public:
  enum SMTPPriority : int32_t { NoPriority = 0, Low = 1, Normal = 2, High = 3 };

  // How the text of a plain (not MIME) message travels.
  enum class TransferEncoding {
    SevenBit,         // as it is, with no MIME lines: 7-bit, lines of at most 998 bytes
    EightBit,         // as it is, "8bit", for a server that offers 8BITMIME
    QuotedPrintable,  // everything else
  };

  // DSN flag bits.
  static constexpr int32_t DSN_NONE = -1;
  static constexpr int32_t DSN_SUCCESS = 1;
  static constexpr int32_t DSN_FAILURE = 2;
  static constexpr int32_t DSN_DELAY = 4;

  CZRKSMTPMessage();
  CZRKSMTPMessage(const CZRKSMTPMessage&) = default;
  CZRKSMTPMessage& operator=(const CZRKSMTPMessage&) = default;
  virtual ~CZRKSMTPMessage();

  // Header text, every line ending in "\r\n" (the session adds the empty line),
  // for a server without 8BITMIME.
  virtual std::string GetHeader() const;
  // The header for the given travel of a plain message's text (ignored for
  // MIME messages): any but SevenBit adds MIME-Version and the encoding.
  std::string GetHeader(TransferEncoding plainText) const;
  // True when the text goes out as the root part's text rather than as a
  // tree of MIME parts.
  bool IsPlain() const;
  // The travel of a plain message's text: SevenBit when it is 7-bit with
  // lines of at most 998 bytes (the limits of SMTP without extensions),
  // EightBit when only its bytes above 127 stand in the way and the server
  // offers 8BITMIME, else QuotedPrintable.
  TransferEncoding PlainTextEncoding(bool serverOffers8BitMime) const;
  // True when the server must be told the content is 8-bit (BODY=8BITMIME).
  bool NeedsEightBitBody(TransferEncoding plainText) const;
  // "Date: Mon, 7 Dec 2026 21:04:05 +0100\r\n" in local time.
  virtual std::string GetDateLine() const;
  // The date line for a broken-down local time and a bias in minutes
  // (UTC minus local time).
  static std::string FormatDateLine(const std::tm& local, long biasMinutes);

  // Plain messages: the root's text. MIME messages: the first text/plain
  // child, made (with a multipart/mixed root) when there is none.
  void AddTextBody(std::string_view text);

  // Empties list, then appends every address of text (separated by "," or
  // ";" outside double quotes; pieces without an address are dropped).
  // Returns the number of addresses in list.
  static int ParseAddressList(std::string_view text, CZRKSMTPAddressArray& list);

  // Refusal of header and command injection, called by the session before
  // it sends anything: empty when no address, friendly name, X-Mailer,
  // custom header line, envelope id or body-part header field holds CR, LF
  // or a zero byte, and no custom header line is empty (it would end the
  // header early); otherwise a short description of the first offender
  // ("To address 2"; the subject is never one: it is always encoded).
  std::string FindUnsafeField() const;
  // Raises CZRKSMTPException 561 (FACILITY_ITF, IDS_INVALID_ADDRESS) with
  // that description as the last response when FindUnsafeField is not empty.
  void Validate() const;

  CZRKSMTPAddressArray& GetTo() { return m_to; }
  const CZRKSMTPAddressArray& GetTo() const { return m_to; }
  CZRKSMTPAddressArray& GetCc() { return m_cc; }
  const CZRKSMTPAddressArray& GetCc() const { return m_cc; }
  // Bcc receive RCPT TO but never appear in the header.
  CZRKSMTPAddressArray& GetBcc() { return m_bcc; }
  const CZRKSMTPAddressArray& GetBcc() const { return m_bcc; }

  void SetFrom(CZRKSMTPAddress from) { m_from = std::move(from); }
  const CZRKSMTPAddress& GetFrom() const { return m_from; }
  void SetReplyTo(CZRKSMTPAddress replyTo) { m_replyTo = std::move(replyTo); }
  const CZRKSMTPAddress& GetReplyTo() const { return m_replyTo; }
  void SetSubject(std::string subject) { m_subject = std::move(subject); }
  const std::string& GetSubject() const { return m_subject; }
  void SetXMailer(std::string xMailer) { m_xMailer = std::move(xMailer); }
  const std::string& GetXMailer() const { return m_xMailer; }
  void SetPriority(SMTPPriority priority) { m_priority = priority; }
  SMTPPriority GetPriority() const { return m_priority; }
  void SetDSNReturnFull(bool full) { m_dsnReturnFull = full; }
  bool GetDSNReturnFull() const { return m_dsnReturnFull; }
  void SetDSNFlags(int32_t flags) { m_dsnFlags = flags; }
  int32_t GetDSNFlags() const { return m_dsnFlags; }
  void SetEnvelopeId(std::string id) { m_envelopeId = std::move(id); }
  const std::string& GetEnvelopeId() const { return m_envelopeId; }
  // Each line without its "\r\n".
  void AddCustomHeader(std::string line) { m_customHeaders.push_back(std::move(line)); }
  std::vector<std::string>& GetCustomHeaders() { return m_customHeaders; }
  const std::vector<std::string>& GetCustomHeaders() const { return m_customHeaders; }
  void SetMime(bool mime) { m_mime = mime; }
  bool GetMime() const { return m_mime; }

  // A message prepared elsewhere (header and body, RFC 5322): sent as it is
  // instead of the header and body built from the fields, with its line
  // ends made "\r\n" and dot-stuffed. The envelope still comes from From,
  // To, Cc and Bcc.
  void SetPreparedContent(std::string content) { m_prepared = std::move(content); m_hasPrepared = true; }
  bool HasPreparedContent() const { return m_hasPrepared; }
  const std::string& GetPreparedContent() const { return m_prepared; }

  CZRKSMTPBodyPart& GetRootPart() { return m_rootPart; }
  const CZRKSMTPBodyPart& GetRootPart() const { return m_rootPart; }

  // Appends an attachment part for a file; title defaults to the file's
  // base name; makes the message MIME with a multipart/mixed root.
  void AddAttachment(std::string fileName, std::string title = {},
                     std::string contentType = "application/octet-stream");

 private:
  CZRKSMTPAddressArray m_to;
  CZRKSMTPAddressArray m_cc;
  CZRKSMTPAddressArray m_bcc;
  CZRKSMTPAddress m_from;
  std::string m_subject;
  std::string m_xMailer = "CZRKSMTPConnection v2.82";
  CZRKSMTPAddress m_replyTo;
  CZRKSMTPBodyPart m_rootPart;
  SMTPPriority m_priority = NoPriority;
  bool m_dsnReturnFull = false;
  int32_t m_dsnFlags = DSN_NONE;
  std::string m_envelopeId;
  std::vector<std::string> m_customHeaders;
  bool m_mime = false;
  std::string m_prepared;
  bool m_hasPrepared = false;
};
