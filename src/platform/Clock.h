#pragma once
// The one seam for the program's fixed waits and its wall clock. The program
// always waits the real times; tests install a hook to shorten or record them.
#include <condition_variable>
#include <ctime>
#include <mutex>

namespace km7 {

// Waits ms milliseconds (through the hook when one is set). Thread-safe.
void SleepMs(unsigned ms);
using SleepHook = void (*)(unsigned ms);
// nullptr restores real sleeping.
void SetSleepHook(SleepHook hook);

// A flag that one thread raises and others wait for, each wait bounded. The
// program's upper-bound waits (a thread ending, a first reading, a pause that
// stopping cuts short) end as soon as it is raised. With a sleep hook set the
// hook stands in for the wait, as for SleepMs, so tests still see and shorten
// every such wait; the answer is then whether the flag is up afterwards. A
// wait-length hook wins over the sleep hook: the wait stays a real one that
// the flag ends, only of the length the hook gives.
class Event {
 public:
  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();    // raises the flag and wakes every waiter
  void Clear();  // lowers it for the next round
  bool IsSet() const;
  // Waits until the flag is up, at most ms milliseconds. True when it is up.
  bool WaitMs(unsigned ms);
  // The same wait in real time whatever hook is set, for a bound that must
  // hold (how long a stuck thread is waited for).
  bool WaitRealMs(unsigned ms);

 private:
  mutable std::mutex mutex_;
  std::condition_variable raised_;
  bool set_ = false;
};

// How long an Event wait of ms milliseconds really waits at most (tests
// stretch or shrink it). nullptr: as asked.
using WaitLengthHook = unsigned (*)(unsigned ms);
void SetWaitLengthHook(WaitLengthHook hook);

// Wall-clock seconds since the epoch (through the hook when one is set).
std::time_t NowSeconds();
using NowHook = std::time_t (*)();
void SetNowHook(NowHook hook);

}  // namespace km7
