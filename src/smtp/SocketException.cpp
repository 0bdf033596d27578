#include "smtp/SocketException.h"

#include <cerrno>
#include <cstring>

#include "smtp/ErrorMessages.h"

CWSocketException::CWSocketException(uint32_t errorCode)
    : m_errorCode(errorCode != 0 ? errorCode : km7::SocketErrorFromErrno(errno)) {
  if (const char* text = km7::SystemMessageText(m_errorCode)) m_what = text;
}

CWSocketException::CWSocketException(uint32_t errorCode, std::string detail)
    : CWSocketException(errorCode) {
  m_detail = std::move(detail);
}

bool CWSocketException::GetErrorMessage(char* buffer, size_t size, unsigned* helpContext) const {
  if (helpContext != nullptr) *helpContext = 0;
  if (buffer == nullptr || size == 0) return !m_what.empty();
  const size_t n = m_what.size() < size - 1 ? m_what.size() : size - 1;
  std::memcpy(buffer, m_what.data(), n);
  buffer[n] = '\0';
  return !m_what.empty();
}

std::string CWSocketException::GetErrorMessage() const { return m_what; }
