#include "acquisition/Reporter.h"

#include <mutex>

namespace km7::acquisition {
namespace {
std::mutex g_mutex;
Reporter g_reporter;
}  // namespace

void SetReporter(Reporter reporter) {
  std::lock_guard lock(g_mutex);
  g_reporter = std::move(reporter);
}

void Report(const std::string& text) {
  Reporter reporter;
  {
    std::lock_guard lock(g_mutex);
    reporter = g_reporter;
  }
  if (reporter) reporter(text);
}

}  // namespace km7::acquisition
