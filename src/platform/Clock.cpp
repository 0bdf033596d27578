#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace km7 {
namespace {
std::atomic<SleepHook> g_sleepHook{nullptr};
std::atomic<NowHook> g_nowHook{nullptr};
}  // namespace

void SleepMs(unsigned ms) {
  if (SleepHook hook = g_sleepHook.load()) {
    hook(ms);
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void SetSleepHook(SleepHook hook) { g_sleepHook.store(hook); }

std::time_t NowSeconds() {
  if (NowHook hook = g_nowHook.load()) return hook();
  return std::time(nullptr);
}

void SetNowHook(NowHook hook) { g_nowHook.store(hook); }

}  // namespace km7
