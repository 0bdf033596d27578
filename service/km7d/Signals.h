#pragma once
// SIGTERM, SIGINT and SIGHUP as readable events of a file descriptor, so the
// main loop waits for them beside its timers and no handler runs at a random
// point of the program. Block() must come before any thread starts: threads
// inherit the mask, so the signals reach only the descriptor.
namespace km7d {

enum class SignalEvent { None, Stop, Reload };

class Signals {
 public:
  // Blocks the three signals in the calling thread and opens the descriptor.
  // False when the descriptor cannot be opened (errno kept).
  bool Open();
  ~Signals();

  int Fd() const { return fd_; }
  // The next pending signal, without waiting; None when none is pending.
  SignalEvent Take();
  // Waits up to timeoutMs for a signal (-1: no bound).
  SignalEvent Wait(int timeoutMs);

 private:
  int fd_ = -1;
};

}  // namespace km7d
