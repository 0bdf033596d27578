// Cancelling from another thread: every wait of the socket layer and the
// session ends at once when the token is raised, though the peer never
// answers and the time-out is a minute away.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "smtp/CancelToken.h"
#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"
#include "smtp/Socket.h"
#include "smtp/support/Listeners.h"
#include "smtp/support/ScriptedServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using km7::smtp::CancelToken;
using km7::smtp::SharedCancelToken;
using km7::test::FullListener;
using km7::test::ScriptedPeer;
using km7::test::ScriptedServer;
using km7::test::SilentListener;

constexpr uint32_t kMinuteMs = 60000;
// What a busy two-core machine still meets; the time-outs are a minute.
constexpr auto kBound = std::chrono::seconds(5);

// The socket error a call ended with (0: it returned).
using Attempt = std::function<uint32_t(const SharedCancelToken&)>;

Attempt Session(uint16_t port, SMTPSecurity security) {
  return [port, security](const SharedCancelToken& token) -> uint32_t {
    CZRKSMTPConnection session;
    session.SetTimeout(kMinuteMs);
    session.SetSecurity(security);
    session.SetCancelToken(token);
    try {
      session.Connect("127.0.0.1", SMTPAuthMethod::None, {}, {}, port);
    } catch (const CZRKSMTPException& e) {
      EXPECT_EQ(km7::SMTPErrorFacility(e.GetErrorCode()), km7::FACILITY_WIN32) << e.what();
      EXPECT_FALSE(session.IsConnected());
      return e.GetErrorCode() & 0xffffu;
    }
    return 0;
  };
}

struct Case {
  const char* name;
  Attempt attempt;
};

TEST(CancelTest, EveryWaitEndsAtOnceWhenTheTokenIsRaised) {
  FullListener full;
  SilentListener silent;
  ASSERT_NE(silent.Port(), 0);
  std::promise<void> release;
  ScriptedServer deaf([done = release.get_future().share()](ScriptedPeer&) {
    done.wait_for(std::chrono::seconds(60));  // reads nothing meanwhile
  });
  std::vector<Case> cases = {
      {"a greeting that never comes", Session(silent.Port(), SMTPSecurity::None)},
      {"a TLS handshake that is never answered", Session(silent.Port(), SMTPSecurity::Tls)},
      {"a send to a peer that never reads, without a send time-out",
       [&](const SharedCancelToken& token) -> uint32_t {
         CWSocket socket;
         socket.SetCancelToken(token);
         socket.Create();
         socket.Connect("127.0.0.1", deaf.Port(), kMinuteMs);
         const std::string data(64 * 1024 * 1024, 'x');
         try {
           socket.Send(data.data(), data.size());
         } catch (const CWSocketException& e) {
           return e.GetErrorCode();
         }
         return 0;
       }},
  };
  // As in the socket tests: some systems will not leave a loopback connect
  // pending.
  if (full.Full()) cases.push_back({"a connect that gets no answer", Session(full.Port(), SMTPSecurity::None)});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto token = std::make_shared<CancelToken>();
    auto result = std::async(std::launch::async, c.attempt, token);
    // Still waiting on its own: the cancel is what ends it.
    ASSERT_EQ(result.wait_for(std::chrono::milliseconds(500)), std::future_status::timeout);
    const auto cancelled = Clock::now();
    token->Cancel();
    ASSERT_EQ(result.wait_for(kBound), std::future_status::ready);
    EXPECT_EQ(result.get(), km7::WSAECANCELLED);
    EXPECT_LT(Clock::now() - cancelled, kBound);
  }
  release.set_value();
  EXPECT_EQ(deaf.Finish(), "");
}

TEST(CancelTest, ARaisedTokenStopsTheNextCallBeforeItConnects) {
  SilentListener silent;
  auto token = std::make_shared<CancelToken>();
  token->Cancel();
  token->Cancel();  // raising twice is harmless
  EXPECT_TRUE(token->Cancelled());
  const auto start = Clock::now();
  EXPECT_EQ(Session(silent.Port(), SMTPSecurity::None)(token), km7::WSAECANCELLED);
  EXPECT_LT(Clock::now() - start, kBound);
  EXPECT_NE(km7::SystemMessageText(km7::WSAECANCELLED), nullptr);
}

TEST(CancelTest, WithoutATokenRaisedAWaitRunsToItsOwnEnd) {
  SilentListener silent;
  auto token = std::make_shared<CancelToken>();
  CWSocket socket;
  socket.SetCancelToken(token);
  socket.Create();
  socket.Connect("127.0.0.1", silent.Port(), kMinuteMs);
  EXPECT_FALSE(socket.WaitReadable(200));
  EXPECT_FALSE(token->Cancelled());
}

}  // namespace
