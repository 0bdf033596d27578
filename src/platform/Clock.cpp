#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace km7 {
namespace {
std::atomic<SleepHook> g_sleepHook{nullptr};
std::atomic<NowHook> g_nowHook{nullptr};
std::atomic<WaitLengthHook> g_waitLengthHook{nullptr};
}  // namespace

void SleepMs(unsigned ms) {
  if (SleepHook hook = g_sleepHook.load()) {
    hook(ms);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetSleepHook(SleepHook hook) { g_sleepHook.store(hook); }

void Event::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  raised_.notify_all();
}

void Event::Clear() {
  std::lock_guard lock(mutex_);
  set_ = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

void SetWaitLengthHook(WaitLengthHook hook) { g_waitLengthHook.store(hook); }

bool Event::WaitMs(unsigned ms) {
  if (WaitLengthHook length = g_waitLengthHook.load()) {
    ms = length(ms);
  } else if (SleepHook hook = g_sleepHook.load()) {
    hook(ms);
    return IsSet();
  }
  std::unique_lock lock(mutex_);
  return raised_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_; });
}

bool Event::WaitRealMs(unsigned ms) {
  std::unique_lock lock(mutex_);
  return raised_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_; });
}

std::time_t NowSeconds() {
  if (NowHook hook = g_nowHook.load()) return hook();
  return std::time(nullptr);
}

void SetNowHook(NowHook hook) { g_nowHook.store(hook); }

}  // namespace km7
