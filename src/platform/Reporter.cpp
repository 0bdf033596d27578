#include "platform/Reporter.h"

#include <mutex>

namespace km7 {
namespace {
std::mutex g_mutex;
Reporter g_reporter;
}  // namespace

void SetReporter(Reporter reporter) {
  std::lock_guard lock(g_mutex);
  g_reporter = std::move(reporter);
}

void Report(const std::string& text) {
  // Called outside the lock: a reporter may install another one.
  Reporter reporter;
  {
    std::lock_guard lock(g_mutex);
    reporter = g_reporter;
  }
  if (reporter) reporter(text);
}

}  // namespace km7
