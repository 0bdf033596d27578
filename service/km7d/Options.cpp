#include "km7d/Options.h"

#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <sstream>

#include "km7d/OptionTable.h"
#include "platform/XdgPaths.h"

namespace km7d {

namespace {

std::string_view Trim(std::string_view s) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

// Control characters would garble the messages that quote a name.
std::string Printable(std::string_view s) {
  std::string out;
  for (char c : s.substr(0, 80)) {
    const auto u = static_cast<unsigned char>(c);
    out += (u < 0x20 || u == 0x7f) ? '?' : c;
  }
  if (s.size() > 80) out += "...";
  return out;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

std::optional<OptionError> ParseCommandLine(int argc, const char* const* argv,
                                            std::vector<Setting>& out) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    std::string where = "argument '" + Printable(arg) + "'";
    if (arg == "-h") arg = "--help";
    if (arg.substr(0, 2) != "--" || arg.size() == 2)
      return OptionError{"km7d: " + where + ": not an option (see km7d --help)"};
    arg.remove_prefix(2);
    std::optional<std::string_view> inlineValue;
    if (const auto eq = arg.find('='); eq != std::string_view::npos) {
      inlineValue = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    const OptionSpec* spec = FindOption(arg);
    if (spec == nullptr)
      return OptionError{"km7d: unknown option --" + Printable(arg) + " (see km7d --help)"};
    Setting s{std::string(arg), {}, "command line"};
    if (spec->argName == nullptr) {
      if (inlineValue)
        return OptionError{"km7d: option --" + s.name + " takes no value"};
    } else if (inlineValue) {
      s.value = std::string(*inlineValue);
    } else if (i + 1 < argc) {
      s.value = argv[++i];
    } else {
      return OptionError{"km7d: option --" + s.name + " needs a value (" + spec->argName + ")"};
    }
    out.push_back(std::move(s));
  }
  return std::nullopt;
}

std::vector<OptionError> ParseConfigText(std::string_view text, const std::string& fileName,
                                         std::vector<Setting>& out) {
  std::vector<OptionError> errors;
  unsigned lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
    const std::string where = fileName + ":" + std::to_string(lineNumber);
    line = Trim(line);
    if (line.empty() || line.front() == '#') continue;
    if (line.find('\0') != std::string_view::npos) {
      errors.push_back({where + ": a NUL byte in the line"});
      continue;
    }
    const auto eq = line.find('=');
    if (eq == std::string_view::npos) {
      errors.push_back({where + ": expected \"name = value\", found \"" + Printable(line) + "\""});
      continue;
    }
    const std::string_view name = Trim(line.substr(0, eq));
    const std::string_view value = Trim(line.substr(eq + 1));
    const OptionSpec* spec = FindOption(name);
    if (spec == nullptr) {
      errors.push_back({where + ": unknown option \"" + Printable(name) + "\""});
      continue;
    }
    if (!spec->inConfigFile) {
      errors.push_back({where + ": \"" + std::string(name) +
                        "\" belongs on the command line, not in a configuration file"});
      continue;
    }
    out.push_back({std::string(name), std::string(value), where});
  }
  return errors;
}

std::optional<OptionError> ApplySettings(const std::vector<Setting>& settings, Options& options) {
  for (const Setting& s : settings) {
    const OptionSpec* spec = FindOption(s.name);
    if (spec == nullptr) return OptionError{s.where + ": unknown option \"" + Printable(s.name) + "\""};
    if (auto problem = spec->apply(options, s.value)) {
      const std::string prefix = s.where == "command line" ? "km7d: --" + s.name : s.where + ": " + s.name;
      return OptionError{prefix + ": " + *problem};
    }
  }
  return std::nullopt;
}

std::string DefaultConfigFile() {
  const std::string user = km7::ConfigHome();
  if (!user.empty()) {
    const std::string path = user + "/km7/" + kConfigName;
    if (FileExists(path)) return path;
  }
  if (FileExists(kSystemConfigFile)) return kSystemConfigFile;
  return {};
}

LoadResult LoadOptions(int argc, const char* const* argv) {
  LoadResult result;
  std::vector<Setting> commandLine;
  if (auto error = ParseCommandLine(argc, argv, commandLine)) {
    result.errors.push_back(*error);
    return result;
  }
  // --help and --version answer whatever the configuration file holds.
  Options probe;
  if (auto error = ApplySettings(commandLine, probe)) {
    result.errors.push_back(*error);
    return result;
  }
  if (probe.mode == Mode::Help || probe.mode == Mode::Version) {
    result.options = probe;
    return result;
  }
  std::string file = probe.configFile ? *probe.configFile : DefaultConfigFile();
  std::vector<Setting> settings;
  if (!file.empty()) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      result.errors.push_back({"km7d: cannot read the configuration file " + file});
      return result;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
      result.errors.push_back({"km7d: cannot read the configuration file " + file});
      return result;
    }
    result.errors = ParseConfigText(text.str(), file, settings);
    if (!result.errors.empty()) return result;
    result.configFileUsed = file;
  }
  // The command line's --sensor list replaces the file's.
  const auto isSensor = [](const Setting& s) { return s.name == "sensor"; };
  if (std::any_of(commandLine.begin(), commandLine.end(), isSensor))
    std::erase_if(settings, isSensor);
  settings.insert(settings.end(), commandLine.begin(), commandLine.end());
  if (auto error = ApplySettings(settings, result.options)) result.errors.push_back(*error);
  return result;
}

}  // namespace km7d
