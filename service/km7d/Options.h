#pragma once
// km7d's own options: one table of them, read from the command line and from
// the configuration file in the same way. A value of the configuration file
// is overridden by the same option on the command line; --sensor given on the
// command line replaces the configuration file's list.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "metrics/ListenAddress.h"
#include "mqtt/MqttUrl.h"

namespace km7d {

inline constexpr char kMetricsOff[] = "off";
inline constexpr char kDefaultMqttPrefix[] = "km7";
inline constexpr char kDefaultMqttDiscoveryPrefix[] = "homeassistant";
inline constexpr unsigned kDefaultDevicePollSeconds = 5;
inline constexpr unsigned kDefaultOnceTimeoutSeconds = 10;
// The configuration file's name in the folders searched for it.
inline constexpr char kConfigName[] = "km7d.conf";
inline constexpr char kSystemConfigFile[] = "/etc/km7/km7d.conf";

enum class Mode { Run, List, Once, Help, Version };

struct Options {
  Mode mode = Mode::Run;
  std::optional<std::string> configFile;  // --config, as given
  std::vector<std::string> sensors;       // UTF-8 names; empty: every module
  std::string settingsFile;               // km7.INI; empty: the desktop program's
  unsigned devicePollSeconds = kDefaultDevicePollSeconds;
  unsigned onceTimeoutSeconds = kDefaultOnceTimeoutSeconds;
  // Where the Prometheus endpoint listens; nullopt: nowhere. The default is
  // loopback on a port outside the range other exporters have taken.
  std::optional<km7::metrics::ListenAddress> metricsListen =
      km7::metrics::ListenAddress{"127.0.0.1", false, km7::metrics::kDefaultMetricsPort};
  std::string stateDir;  // --state-dir; empty: see StateFolder
  std::string textfileDir;
  std::optional<km7::mqtt::BrokerUrl> mqtt;  // nullopt: no MQTT
  std::string mqttCafile;
  std::string mqttUser;
  std::string mqttPasswordFile;
  std::string mqttPrefix = kDefaultMqttPrefix;
  std::string mqttDiscoveryPrefix = kDefaultMqttDiscoveryPrefix;
};

// One "name value" pair as read from either source, with where it came from
// for messages ("km7d.conf:12" or "command line").
struct Setting {
  std::string name;
  std::string value;
  std::string where;
};

// A failure to read options: the message names the file and line, or the
// command-line argument.
struct OptionError {
  std::string message;
};

// Splits argv into settings. Options take "--name value" or "--name=value".
// Returns the error of the first bad argument.
std::optional<OptionError> ParseCommandLine(int argc, const char* const* argv,
                                            std::vector<Setting>& out);

// Reads the text of a configuration file: "name = value" lines, '#' starting
// a comment line, blank lines ignored. The names are the long options without
// their "--"; those that only make sense on the command line are refused.
// Every bad line is reported, as "<file>:<line>: <what>".
std::vector<OptionError> ParseConfigText(std::string_view text, const std::string& fileName,
                                         std::vector<Setting>& out);

// Applies the settings in order onto the options, checking each value. The
// first bad value ends it with an error naming where the value came from.
std::optional<OptionError> ApplySettings(const std::vector<Setting>& settings, Options& options);

// The configuration file to read when --config is not given: the first of
// $XDG_CONFIG_HOME/km7/km7d.conf (else ~/.config/...) and /etc/km7/km7d.conf
// that exists; empty when neither does.
std::string DefaultConfigFile();

// Reads everything: the command line, then the configuration file (the one
// --config names, which must exist, or the default one, which may be
// missing), then applies the file's settings and the command line's over
// them. Errors are the lines to print, each complete.
struct LoadResult {
  Options options;
  std::string configFileUsed;  // empty: none
  std::vector<OptionError> errors;
};
LoadResult LoadOptions(int argc, const char* const* argv);

// The text of --help.
std::string HelpText();
// The account command's usage lines, as --help and "km7d account" show them.
extern const char kAccountSynopsis[];

}  // namespace km7d
