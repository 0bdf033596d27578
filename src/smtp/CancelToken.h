#pragma once
// Ends the SMTP client's waits from another thread at once. Every poll of
// the socket layer (connect, send, receive, TLS handshake) also waits on the
// token's descriptor, and a lookup checks it while it waits: once the token
// is raised the wait ends with WSAECANCELLED, whatever the time-out says.
// A token is raised once, for good; one token may serve several sockets.
#include <atomic>
#include <chrono>
#include <memory>

namespace km7::smtp {

class CancelToken {
 public:
  CancelToken();
  ~CancelToken();
  CancelToken(const CancelToken&) = delete;
  CancelToken& operator=(const CancelToken&) = delete;

  // Any thread, any number of times; never blocks.
  void Cancel();
  bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }
  // Readable once the token is raised; -1 when no descriptor could be made
  // (waits then look at Cancelled() every few milliseconds).
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::atomic<bool> cancelled_{false};
};

using SharedCancelToken = std::shared_ptr<const CancelToken>;

enum class WaitResult { Ready, TimedOut, Cancelled, Failed };

// Waits until fd is ready for events (or reports an error or a close), the
// deadline passes (time_point::max(): no bound) or the token is raised.
// Failed leaves errno set. revents receives what fd reported.
WaitResult WaitFd(int fd, short events, std::chrono::steady_clock::time_point deadline,
                  const CancelToken* token, short* revents = nullptr);

}  // namespace km7::smtp
