#include "km7d/Signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace km7d {

bool Signals::Open() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGHUP);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return false;
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  return fd_ >= 0;
}

Signals::~Signals() {
  if (fd_ >= 0) ::close(fd_);
}

SignalEvent Signals::Take() {
  signalfd_siginfo info{};
  for (;;) {
    const ssize_t n = ::read(fd_, &info, sizeof info);
    if (n == static_cast<ssize_t>(sizeof info)) break;
    if (n < 0 && errno == EINTR) continue;
    return SignalEvent::None;
  }
  return info.ssi_signo == SIGHUP ? SignalEvent::Reload : SignalEvent::Stop;
}

SignalEvent Signals::Wait(int timeoutMs) {
  pollfd p{fd_, POLLIN, 0};
  const int r = ::poll(&p, 1, timeoutMs);
  if (r <= 0) return SignalEvent::None;
  return Take();
}

}  // namespace km7d
