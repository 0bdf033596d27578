#pragma once
// Wipes a working copy of a credential when it goes out of scope, on every
// path out.
#include <string>

#include "platform/SecureWipe.h"

namespace km7::smtp {

class WipeOnExit {
 public:
  explicit WipeOnExit(std::string& s) : m_s(s) {}
  ~WipeOnExit() { km7::Wipe(m_s); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  std::string& m_s;
};

}  // namespace km7::smtp
