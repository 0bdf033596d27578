#pragma once
// Support for the alarm e-mail tests: private settings, data and state
// folders for the whole program, a recorder of message boxes, and a loopback
// port that refuses connections.
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace km7::test {

// The folder the settings, key and diagnostic log folders live in.
std::string AlarmTestRoot();

// Bound on 127.0.0.1 and never listening: every connection is refused.
class RefusingPort {
 public:
  RefusingPort();
  ~RefusingPort();
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

}  // namespace km7::test
