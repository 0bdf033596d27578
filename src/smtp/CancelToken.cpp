#include "smtp/CancelToken.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>

namespace km7::smtp {

namespace {
// Without a descriptor to wait on, a raised token is seen this late.
constexpr long long kFallbackSliceMs = 20;
}  // namespace

CancelToken::CancelToken() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelToken::~CancelToken() {
  if (fd_ >= 0) ::close(fd_);
}

void CancelToken::Cancel() {
  if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
  if (fd_ < 0) return;
  // Never read: the descriptor stays readable from now on.
  const std::uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(fd_, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

WaitResult WaitFd(int fd, short events, std::chrono::steady_clock::time_point deadline,
                  const CancelToken* token, short* revents) {
  using Clock = std::chrono::steady_clock;
  const bool bounded = deadline != Clock::time_point::max();
  for (;;) {
    if (token != nullptr && token->Cancelled()) return WaitResult::Cancelled;
    long long left = -1;
    if (bounded) {
      left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left < 0) left = 0;
    }
    const bool sliced = token != nullptr && token->Fd() < 0;
    if (sliced && (left < 0 || left > kFallbackSliceMs)) left = kFallbackSliceMs;
    pollfd p[2] = {{fd, events, 0}, {token != nullptr ? token->Fd() : -1, POLLIN, 0}};
    const int rc = ::poll(p, token != nullptr && token->Fd() >= 0 ? 2 : 1,
                          left < 0 ? -1 : static_cast<int>(std::min<long long>(left, INT_MAX)));
    if (rc < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Failed;
    }
    if (p[1].revents != 0) return WaitResult::Cancelled;
    if (p[0].revents != 0) {
      if (revents != nullptr) *revents = p[0].revents;
      return WaitResult::Ready;
    }
    // Nothing ready: the time is up, unless the wait was cut short (a slice,
    // the INT_MAX clamp).
    if (bounded && Clock::now() >= deadline) return WaitResult::TimedOut;
  }
}

}  // namespace km7::smtp
