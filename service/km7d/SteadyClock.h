#pragma once
// Milliseconds of a clock that is never set back; only differences count.
#include <chrono>
#include <cstdint>

namespace km7d {

inline std::int64_t SteadyNowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace km7d
