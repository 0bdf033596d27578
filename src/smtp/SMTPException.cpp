#include "smtp/SMTPException.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "smtp/ErrorMessages.h"

namespace {

// The "%1" insert of the string table, replaced everywhere it appears.
std::string ReplaceInsert(const char* text, const std::string& insert) {
  std::string out;
  for (const char* p = text; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == '1') {
      out += insert;
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

constexpr uint32_t kFacilitySecurity = 9;
constexpr size_t kMessageBufferSize = 4096;

}  // namespace

CZRKSMTPException::CZRKSMTPException(uint32_t errorCode, std::string lastResponse)
    : m_errorCode(errorCode), m_lastResponse(std::move(lastResponse)) {
  m_what = FullMessage();
}

CZRKSMTPException::CZRKSMTPException(uint32_t facility, uint32_t code, std::string lastResponse)
    : CZRKSMTPException(km7::MakeSMTPErrorCode(facility, code), std::move(lastResponse)) {}

std::string CZRKSMTPException::FullMessage() const {
  std::string text;
  const uint32_t low = m_errorCode & 0xffffu;
  if ((m_errorCode & 0x1fff0000u) == (km7::FACILITY_ITF << 16)) {
    if (const char* entry = km7::SMTPStringTableText(low)) text = ReplaceInsert(entry, m_lastResponse);
    return text;
  }
  // A security status names itself whole; its low half is no system number.
  if (km7::SMTPErrorFacility(m_errorCode) == kFacilitySecurity) {
    if (const char* entry = km7::SecurityStatusText(m_errorCode)) return entry;
  }
  if (const char* entry = km7::SystemMessageText(low)) text = entry;
  return text;
}

bool CZRKSMTPException::GetErrorMessage(char* buffer, size_t size, unsigned* helpContext) const {
  if (helpContext != nullptr) *helpContext = 0;
  const std::string& text = m_what;
  const bool isItf = (m_errorCode & 0x1fff0000u) == (km7::FACILITY_ITF << 16);
  if (buffer == nullptr || size == 0) return isItf || !text.empty();
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
  return isItf || !text.empty();
}

std::string CZRKSMTPException::GetErrorMessage() const {
  char buffer[kMessageBufferSize];
  GetErrorMessage(buffer, sizeof buffer);
  return buffer;
}
