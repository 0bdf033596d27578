#pragma once
// The one exception type of the SMTP client. Its 32-bit code is
// 0x80000000 | (facility << 16) | code: protocol failures carry a string-table
// id in FACILITY_ITF, transport and file failures a Windows error number in
// FACILITY_WIN32, the unique-identifier service its status in FACILITY_RPC.
// An NTLM status is carried whole as its own code.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

namespace km7 {

inline constexpr uint32_t FACILITY_RPC = 1;
inline constexpr uint32_t FACILITY_ITF = 4;
inline constexpr uint32_t FACILITY_WIN32 = 7;

// 0x80000000 | (facility << 16) | low 16 bits of code.
constexpr uint32_t MakeSMTPErrorCode(uint32_t facility, uint32_t code) {
  return 0x80000000u | ((facility & 0x1fffu) << 16) | (code & 0xffffu);
}
// Bits 16 to 28 of a code.
constexpr uint32_t SMTPErrorFacility(uint32_t errorCode) {
  return (errorCode >> 16) & 0x1fffu;
}

}  // namespace km7

class CZRKSMTPException : public std::exception {
 public:
  // A complete 32-bit error code (already composed, or an NTLM status).
  explicit CZRKSMTPException(uint32_t errorCode, std::string lastResponse = {});
  // Composes the code from a facility and a 16-bit code.
  CZRKSMTPException(uint32_t facility, uint32_t code, std::string lastResponse = {});

  uint32_t GetErrorCode() const { return m_errorCode; }
  const std::string& GetLastResponse() const { return m_lastResponse; }

  // Writes the error text (cut to size - 1 bytes, always terminated when size
  // > 0) and returns true; an unknown number gives an empty buffer and false.
  // *helpContext is set to 0 when given.
  bool GetErrorMessage(char* buffer, size_t size, unsigned* helpContext = nullptr) const;
  // The same text, at most 4095 characters.
  std::string GetErrorMessage() const;

  const char* what() const noexcept override { return m_what.c_str(); }

 private:
  std::string FullMessage() const;

  uint32_t m_errorCode;
  std::string m_lastResponse;
  std::string m_what;
};
