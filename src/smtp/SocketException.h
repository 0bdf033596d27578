#pragma once
// The transport's failure: a Windows error number (see ErrorMessages.h), its
// text, and what the peer or the TLS layer said about it.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

class CWSocketException : public std::exception {
 public:
  // An error code of 0 takes the last socket error of this thread (errno,
  // mapped onto the Windows socket error numbers).
  explicit CWSocketException(uint32_t errorCode);
  // detail says what the peer answered (a proxy's status line, a SOCKS
  // reply code) or what the TLS layer reported.
  CWSocketException(uint32_t errorCode, std::string detail);

  uint32_t GetErrorCode() const { return m_errorCode; }
  const std::string& GetDetail() const { return m_detail; }

  // Writes our text for the code (cut to size - 1 bytes) and returns true; a
  // number without text gives an empty buffer and false. *helpContext is set
  // to 0 when given.
  bool GetErrorMessage(char* buffer, size_t size, unsigned* helpContext = nullptr) const;
  std::string GetErrorMessage() const;

  const char* what() const noexcept override { return m_what.c_str(); }

 private:
  uint32_t m_errorCode;
  std::string m_what;
  std::string m_detail;
};
