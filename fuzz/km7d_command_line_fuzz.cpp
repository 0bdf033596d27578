// km7d's command line: the input, cut at NUL bytes, is argv. Any arguments
// give settings or one error naming an argument, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "km7d/Options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args{"km7d"};
  for (std::size_t from = 0; from <= text.size() && args.size() < 64;) {
    const std::size_t nul = text.find('\0', from);
    args.emplace_back(text.substr(from, nul == std::string_view::npos ? std::string_view::npos : nul - from));
    if (nul == std::string_view::npos) break;
    from = nul + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  std::vector<km7d::Setting> settings;
  if (auto error = km7d::ParseCommandLine(static_cast<int>(args.size()), argv.data(), settings)) {
    if (error->message.empty()) std::abort();
    return 0;
  }
  km7d::Options options;
  if (auto error = km7d::ApplySettings(settings, options)) {
    if (error->message.empty()) std::abort();
  }
  return 0;
}
