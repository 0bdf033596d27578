#pragma once
// A scripted TCP peer for the SMTP client's tests: listens on 127.0.0.1 on a
// free port, accepts one connection in a thread of its own and runs a script
// against it. Every wait is bounded, so a client that misbehaves makes the
// script fail instead of hanging the test. Everything the client sent is kept.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace km7::test {

// Raised inside a script when the client did not do what it expected.
struct ScriptError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class ScriptedPeer {
 public:
  ScriptedPeer(int fd, int waitMs, std::string& received, std::mutex& mutex);

  // Sends bytes now (TCP_NODELAY is on, so separate sends tend to arrive as
  // separate pieces).
  void Send(std::string_view bytes);
  // Sends the pieces one by one with a short pause between them, so the
  // client sees them in separate receives.
  void SendInPieces(const std::vector<std::string>& pieces);
  // Reads through the next "\r\n"; returns the line with it.
  std::string ReadLine();
  // Reads a line and raises ScriptError unless it starts with prefix.
  std::string Expect(std::string_view prefix);
  // Reads exactly n bytes.
  std::string ReadExactly(size_t n);
  // Reads until the text read ends with terminator; returns all of it.
  std::string ReadUntil(std::string_view terminator);
  // Waits for the client to close; true when it did within the wait.
  bool WaitClosed();
  // Closes the connection from this side.
  void Close();

 private:
  // One receive into the pending buffer; false on close.
  bool Fill();

  int m_fd;
  int m_waitMs;
  std::string m_pending;
  std::string& m_received;
  std::mutex& m_mutex;
};

class ScriptedServer {
 public:
  using Script = std::function<void(ScriptedPeer&)>;

  // Starts listening and runs script in a thread on the first connection.
  // waitMs bounds each wait of the server (accept and every read).
  explicit ScriptedServer(Script script, int waitMs = 10000);
  ~ScriptedServer();
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  uint16_t Port() const { return m_port; }
  // Waits for the script to end; returns its error text ("" when it ran
  // through).
  std::string Finish();
  // All bytes the client sent (call after Finish for the complete record).
  std::string Received();

 private:
  void Run(Script script);

  int m_listen = -1;
  uint16_t m_port = 0;
  int m_waitMs;
  std::mutex m_mutex;
  std::string m_received;
  std::string m_error;
  std::thread m_thread;
  bool m_finished = false;
};

// A port on 127.0.0.1 on which nothing listens (bound, then closed).
uint16_t UnusedPort();

}  // namespace km7::test
