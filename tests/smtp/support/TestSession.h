#pragma once
// The session the SMTP tests drive: a bounded time-out (so a broken exchange
// fails instead of hanging) and a fixed HELO name the scripts can expect.
#include <cstdint>

#include "smtp/SMTPConnection.h"

namespace km7::test {

struct Session : CZRKSMTPConnection {
  explicit Session(uint32_t timeoutMs = 10000) {
    SetTimeout(timeoutMs);
    SetHeloHostName("client.test");
  }
};

}  // namespace km7::test
