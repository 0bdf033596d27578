#pragma once
// Pieces of the scripts the session tests play: the greeting, the answer to
// QUIT, and a small message with what its DATA stream carries after the
// header.
#include <cstddef>
#include <string>

#include "smtp/SMTPMessage.h"
#include "smtp/support/ScriptedServer.h"

namespace km7::test {

inline void Greet(ScriptedPeer& p, const char* helo = "HELO ") {
  p.Send("220 test.example ESMTP\r\n");
  p.Expect(helo);
  p.Send("250 test.example\r\n");
}

inline void AnswerQuit(ScriptedPeer& p) {
  p.Expect("QUIT");
  p.Send("221 bye\r\n");
}

inline CZRKSMTPMessage SimpleMessage(const std::string& body = "Hello\r\n") {
  CZRKSMTPMessage m;
  m.SetFrom(CZRKSMTPAddress("Sender", "from@example.org"));
  m.GetTo().push_back(CZRKSMTPAddress("", "to@example.org"));
  m.SetSubject("Test");
  m.AddTextBody(body);
  return m;
}

// What follows the header and its empty line in the DATA stream (the header
// itself carries the time, so it is not compared whole).
inline std::string BodyOf(const std::string& data) {
  const size_t end = data.find("\r\n\r\n");
  return end == std::string::npos ? std::string("<no header end>") : data.substr(end + 4);
}

}  // namespace km7::test
