#pragma once
// A scripted server that greets, answers EHLO and then runs the
// authentication exchange a test gives it; and a session that connects to it
// with a mechanism and says how that ended.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "smtp/Encoding.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"
#include "smtp/support/ErrorCodes.h"
#include "smtp/support/ScriptedServer.h"
#include "smtp/support/TestSession.h"

namespace km7::test {

inline std::string B64(std::string_view s) { return km7::Base64Encode(s, km7::BASE64_NO_LINE_BREAKS); }
inline std::string Unb64(std::string line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return km7::Base64Decode(line);
}

// Greets, answers EHLO with ehloReply, runs auth, then answers QUIT (when
// the client sends it).
inline ScriptedServer::Script AuthServer(std::function<void(ScriptedPeer&)> auth,
                                  std::string ehloReply = "250-test\r\n250 OK\r\n") {
  return [auth = std::move(auth), ehloReply](ScriptedPeer& p) {
    p.Send("220 test ESMTP\r\n");
    p.Expect("EHLO client.test\r\n");
    p.Send(ehloReply);
    auth(p);
    p.Expect("QUIT");
    p.Send("221 bye\r\n");
  };
}

inline Failure ConnectWith(ScriptedServer& server, SMTPAuthMethod method, const std::string& user,
                    const std::string& password) {
  Session s;
  Failure f;
  try {
    s.Connect("127.0.0.1", method, user, password, server.Port());
    EXPECT_TRUE(s.IsConnected());
    s.Disconnect(true);
  } catch (const CZRKSMTPException& e) {
    f = {e.GetErrorCode(), e.GetLastResponse()};
    EXPECT_FALSE(s.IsConnected());
  }
  return f;
}


}  // namespace km7::test
