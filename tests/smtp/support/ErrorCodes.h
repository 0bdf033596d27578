#pragma once
// The codes the SMTP client raises, as the tests expect them: km7's own
// message ids and system error numbers, each in its facility; and what a
// call raised, caught.
#include <cstdint>
#include <string>

#include "smtp/SMTPException.h"

namespace km7::test {

constexpr uint32_t Itf(uint32_t id) { return MakeSMTPErrorCode(FACILITY_ITF, id); }
constexpr uint32_t Win32(uint32_t code) { return MakeSMTPErrorCode(FACILITY_WIN32, code); }

// What a call raised; code 0 when it raised nothing.
struct Failure {
  uint32_t code = 0;
  std::string lastResponse;
};

template <typename F>
Failure Catch(F&& action) {
  try {
    action();
  } catch (const CZRKSMTPException& e) {
    return {e.GetErrorCode(), e.GetLastResponse()};
  }
  return {};
}

}  // namespace km7::test
