#include "km7d/OptionTable.h"

#include <charconv>

#include "mqtt/MqttPayloads.h"

namespace km7d {

namespace {

using Problem = std::optional<std::string>;

Problem SetMode(Options& o, Mode mode, const char* name) {
  // --help and --version answer whatever else is asked.
  if (o.mode == Mode::Help || o.mode == Mode::Version) return std::nullopt;
  if (mode == Mode::Help || mode == Mode::Version || o.mode == Mode::Run || o.mode == mode) {
    o.mode = mode;
    return std::nullopt;
  }
  (void)name;
  return std::string("cannot be combined with --") + (o.mode == Mode::List ? "list" : "once");
}

Problem Seconds(const std::string& v, unsigned low, unsigned high, unsigned& out) {
  unsigned n = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  if (v.empty() || ec != std::errc() || end != v.data() + v.size() || n < low || n > high)
    return "expected whole seconds from " + std::to_string(low) + " to " + std::to_string(high) +
           ", found \"" + v + "\"";
  out = n;
  return std::nullopt;
}

Problem NotEmpty(const std::string& v, std::string& out) {
  if (v.empty()) return std::string("needs a value");
  out = v;
  return std::nullopt;
}

Problem Prefix(const std::string& v, std::string& out) {
  std::string error;
  if (!km7::mqtt::ValidPrefix(v, error)) return error;
  out = v;
  return std::nullopt;
}

// clang-format off
constexpr OptionSpec kOptions[] = {
  {"config", "FILE", false,
   "read the options from FILE instead of $XDG_CONFIG_HOME/km7/km7d.conf (else ~/.config/km7/km7d.conf), else /etc/km7/km7d.conf",
   [](Options& o, const std::string& v) -> Problem { if (v.empty()) return "needs a file name"; o.configFile = v; return std::nullopt; }},
  {"sensor", "NAME", true,
   "monitor only the module of this name (repeat for more); default: every attached module",
   [](Options& o, const std::string& v) -> Problem { if (v.empty()) return "needs a module name"; o.sensors.push_back(v); return std::nullopt; }},
  {"settings", "FILE", true,
   "the per-sensor settings file (data log, alarms, mail) written by the desktop program; default: its km7.INI",
   [](Options& o, const std::string& v) { return NotEmpty(v, o.settingsFile); }},
  {"device-poll", "SECONDS", true,
   "how often the list of attached modules is read (default 5)",
   [](Options& o, const std::string& v) { return Seconds(v, 1, 3600, o.devicePollSeconds); }},
  {"once-timeout", "SECONDS", true,
   "how long --once waits for the readings (default 10)",
   [](Options& o, const std::string& v) { return Seconds(v, 1, 600, o.onceTimeoutSeconds); }},
  {"metrics-listen", "HOST:PORT", true,
   "where the Prometheus endpoint listens ([::1]:PORT for IPv6, \"off\" for none; default 127.0.0.1:9077)",
   [](Options& o, const std::string& v) -> Problem {
     if (v == kMetricsOff) { o.metricsListen.reset(); return std::nullopt; }
     std::string error;
     auto address = km7::metrics::ParseListenAddress(v, error);
     if (!address) return error + " (or off)";
     o.metricsListen = *address;
     return std::nullopt; }},
  {"state-dir", "DIR", false,
   "the folder of the key and the accounts set with \"km7d account set\" (default: $STATE_DIRECTORY as systemd sets it, else $XDG_STATE_HOME/km7)",
   [](Options& o, const std::string& v) { return NotEmpty(v, o.stateDir); }},
  {"textfile-dir", "DIR", true,
   "also write km7.prom into DIR for node_exporter's textfile collector",
   [](Options& o, const std::string& v) { return NotEmpty(v, o.textfileDir); }},
  {"mqtt", "URL", true,
   "publish to the MQTT broker at mqtt://HOST[:PORT] or mqtts://HOST[:PORT]",
   [](Options& o, const std::string& v) -> Problem {
     std::string error;
     auto url = km7::mqtt::ParseBrokerUrl(v, error);
     if (!url) return error;
     o.mqtt = *url;
     return std::nullopt; }},
  {"mqtt-cafile", "FILE", true,
   "trust the broker's certificate when this CA file signed it (default: the system's CAs)",
   [](Options& o, const std::string& v) { return NotEmpty(v, o.mqttCafile); }},
  {"mqtt-user", "NAME", true,
   "the user name for the broker",
   [](Options& o, const std::string& v) { return NotEmpty(v, o.mqttUser); }},
  {"mqtt-password-file", "FILE", true,
   "read the broker's password from the first line of FILE (never from the command line)",
   [](Options& o, const std::string& v) { return NotEmpty(v, o.mqttPasswordFile); }},
  {"mqtt-prefix", "PREFIX", true,
   "the first part of every topic (default km7)",
   [](Options& o, const std::string& v) { return Prefix(v, o.mqttPrefix); }},
  {"mqtt-discovery-prefix", "PREFIX", true,
   "where home automation looks for devices (default homeassistant)",
   [](Options& o, const std::string& v) { return Prefix(v, o.mqttDiscoveryPrefix); }},
  {"list", nullptr, false,
   "list the attached modules and exit",
   [](Options& o, const std::string&) { return SetMode(o, Mode::List, "--list"); }},
  {"once", nullptr, false,
   "print one reading of each module as a JSON line and exit: 0 when all were read, 1 when some were not",
   [](Options& o, const std::string&) { return SetMode(o, Mode::Once, "--once"); }},
  {"help", nullptr, false,
   "show this help and exit",
   [](Options& o, const std::string&) { return SetMode(o, Mode::Help, "--help"); }},
  {"version", nullptr, false,
   "show the version and exit",
   [](Options& o, const std::string&) { return SetMode(o, Mode::Version, "--version"); }},
};
// clang-format on

}  // namespace

std::span<const OptionSpec> OptionTable() { return kOptions; }

const OptionSpec* FindOption(std::string_view name) {
  for (const OptionSpec& spec : kOptions)
    if (name == spec.name) return &spec;
  return nullptr;
}

}  // namespace km7d
