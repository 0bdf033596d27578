#pragma once
// The codes the SMTP client raises, as the tests expect them: km7's own
// message ids and system error numbers, each in its facility.
#include <cstdint>

#include "smtp/SMTPException.h"

namespace km7::test {

constexpr uint32_t Itf(uint32_t id) { return MakeSMTPErrorCode(FACILITY_ITF, id); }
constexpr uint32_t Win32(uint32_t code) { return MakeSMTPErrorCode(FACILITY_WIN32, code); }

}  // namespace km7::test
