// The session's side of the dialogue: sending command lines and secrets,
// reading replies within the time-out.
#include <chrono>
#include <string>

#include "platform/SecureWipe.h"
#include "smtp/Encoding.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"

using km7::FACILITY_ITF;
using km7::FACILITY_WIN32;
using km7::Wipe;

void CZRKSMTPConnection::Fail(uint32_t id) const {
  // A reply that never came is no unexpected reply.
  throw CZRKSMTPException(FACILITY_ITF, m_timedOut ? km7::IDS_NO_ANSWER : id, m_lastResponse);
}

void CZRKSMTPConnection::RaiseSocketError(const CWSocketException& e) {
  throw CZRKSMTPException(FACILITY_WIN32, e.GetErrorCode(), e.GetDetail());
}

std::string CZRKSMTPConnection::DecodedChallenge() const {
  return km7::Base64Decode(m_lastResponse.size() > 4 ? std::string_view(m_lastResponse).substr(4)
                                                     : std::string_view());
}

void CZRKSMTPConnection::SendRaw(const void* data, size_t length) {
  if (m_transcript && !m_quietSend) m_transcript(true, std::string_view(static_cast<const char*>(data), length));
  try {
    m_socket.Send(data, length);
  } catch (const CWSocketException& e) {
    SetLink(Link::Broken);
    RaiseSocketError(e);
  }
}

void CZRKSMTPConnection::SendSecret(std::string& text, std::string_view shown) {
  // A fresh buffer of the right size, so no reallocation leaves a copy behind.
  std::string line;
  line.reserve(shown.size() + text.size() + 2);
  line += shown;
  line += text;
  line += "\r\n";
  const size_t length = text.size();
  Wipe(text);
  if (m_transcript) {
    m_transcript(true, std::string(shown) + "(credentials, " + std::to_string(length) + " characters)\r\n");
  }
  m_quietSend = true;
  try {
    SendRaw(line);
  } catch (...) {
    m_quietSend = false;
    Wipe(line);
    throw;
  }
  m_quietSend = false;
  Wipe(line);
}

bool CZRKSMTPConnection::ReadReply(std::string& response) {
  km7::smtp::ReplyAssembler reply;
  reply.Append(response.data(), response.size());
  char buffer[km7::smtp::kReceiveChunk];
  // One bound for the whole reply: a server that trickles a byte at a time
  // must not hold the caller for longer than the time-out.
  const auto deadline = km7::tls::Clock::now() + std::chrono::milliseconds(m_timeoutMs);
  m_timedOut = false;
  while (!reply.Complete()) {
    bool readable = false;
    size_t received = 0;
    try {
      readable = m_socket.WaitReadableUntil(deadline) && reply.Text().size() <= km7::smtp::kMaxReplyLength;
      if (readable) received = m_socket.Receive(buffer, sizeof buffer);
    } catch (const CWSocketException& e) {
      SetLink(Link::Broken);
      RaiseSocketError(e);
    }
    if (!readable) {
      SetLink(Link::Broken);
      m_timedOut = reply.Text().size() <= km7::smtp::kMaxReplyLength;
      response = reply.Text();
      m_lastResponse = response;
      if (m_transcript) m_transcript(false, response);
      return false;
    }
    if (received == 0) {
      SetLink(Link::Broken);
      response = reply.Text();
      m_lastResponse = response;
      if (m_transcript) m_transcript(false, response);
      throw CZRKSMTPException(FACILITY_ITF, km7::IDS_GRACEFUL_DISCONNECT, m_lastResponse);
    }
    reply.Append(buffer, received);
  }
  response = reply.Text();
  m_lastResponse = response;
  m_lastResponseCode = reply.Code();
  if (m_transcript) m_transcript(false, response);
  return true;
}

bool CZRKSMTPConnection::ExpectReply(int expectedCode) {
  std::string response;
  return ReadReply(response) && m_lastResponseCode == expectedCode;
}

bool CZRKSMTPConnection::ExpectReply(int codeA, int codeB) {
  std::string response;
  return ReadReply(response) && (m_lastResponseCode == codeA || m_lastResponseCode == codeB);
}

void CZRKSMTPConnection::Command(std::string_view command, int expectedCode, uint32_t id) {
  SendRaw(command);
  if (!ExpectReply(expectedCode)) Fail(id);
}
