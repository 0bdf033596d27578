// The socket layer on loopback: connect, send, receive, waits, bind, errors.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include "smtp/ErrorMessages.h"
#include "smtp/SMTPConnection.h"
#include "smtp/SMTPException.h"
#include "smtp/Socket.h"
#include "smtp/support/Listeners.h"
#include "smtp/support/ScriptedServer.h"

using km7::test::FullListener;
using km7::test::ScriptedPeer;
using km7::test::ScriptedServer;

namespace {

uint32_t CodeOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CWSocketException& e) {
    return e.GetErrorCode();
  }
  return 0;
}

constexpr uint32_t kShortTimeoutMs = 500;

using Clock = std::chrono::steady_clock;

// The call failed with code after waiting out the short time-out, and
// returned well within the generous bound a busy machine still meets.
void ExpectTimedOut(uint32_t code, uint32_t expected, Clock::duration elapsed) {
  EXPECT_EQ(code, expected);
  EXPECT_GE(elapsed, std::chrono::milliseconds(kShortTimeoutMs - 50));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
}

bool Blocking(const CWSocket& socket) { return (::fcntl(socket.GetHandle(), F_GETFL) & O_NONBLOCK) == 0; }

}  // namespace

TEST(SocketTest, ConnectSendAndReceiveOverLoopback) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("hello\r\n");
    peer.Expect("world");
  });
  CWSocket socket;
  socket.Create();
  socket.Connect("127.0.0.1", server.Port());
  char buffer[16] = {};
  size_t got = 0;
  while (got < 7) {
    ASSERT_TRUE(socket.WaitReadable(10000));
    const size_t n = socket.Receive(buffer + got, sizeof buffer - got);
    ASSERT_NE(n, 0u);
    got += n;
  }
  EXPECT_EQ(std::string(buffer, got), "hello\r\n");
  EXPECT_EQ(socket.Send("world\r\n", 7), 7u);
  EXPECT_EQ(server.Finish(), "");
}

TEST(SocketTest, ConnectByHostNameUsesTheLookup) {
  ScriptedServer server([](ScriptedPeer& peer) { peer.Expect("x"); });
  CWSocket socket;
  socket.Create();
  socket.Connect("localhost", server.Port());
  socket.Send("x\r\n", 3);
  EXPECT_EQ(server.Finish(), "");
}

TEST(SocketTest, LargeSendArrivesWhole) {
  // Far more than the socket buffers hold while the peer reads slowly: the
  // send is taken in parts, and every part must arrive in order.
  std::string data(8 * 1024 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 131) % 251);
  std::string got;
  ScriptedServer server([&got, size = data.size()](ScriptedPeer& peer) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    got = peer.ReadExactly(size);
  });
  CWSocket socket;
  socket.Create();
  socket.Connect("127.0.0.1", server.Port());
  EXPECT_EQ(socket.Send(data.data(), data.size()), data.size());
  EXPECT_EQ(server.Finish(), "");
  EXPECT_TRUE(got == data);
}

TEST(SocketTest, SendToAPeerThatNeverReadsTimesOut) {
  std::promise<void> sent;
  ScriptedServer server([done = sent.get_future().share()](ScriptedPeer&) {
    done.wait_for(std::chrono::seconds(60));  // reads nothing meanwhile
  });
  CWSocket socket;
  socket.Create();
  socket.Connect("127.0.0.1", server.Port());
  socket.SetSendTimeout(300);
  std::string data(64 * 1024 * 1024, 'x');
  EXPECT_EQ(CodeOf([&] { socket.Send(data.data(), data.size()); }), km7::ERROR_TIMEOUT);
  sent.set_value();
  socket.Close();
  EXPECT_EQ(server.Finish(), "");
}

TEST(SocketTest, WaitReadableTimesOutThenSeesDataAndClose) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Expect("go");
    peer.Send("x");
    peer.Close();
  });
  CWSocket socket;
  socket.Create();
  socket.Connect("127.0.0.1", server.Port());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(socket.WaitReadable(1500));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1450));
  socket.Send("go\r\n", 4);
  ASSERT_TRUE(socket.WaitReadable(10000));
  char c = 0;
  EXPECT_EQ(socket.Receive(&c, 1), 1u);
  EXPECT_EQ(c, 'x');
  ASSERT_TRUE(socket.WaitReadable(10000));  // the close is readable too
  EXPECT_EQ(socket.Receive(&c, 1), 0u);
  EXPECT_EQ(server.Finish(), "");
}

