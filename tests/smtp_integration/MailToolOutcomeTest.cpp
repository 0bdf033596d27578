// km7-mail's outcome as a script sees it: exit codes for accepted, temporary
// and permanent results, server text made safe for the terminal, the
// --verbose dialogue without credentials, prepared messages with --data, the
// proxy password from a file, and a password typed on a terminal unechoed.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "smtp/Encoding.h"
#include "smtp/support/ScriptedServer.h"

namespace km7::it {
namespace {

using km7::test::ScriptedPeer;
using km7::test::ScriptedServer;

std::string Describe(const RunResult& r) {
  return "exit " + std::to_string(r.exitCode) + (r.timedOut ? " (timed out)" : "") + "\nstderr:\n" + r.err;
}

std::vector<std::string> Args(int port, std::vector<std::string> extra = {}) {
  std::vector<std::string> argv = {Km7MailPath(), "--server", "127.0.0.1", "--port", std::to_string(port),
                                   "--timeout", "2000", "--helo", "probe.km7.test", "--from", "a@km7.test",
                                   "--to", "b@km7.test"};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return argv;
}

// A server that takes one message up to its end-of-data reply.
void UpToData(ScriptedPeer& p) {
  p.Send("220 test ESMTP\r\n");
  p.Expect("EHLO ");
  p.Send("250 test\r\n");
  p.Expect("MAIL FROM:");
  p.Send("250 ok\r\n");
  p.Expect("RCPT TO:");
  p.Send("250 ok\r\n");
  p.Expect("DATA");
  p.Send("354 go\r\n");
  p.ReadUntil("\r\n.\r\n");
}

TEST(MailToolOutcome, ExitCodesForScriptedOutcomes) {
  struct Case {
    const char* name;
    ScriptedServer::Script script;
    int exitCode;
    const char* errPart;
    bool quits;  // false: the connection is dropped without QUIT
  };
  const std::vector<Case> cases = {
      {"stall after the message was queued",
       [](ScriptedPeer& p) {
         UpToData(p);
         p.Send("250 queued as 1\r\n");
         p.Expect("QUIT");
         p.WaitClosed();  // no 221
       },
       0, "warning: the message was accepted, but ending the session failed", true},
      {"recipient deferred",
       [](ScriptedPeer& p) {
         p.Send("220 test ESMTP\r\n");
         p.Expect("EHLO ");
         p.Send("250 test\r\n");
         p.Expect("MAIL FROM:");
         p.Send("250 ok\r\n");
         p.Expect("RCPT TO:");
         p.Send("451 4.3.0 try again later\r\n");
         p.Expect("QUIT");
         p.Send("221 bye\r\n");
       },
       75, "451 4.3.0 try again later", true},
      {"message refused",
       [](ScriptedPeer& p) {
         UpToData(p);
         p.Send("554 5.7.1 spam\r\n");
         p.Expect("QUIT");
         p.Send("221 bye\r\n");
       },
       1, "554 5.7.1 spam", true},
      {"EHLO refused: HELO instead",
       [](ScriptedPeer& p) {
         p.Send("220 test SMTP\r\n");
         p.Expect("EHLO ");
         p.Send("502 command not implemented\r\n");
         p.Expect("HELO probe.km7.test\r\n");
         p.Send("250 test\r\n");
         p.Expect("MAIL FROM:");
         p.Send("250 ok\r\n");
         p.Expect("RCPT TO:");
         p.Send("250 ok\r\n");
         p.Expect("DATA");
         p.Send("354 go\r\n");
         p.ReadUntil("\r\n.\r\n");
         p.Send("250 queued\r\n");
         p.Expect("QUIT");
         p.Send("221 bye\r\n");
       },
       0, "", true},
      {"no answer to the end of data",
       [](ScriptedPeer& p) {
         UpToData(p);
         p.WaitClosed();
       },
       75, "The server did not answer within the time-out", false},
  };
  for (const Case& c : cases) {
    ScriptedServer server(c.script, 30000);
    RunResult r = RunProgram(Args(server.Port(), {"--timeout", "500", "--body", "hi"}));
    EXPECT_EQ(r.exitCode, c.exitCode) << c.name << "\n" << Describe(r);
    EXPECT_NE(r.err.find(c.errPart), std::string::npos) << c.name << "\n" << r.err;
    EXPECT_EQ(server.Finish(), "") << c.name;
    // A QUIT while the server may still read message text would become part of it.
    EXPECT_EQ(server.Received().find("QUIT") != std::string::npos, c.quits) << c.name;
  }
}

TEST(MailToolOutcome, HostileServerTextIsShownSafelyAndCut) {
  const std::string flood(600 * 1024, 'z');
  ScriptedServer server(
      [&](ScriptedPeer& p) {
        p.Send("554-\x1b]0;owned\x07\x1b[2J go away\r\n554 " + flood + "\r\n");
        p.Expect("QUIT");
        p.Send("221 bye\r\n");
      },
      30000);
  RunResult r = RunProgram(Args(server.Port(), {"--body", "hi"}));
  EXPECT_EQ(r.exitCode, 1) << Describe(r);
  EXPECT_EQ(r.err.find('\x1b'), std::string::npos);
  EXPECT_EQ(r.err.find('\x07'), std::string::npos);
  EXPECT_NE(r.err.find("554-\\x1B]0;owned\\x07\\x1B[2J go away"), std::string::npos) << r.err.substr(0, 300);
  EXPECT_NE(r.err.find("more bytes not shown]"), std::string::npos);
  EXPECT_LT(r.err.size(), 16u * 1024);
  EXPECT_EQ(server.Finish(), "");
}

class MailToolWithServer : public ::testing::Test {
 protected:
  void Start(MailServerOptions options = {}) {
    std::string why;
    ASSERT_TRUE(server_.Start(tmp_.path(), options, why)) << why;
  }
  TempDir tmp_;
  MailServer server_;
};

TEST_F(MailToolWithServer, VerbosePrintsTheDialogueWithoutCredentials) {
  const std::string password = "s3cret:pa ss";
  MailServerOptions options;
  options.users = {{"alice", password}};
  Start(options);
  WriteFile(tmp_ / "pw", password + "\n");
  RunResult r = RunProgram(Args(server_.port(), {"--auth", "plain", "--user", "alice", "--password-file",
                                                 (tmp_ / "pw").string(), "--body", "hello", "--verbose"}));
  ASSERT_EQ(r.exitCode, 0) << Describe(r);
  for (const char* part : {"< 220 ", "> EHLO probe.km7.test", "< 250-", "> AUTH PLAIN", "< 334", "> (credentials, ",
                           "< 235", "> MAIL FROM:<a@km7.test>", "> RCPT TO:<b@km7.test>", "> DATA", "< 354",
                           "> (message content, ", "< 250 OK message 1 queued", "> QUIT", "< 221"}) {
    EXPECT_NE(r.err.find(part), std::string::npos) << part << "\n" << r.err;
  }
  EXPECT_EQ(r.err.find(password), std::string::npos);
  EXPECT_EQ(r.err.find(km7::Base64Encode(std::string("\0alice\0", 7) + password, km7::BASE64_NO_LINE_BREAKS)),
            std::string::npos);
  EXPECT_EQ(r.err.find("hello"), std::string::npos);  // the content is not dialogue
}

TEST_F(MailToolWithServer, PreparedMessageFromAFileOrStandardInput) {
  Start();
  // Unix line ends, lines that need dot-stuffing, and its own header.
  const std::string prepared =
      "From: Sensor <sensor@km7.test>\nTo: ops@km7.test\nSubject: prepared\n\n"
      "first line\n.\n.leading dot\n..two dots\nlast line\n";
  const std::string expected =
      "From: Sensor <sensor@km7.test>\r\nTo: ops@km7.test\r\nSubject: prepared\r\n\r\n"
      "first line\r\n.\r\n.leading dot\r\n..two dots\r\nlast line\r\n";
  WriteFile(tmp_ / "mail.eml", prepared);
  RunResult fromFile = RunProgram(Args(server_.port(), {"--data", (tmp_ / "mail.eml").string()}));
  ASSERT_EQ(fromFile.exitCode, 0) << Describe(fromFile);
  RunResult fromInput = RunProgram(Args(server_.port(), {"--data", "-", "--from", "<>", "--verbose"}), prepared);
  ASSERT_EQ(fromInput.exitCode, 0) << Describe(fromInput);
  ASSERT_EQ(server_.MessageCount(), 2u);
  EXPECT_EQ(ReadFile(server_.spool() / "0001.eml"), expected);
  EXPECT_EQ(ReadFile(server_.spool() / "0002.eml"), expected);
  EXPECT_NE(ReadFile(server_.spool() / "0001.json").find("\"mail_from\": \"a@km7.test\""), std::string::npos);
  // The null sender, for bounces and notifications.
  EXPECT_NE(fromInput.err.find("> MAIL FROM:<>\n"), std::string::npos) << fromInput.err;
  const std::string second = ReadFile(server_.spool() / "0002.json");
  EXPECT_NE(second.find("\"mail_from\": \"<>\""), std::string::npos) << second;
}

TEST_F(MailToolWithServer, ProxyPasswordFromAFileOrInTheUrlWithAWarning) {
  Start();
  Daemon proxy;
  int proxyPort = 0;
  std::string why;
  if (!StartMicrosocks(proxy, tmp_.path(), proxyPort, "puser", "ppass", why)) GTEST_SKIP() << why;
  WriteFile(tmp_ / "proxy-pw", "ppass\n");
  std::filesystem::permissions(tmp_ / "proxy-pw", std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  const std::string host = "127.0.0.1:" + std::to_string(proxyPort);
  RunResult fromFile = RunProgram(Args(server_.port(), {"--proxy", "socks5://puser@" + host, "--proxy-password-file",
                                                        (tmp_ / "proxy-pw").string(), "--body", "x"}));
  EXPECT_EQ(fromFile.exitCode, 0) << Describe(fromFile);
  EXPECT_EQ(fromFile.err.find("warning"), std::string::npos) << fromFile.err;
  // A file other users can read still works, with a warning, as ssh warns of a key.
  std::filesystem::permissions(tmp_ / "proxy-pw", std::filesystem::perms::group_read | std::filesystem::perms::others_read,
                               std::filesystem::perm_options::add);
  RunResult readable = RunProgram(Args(server_.port(), {"--proxy", "socks5://puser@" + host, "--proxy-password-file",
                                                        (tmp_ / "proxy-pw").string(), "--body", "x"}));
  EXPECT_EQ(readable.exitCode, 0) << Describe(readable);
  EXPECT_NE(readable.err.find("can be read by other users (mode 0644); make it private with chmod 600"),
            std::string::npos)
      << readable.err;
  RunResult fromInput = RunProgram(
      Args(server_.port(), {"--proxy", "socks5://puser@" + host, "--proxy-password-file", "-", "--body", "x"}),
      "ppass\n");
  EXPECT_EQ(fromInput.exitCode, 0) << Describe(fromInput);
  RunResult inUrl = RunProgram(Args(server_.port(), {"--proxy", "socks5://puser:ppass@" + host, "--body", "x"}));
  EXPECT_EQ(inUrl.exitCode, 0) << Describe(inUrl);
  EXPECT_NE(inUrl.err.find("warning: the proxy password given in --proxy can be seen"), std::string::npos)
      << inUrl.err;
  RunResult wrong = RunProgram(
      Args(server_.port(), {"--proxy", "socks5://puser@" + host, "--proxy-password-file", "-", "--body", "x"}),
      "nope\n");
  EXPECT_NE(wrong.exitCode, 0) << Describe(wrong);
  EXPECT_EQ(server_.MessageCount(), 4u);
}

// Runs km7-mail on a pseudo-terminal, types the password when asked, and
// returns everything the terminal showed.
std::string RunOnTerminal(const std::vector<std::string>& argv, const std::string& typed, int& exitCode) {
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) return "forkpty failed";
  if (pid == 0) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  std::string shown;
  bool typedYet = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 200) > 0) {
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n <= 0) break;  // the child is gone
      shown.append(buffer, static_cast<size_t>(n));
    }
    if (!typedYet && shown.find("Password: ") != std::string::npos) {
      // Typed only once echo is off: the prompt is written before.
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const ssize_t written = write(master, typed.data(), typed.size());
      typedYet = written == static_cast<ssize_t>(typed.size());
    }
  }
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);  // our own child, by its PID
    waitpid(pid, &status, 0);
  }
  close(master);
  exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return shown;
}

TEST_F(MailToolWithServer, PasswordTypedOnATerminalIsNotEchoed) {
  const std::string password = "typed-s3cret";
  MailServerOptions options;
  options.users = {{"alice", password}};
  Start(options);
  int exitCode = -1;
  const std::string shown = RunOnTerminal(
      Args(server_.port(), {"--auth", "login", "--user", "alice", "--password-file", "-", "--body", "x"}),
      password + "\n", exitCode);
  EXPECT_EQ(exitCode, 0) << shown;
  EXPECT_NE(shown.find("Password: "), std::string::npos) << shown;
  EXPECT_EQ(shown.find(password), std::string::npos) << shown;
  EXPECT_EQ(server_.MessageCount(), 1u);
}

}  // namespace
}  // namespace km7::it
