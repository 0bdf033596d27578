#include "settings/ProblemReporter.h"

#include <mutex>

namespace km7::settings {
namespace {
std::mutex g_mutex;
ProblemReporter g_reporter;
}  // namespace

void SetProblemReporter(ProblemReporter reporter) {
  std::lock_guard lock(g_mutex);
  g_reporter = std::move(reporter);
}

void ReportProblem(const std::string& text) {
  ProblemReporter reporter;
  {
    std::lock_guard lock(g_mutex);
    reporter = g_reporter;
  }
  if (reporter) reporter(text);
}

}  // namespace km7::settings