TEST(SocketTest, BindAndConnectFailures) {
  {
    CWSocket socket;
    socket.Create();
    EXPECT_NO_THROW(socket.Bind(0, nullptr));
  }
  {
    CWSocket socket;
    socket.Create();
    EXPECT_NO_THROW(socket.Bind(0, "127.0.0.1"));
  }
  {
    CWSocket socket;
    socket.Create();
    EXPECT_EQ(CodeOf([&] { socket.Bind(0, "no-such-host.invalid"); }), km7::WSAEINVAL);
  }
  {
    CWSocket socket;
    socket.Create();
    const uint32_t code = CodeOf([&] { socket.Connect("no-such-host.invalid", 25); });
    EXPECT_TRUE(code == km7::WSAHOST_NOT_FOUND || code == km7::WSATRY_AGAIN || code == km7::WSANO_RECOVERY)
        << code;
  }
  {
    CWSocket socket;
    socket.Create();
    EXPECT_EQ(CodeOf([&] { socket.Connect("127.0.0.1", km7::test::UnusedPort()); }), km7::WSAECONNREFUSED);
  }
}

TEST(SocketTest, ClosedSocketRaisesAndCloseNeverDoes) {
  CWSocket socket;
  EXPECT_FALSE(socket.IsOpen());
  EXPECT_EQ(socket.Close(), CWSocket::kInvalidSocket);
  EXPECT_NE(CodeOf([&] { socket.Send("x", 1); }), 0u);
  EXPECT_NE(CodeOf([&] { socket.WaitReadable(10); }), 0u);
  char c;
  EXPECT_NE(CodeOf([&] { socket.Receive(&c, 1); }), 0u);
  EXPECT_NE(CodeOf([&] { socket.Connect("127.0.0.1", 1); }), 0u);
  socket.Create(true);
  EXPECT_TRUE(socket.IsOpen());
  EXPECT_EQ(socket.Close(), 0);
  EXPECT_FALSE(socket.IsOpen());
}

TEST(SocketTest, ExceptionTextsAndLastError) {
  errno = ECONNREFUSED;
  const CWSocketException fromErrno(0);
  EXPECT_EQ(fromErrno.GetErrorCode(), km7::WSAECONNREFUSED);

  const CWSocketException timeout(km7::ERROR_TIMEOUT);
  unsigned help = 99;
  char buffer[256];
  EXPECT_TRUE(timeout.GetErrorMessage(buffer, sizeof buffer, &help));
  EXPECT_EQ(help, 0u);
  EXPECT_STRNE(buffer, "");
  char small[6];
  EXPECT_TRUE(timeout.GetErrorMessage(small, sizeof small));
  EXPECT_EQ(std::string(small), std::string(buffer).substr(0, 5));

  const CWSocketException unknown(424242);
  EXPECT_FALSE(unknown.GetErrorMessage(buffer, sizeof buffer));
  EXPECT_STREQ(buffer, "");
}

TEST(SocketTest, EveryNumberTheLayerRaisesHasAText) {
  for (uint32_t code : {km7::ERROR_TIMEOUT, km7::ERROR_GRACEFUL_DISCONNECT, km7::ERROR_BAD_NET_RESP,
                        km7::WSAECONNREFUSED, km7::ERROR_ACCESS_DENIED, km7::ERROR_INVALID_PARAMETER,
                        km7::ERROR_OUTOFMEMORY, km7::ERROR_CONNECTION_REFUSED, km7::WSAEINVAL,
                        km7::WSAHOST_NOT_FOUND, km7::WSAETIMEDOUT, km7::WSAECONNRESET, km7::WSAEHOSTUNREACH,
                        km7::WSAENETUNREACH, km7::WSAENOTSOCK}) {
    EXPECT_NE(km7::SystemMessageText(code), nullptr) << code;
  }
  // Every errno a socket call can report maps onto a number with a text.
  for (int err = 1; err < 134; ++err) {
    EXPECT_NE(km7::SystemMessageText(km7::SocketErrorFromErrno(err)), nullptr) << err;
    EXPECT_NE(km7::SystemMessageText(km7::SystemErrorFromErrno(err)), nullptr) << err;
  }
}

