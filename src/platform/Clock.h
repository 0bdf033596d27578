#pragma once
// The one seam for the program's fixed waits and its wall clock. The program
// always waits the real times; tests install a hook to shorten or record them.
#include <ctime>

namespace km7 {

// Waits ms milliseconds (through the hook when one is set). Thread-safe.
void SleepMs(unsigned ms);
using SleepHook = void (*)(unsigned ms);
// nullptr restores real sleeping.
void SetSleepHook(SleepHook hook);

// Wall-clock seconds since the epoch (through the hook when one is set).
std::time_t NowSeconds();
using NowHook = std::time_t (*)();
void SetNowHook(NowHook hook);

}  // namespace km7
