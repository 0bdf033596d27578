// One message over an open session: envelope, DATA, content, end of data.
#include <string>

#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/MessageStream.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPMessage.h"

bool CZRKSMTPConnection::ServerOffers(std::string_view keyword) const {
  return km7::smtp::OffersExtension(m_ehloReply, keyword);
}

std::string CZRKSMTPConnection::FormMailFromCommand(CZRKSMTPMessage& message, int32_t dsnFlags,
                                                    bool eightBitBody) {
  if (dsnFlags != CZRKSMTPMessage::DSN_NONE && message.GetEnvelopeId().empty()) {
    message.SetEnvelopeId(km7::MakeEnvelopeId());
  }
  return km7::smtp::MailFromCommand(message.GetFrom().GetEmailAddress(), dsnFlags, message.GetDSNReturnFull(),
                                    message.GetEnvelopeId(), eightBitBody);
}

void CZRKSMTPConnection::SendRCPTForRecipient(int32_t dsnFlags, const std::string& emailAddress) {
  SendRaw(km7::smtp::RcptToCommand(emailAddress, dsnFlags));
  if (!ExpectReply(250, 251)) Fail(km7::IDS_UNEXPECTED_RCPT_TO_RESPONSE);
}

void CZRKSMTPConnection::SendBodyPart(const CZRKSMTPBodyPart& part, bool root) {
  const km7::smtp::OpenedAttachments none;
  km7::smtp::SendPartTree(part, root, m_attachments != nullptr ? *m_attachments : none,
                          [this](std::string_view piece) { SendContent(piece); });
}

void CZRKSMTPConnection::SendContent(std::string_view piece) {
  m_contentBytes += piece.size();
  SendRaw(piece);
}

void CZRKSMTPConnection::Abandon() { SetLink(Link::Closed); }

void CZRKSMTPConnection::SendMessage(CZRKSMTPMessage& message) {
  // Refuse before anything is sent: a line break inside an envelope address
  // would start a command of its own.
  message.Validate();

  // An attachment that cannot be read fails the message before the server
  // hears of it.
  const km7::smtp::OpenedAttachments files =
      message.HasPreparedContent() ? km7::smtp::OpenedAttachments() : km7::smtp::OpenedAttachments(message.GetRootPart());
  // Servers refuse parameters of extensions they do not offer.
  const bool offers8Bit = ServerOffers("8BITMIME");
  const auto travel = message.PlainTextEncoding(offers8Bit);
  const bool eightBit = offers8Bit && message.NeedsEightBitBody(travel);
  const int32_t flags = ServerOffers("DSN") ? message.GetDSNFlags() : CZRKSMTPMessage::DSN_NONE;

  SendRaw(FormMailFromCommand(message, flags, eightBit));
  if (!ExpectReply(250)) Fail(km7::IDS_UNEXPECTED_MAIL_FROM_RESPONSE);

  m_refusedRecipients.clear();
  bool first = true;
  for (const CZRKSMTPAddressArray* list : {&message.GetTo(), &message.GetCc(), &message.GetBcc()}) {
    for (const CZRKSMTPAddress& address : *list) {
      if (first || !m_optionalRecipients) {
        SendRCPTForRecipient(flags, address.GetEmailAddress());
        first = false;
        continue;
      }
      SendRaw(km7::smtp::RcptToCommand(address.GetEmailAddress(), flags));
      std::string reply;
      if (!ReadReply(reply)) Fail(km7::IDS_UNEXPECTED_RCPT_TO_RESPONSE);
      if (m_lastResponseCode != 250 && m_lastResponseCode != 251)
        m_refusedRecipients.push_back({address.GetEmailAddress(), m_lastResponse});
    }
  }

  Command("DATA\r\n", 354, km7::IDS_UNEXPECTED_DATA_RESPONSE);

  // From here until the end-of-data mark every byte is message text: after
  // a failure nothing more may be sent, not even QUIT.
  try {
    // The content is no dialogue: the transcript gets its size.
    m_quietSend = true;
    m_contentBytes = 0;
    auto send = [this](std::string_view piece) { SendContent(piece); };
    if (message.HasPreparedContent()) {
      km7::smtp::SendPreparedContent(message.GetPreparedContent(), send);
    } else {
      send(message.GetHeader(travel) + "\r\n");
      if (message.IsPlain()) {
        km7::smtp::SendPlainText(message.GetRootPart().GetText(), travel, send);
      } else {
        m_attachments = &files;
        SendBodyPart(message.GetRootPart(), true);
        m_attachments = nullptr;
      }
    }
    m_quietSend = false;
    if (m_transcript) m_transcript(true, "(message content, " + std::to_string(m_contentBytes) + " bytes)\r\n");
    SendRaw("\r\n.\r\n");
  } catch (...) {
    m_quietSend = false;
    m_attachments = nullptr;
    Abandon();
    throw;
  }

  // A server that does not answer the end of data may still be reading it.
  bool answered = false;
  try {
    std::string reply;
    answered = ReadReply(reply);
  } catch (...) {
    Abandon();
    throw;
  }
  if (!answered) {
    Abandon();
    Fail(km7::IDS_UNEXPECTED_END_OF_MESSAGE_RESPONSE);
  }
  if (m_lastResponseCode != 250) Fail(km7::IDS_UNEXPECTED_END_OF_MESSAGE_RESPONSE);
}