TEST(SocketConnectTimeoutTest, ConnectThatGetsNoAnswerTimesOut) {
  FullListener listener;
  if (!listener.Full()) GTEST_SKIP() << "could not make a loopback listener that leaves connects pending";
  CWSocket socket;
  socket.Create();
  const auto start = Clock::now();
  const uint32_t code = CodeOf([&] { socket.Connect("127.0.0.1", listener.Port(), kShortTimeoutMs); });
  ExpectTimedOut(code, km7::WSAETIMEDOUT, Clock::now() - start);
  EXPECT_NE(km7::SystemMessageText(code), nullptr);
  // Left open for the caller, and blocking again.
  EXPECT_TRUE(socket.IsOpen());
  EXPECT_TRUE(Blocking(socket));
}

TEST(SocketConnectTimeoutTest, ConnectToAProxyThatGetsNoAnswerTimesOut) {
  FullListener listener;
  if (!listener.Full()) GTEST_SKIP() << "could not make a loopback listener that leaves connects pending";
  const std::vector<std::pair<const char*, std::function<void(CWSocket&)>>> proxies = {
      {"SOCKS4",
       [&](CWSocket& s) { s.ConnectThroughSocks4("127.0.0.1", 25, "127.0.0.1", listener.Port(), kShortTimeoutMs); }},
      {"SOCKS5",
       [&](CWSocket& s) {
         s.ConnectThroughSocks5("mail.test", 25, "127.0.0.1", listener.Port(), "user", "secret", kShortTimeoutMs);
       }},
      {"HTTP",
       [&](CWSocket& s) {
         std::string reply;
         s.ConnectThroughHttpProxy("mail.test", 25, "127.0.0.1", listener.Port(), reply, nullptr, nullptr,
                                   kShortTimeoutMs, nullptr);
       }},
  };
  for (const auto& [name, connect] : proxies) {
    SCOPED_TRACE(name);
    CWSocket socket;
    socket.Create();
    const auto start = Clock::now();
    const uint32_t code = CodeOf([&] { connect(socket); });
    ExpectTimedOut(code, km7::WSAETIMEDOUT, Clock::now() - start);
    EXPECT_TRUE(socket.IsOpen());  // reaching the proxy failed: the caller closes
  }
}

TEST(SocketConnectTimeoutTest, SessionConnectIsBoundedByTheSessionTimeout) {
  FullListener listener;
  if (!listener.Full()) GTEST_SKIP() << "could not make a loopback listener that leaves connects pending";
  CZRKSMTPConnection session;
  session.SetTimeout(kShortTimeoutMs);
  uint32_t code = 0;
  const auto start = Clock::now();
  try {
    session.Connect("127.0.0.1", SMTPAuthMethod::None, {}, {}, listener.Port());
  } catch (const CZRKSMTPException& e) {
    code = e.GetErrorCode();
  }
  ExpectTimedOut(code, km7::MakeSMTPErrorCode(km7::FACILITY_WIN32, km7::WSAETIMEDOUT), Clock::now() - start);
  EXPECT_FALSE(session.IsConnected());
}

TEST(SocketConnectTimeoutTest, BoundedConnectSucceedsOrIsRefusedAndLeavesTheSocketBlocking) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Expect("ping");
    peer.Send("pong\r\n");
  });
  CWSocket socket;
  socket.Create();
  socket.Connect("127.0.0.1", server.Port(), kShortTimeoutMs);
  EXPECT_TRUE(Blocking(socket));
  socket.Send("ping\r\n", 6);
  // A blocking receive waits for the answer instead of failing with
  // EWOULDBLOCK.
  std::string got;
  char buffer[16];
  while (got.size() < 6) {
    const size_t n = socket.Receive(buffer, sizeof buffer);
    ASSERT_NE(n, 0u);
    got.append(buffer, n);
  }
  EXPECT_EQ(got, "pong\r\n");
  EXPECT_EQ(server.Finish(), "");

  CWSocket refused;
  refused.Create();
  const auto start = Clock::now();
  EXPECT_EQ(CodeOf([&] { refused.Connect("127.0.0.1", km7::test::UnusedPort(), kShortTimeoutMs); }),
            km7::WSAECONNREFUSED);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  EXPECT_TRUE(Blocking(refused));
}
