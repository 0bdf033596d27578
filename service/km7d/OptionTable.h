#pragma once
// The table of km7d's options: name, value, where it may be given, help text
// and how its value is checked and stored.
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "km7d/Options.h"

namespace km7d {

struct OptionSpec {
  const char* name;     // long name without "--"
  const char* argName;  // nullptr: a flag without a value
  bool inConfigFile;    // may appear in km7d.conf
  const char* help;
  // Checks the value and stores it; the reason when it is refused.
  std::optional<std::string> (*apply)(Options& options, const std::string& value);
};

std::span<const OptionSpec> OptionTable();
const OptionSpec* FindOption(std::string_view name);

}  // namespace km7d
