#include "smtp/NTLMClientAuth.h"

// TODO(smtpmime): the exchange driver is not written yet.

CNTLMClientAuth::CNTLMClientAuth() = default;
CNTLMClientAuth::~CNTLMClientAuth() = default;

int32_t CNTLMClientAuth::Authenticate(std::string_view, std::string_view) {
  return km7::ntlm::SEC_E_UNSUPPORTED_FUNCTION;
}
