// km7d's configuration file and option values: any text gives errors or
// settings, never a crash, and every error names the file and a line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "km7d/Options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<km7d::Setting> settings;
  const auto errors = km7d::ParseConfigText(text, "fuzz.conf", settings);
  for (const auto& e : errors) {
    if (e.message.rfind("fuzz.conf:", 0) != 0) std::abort();
  }
  km7d::Options options;
  if (auto error = km7d::ApplySettings(settings, options)) {
    if (error->message.rfind("fuzz.conf:", 0) != 0) std::abort();
  }
  return 0;
}
