// The NTLM CHALLENGE message comes from the network (the server's 334
// reply): its parser, the AV-pair lookup and the client's answer to it must
// take any bytes without reading outside them.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "smtp/Ntlm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  km7::ntlm::ChallengeMessage challenge;
  if (km7::ntlm::ParseChallenge(data, size, challenge)) {
    if (challenge.targetName.size() > size || challenge.targetInfo.size() > size) std::abort();
    std::string value;
    for (uint16_t id = 0; id < 8; ++id) km7::ntlm::FindAvPair(challenge.targetInfo, id, value);
  }

  // The whole exchange as the session runs it: a fixed clock and client
  // challenge keep runs repeatable.
  km7::ntlm::ClientContext context(
      "user", "DOMAIN", "password", [] { return uint64_t{132000000000000000}; },
      [](km7::ntlm::Challenge8& c) { c.fill(0x11); });
  uint8_t out[16384];
  size_t outLength = 0;
  bool done = false;
  if (context.Step(nullptr, 0, out, sizeof out, outLength, done) < 0 || done) std::abort();
  const int32_t status = context.Step(data, size, out, sizeof out, outLength, done);
  if (status >= 0 && (!done || outLength == 0 || outLength > sizeof out)) std::abort();
  if (status < 0 && done) std::abort();
  return 0;
}
