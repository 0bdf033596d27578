// km7d's options: the command line, the configuration file and how they meet.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "km7d/Options.h"

namespace {

using km7d::LoadOptions;
using km7d::Mode;

class TempDir {
 public:
  TempDir() {
    std::string t = (std::filesystem::temp_directory_path() / "km7d-opt-XXXXXX").string();
    path_ = mkdtemp(t.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string p = path_ + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream(p, std::ios::binary) << text;
    return p;
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Runs LoadOptions with a private XDG_CONFIG_HOME, so the machine's own
// files never take part.
km7d::LoadResult Load(std::vector<std::string> args, const std::string& configHome = "/nonexistent") {
  setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
  args.insert(args.begin(), "km7d");
  std::vector<const char*> argv;
  for (auto& a : args) argv.push_back(a.c_str());
  auto r = LoadOptions(static_cast<int>(argv.size()), argv.data());
  return r;
}

std::string Errors(const km7d::LoadResult& r) {
  std::string s;
  for (const auto& e : r.errors) s += e.message + "\n";
  return s;
}

TEST(Km7dOptions, DefaultsWithoutAnyFileOrArgument) {
  auto r = Load({});
  ASSERT_TRUE(r.errors.empty()) << Errors(r);
  EXPECT_EQ(r.options.mode, Mode::Run);
  EXPECT_TRUE(r.options.sensors.empty());
  ASSERT_TRUE(r.options.metricsListen.has_value());
  EXPECT_EQ(r.options.metricsListen->host, "127.0.0.1");
  // Outside the range other exporters have taken.
  EXPECT_TRUE(r.options.metricsListen->port < 9100 || r.options.metricsListen->port > 9999);
  EXPECT_FALSE(r.options.mqtt.has_value());
  EXPECT_EQ(r.options.mqttPrefix, "km7");
  EXPECT_EQ(r.options.mqttDiscoveryPrefix, "homeassistant");
  EXPECT_TRUE(r.configFileUsed.empty());
}

TEST(Km7dOptions, CommandLineForms) {
  auto r = Load({"--sensor", "Lab", "--sensor=Rack 2", "--metrics-listen", "[::1]:9200x"});
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_NE(r.errors[0].message.find("--metrics-listen"), std::string::npos) << Errors(r);

  r = Load({"--sensor", "Lab", "--sensor=Rack 2", "--metrics-listen", "[::1]:9200", "--mqtt",
            "mqtts://broker.example", "--mqtt-prefix", "home/km7", "--mqtt-discovery-prefix", "ha/lab", "--once"});
  ASSERT_TRUE(r.errors.empty()) << Errors(r);
  EXPECT_EQ(r.options.sensors, (std::vector<std::string>{"Lab", "Rack 2"}));
  EXPECT_EQ(r.options.metricsListen->host, "::1");
  EXPECT_EQ(r.options.metricsListen->port, 9200u);
  ASSERT_TRUE(r.options.mqtt);
  EXPECT_TRUE(r.options.mqtt->tls);
  EXPECT_EQ(r.options.mqtt->host, "broker.example");
  EXPECT_EQ(r.options.mqtt->port, 8883u);
  EXPECT_EQ(r.options.mqttPrefix, "home/km7");
  EXPECT_EQ(r.options.mqttDiscoveryPrefix, "ha/lab");
  EXPECT_EQ(r.options.mode, Mode::Once);

  r = Load({"--metrics-listen=off", "--mqtt", "mqtt://127.0.0.1:1999"});
  ASSERT_TRUE(r.errors.empty()) << Errors(r);
  EXPECT_FALSE(r.options.metricsListen);
  EXPECT_EQ(r.options.mqtt->port, 1999u);
  EXPECT_FALSE(r.options.mqtt->tls);
}

TEST(Km7dOptions, BadCommandLinesAreNamed) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"Lab"}, "argument 'Lab': not an option"},
      {{"--sensor"}, "--sensor needs a value"},
      {{"--list=yes"}, "--list takes no value"},
      {{"--list", "--once"}, "cannot be combined with --list"},
      {{"--device-poll", "0"}, "--device-poll: expected whole seconds from 1 to 3600"},
      {{"--device-poll", "5s"}, "--device-poll: expected whole seconds"},
      {{"--metrics-listen", "127.0.0.1"}, "--metrics-listen: bad listen address"},
      {{"--metrics-listen", "127.0.0.1:70000"}, "bad listen address"},
      {{"--metrics-listen", "::1:80"}, "bad listen address"},
      {{"--mqtt", "http://x"}, "--mqtt: bad MQTT broker URL"},
      {{"--mqtt", "mqtt://"}, "bad MQTT broker URL"},
      {{"--mqtt-prefix", "a/#"}, "'#' and '+' are wildcards"},
      {{"--mqtt-prefix", "/a"}, "it has an empty level"},
      {{"--mqtt-prefix", "$SYS/km7"}, "topics starting with '$' are the broker's own"},
      {{"--mqtt-prefix", "km7/+"}, "wildcards"},
      {{"--mqtt-discovery-prefix", "$share/x"}, "--mqtt-discovery-prefix: bad MQTT topic prefix"},
      {{"--config", "/nonexistent/km7d.conf"}, "cannot read the configuration file /nonexistent/km7d.conf"},
  };
  for (const Case& c : cases) {
    auto r = Load(c.args);
    ASSERT_EQ(r.errors.size(), 1u) << c.args[0];
    EXPECT_NE(r.errors[0].message.find(c.expected), std::string::npos)
        << r.errors[0].message << " / expected " << c.expected;
  }
}

TEST(Km7dOptions, HelpAndVersionWinOverAnything) {
  auto r = Load({"--list", "--help", "--config", "/nonexistent/km7d.conf"});
  ASSERT_TRUE(r.errors.empty()) << Errors(r);
  EXPECT_EQ(r.options.mode, Mode::Help);
  r = Load({"--version", "--once"});
  EXPECT_EQ(r.options.mode, Mode::Version);
  EXPECT_EQ(Load({"-h"}).options.mode, Mode::Help);
}

TEST(Km7dOptions, ConfigFileBadLinesNamedWithFileAndLine) {
  TempDir dir;
  const std::string file = dir.Write("k.conf",
                                     "# comment\n"
                                     "\n"
                                     "sensor = Lab\n"
                                     "no equals sign here\n"
                                     "frobnicate = 1\n"
                                     "once = 1\n"
                                     "   metrics-listen   =   127.0.0.1:9300  \r\n");
  auto r = Load({"--config", file});
  ASSERT_EQ(r.errors.size(), 3u) << Errors(r);
  EXPECT_EQ(r.errors[0].message.rfind(file + ":4: expected \"name = value\"", 0), 0u) << Errors(r);
  EXPECT_EQ(r.errors[1].message, file + ":5: unknown option \"frobnicate\"");
  EXPECT_EQ(r.errors[2].message.rfind(file + ":6: \"once\" belongs on the command line", 0), 0u);

  // A value the option refuses is named by its line as well.
  const std::string bad = dir.Write("b.conf", "sensor = Lab\n\ndevice-poll = never\n");
  r = Load({"--config", bad});
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].message.rfind(bad + ":3: device-poll: expected whole seconds", 0), 0u)
      << Errors(r);
}

TEST(Km7dOptions, CommandLineOverridesTheFile) {
  TempDir dir;
  const std::string file = dir.Write("k.conf",
                                     "sensor = Lab\n"
                                     "sensor = Cellar\n"
                                     "metrics-listen = 127.0.0.1:9300\n"
                                     "mqtt = mqtt://127.0.0.1\n"
                                     "mqtt-prefix = house\n");
  auto r = Load({"--config", file, "--metrics-listen", "127.0.0.1:9400"});
  ASSERT_TRUE(r.errors.empty()) << Errors(r);
  EXPECT_EQ(r.configFileUsed, file);
  EXPECT_EQ(r.options.sensors, (std::vector<std::string>{"Lab", "Cellar"}));
  EXPECT_EQ(r.options.metricsListen->port, 9400u);
  EXPECT_EQ(r.options.mqtt->port, 1883u);
  EXPECT_EQ(r.options.mqttPrefix, "house");

  // --sensor on the command line replaces the file's list, it does not add.
  r = Load({"--config", file, "--sensor", "Attic"});
  EXPECT_EQ(r.options.sensors, (std::vector<std::string>{"Attic"}));
}

TEST(Km7dOptions, DefaultFileFromTheUsersConfigFolder) {
  TempDir dir;
  dir.Write("km7/km7d.conf", "mqtt-prefix = fromxdg\n");
  auto r = Load({}, dir.Path());
  ASSERT_TRUE(r.errors.empty()) << Errors(r);
  EXPECT_EQ(r.configFileUsed, dir.Path() + "/km7/km7d.conf");
  EXPECT_EQ(r.options.mqttPrefix, "fromxdg");
  // A bad line there stops the start, named with the file.
  dir.Write("km7/km7d.conf", "mqtt-prefix = ok\nmqtt-prefix\n");
  r = Load({}, dir.Path());
  ASSERT_EQ(r.errors.size(), 1u);
  EXPECT_EQ(r.errors[0].message.rfind(dir.Path() + "/km7/km7d.conf:2: expected", 0), 0u);
}

TEST(Km7dOptions, HelpNamesEveryOption) {
  const std::string help = km7d::HelpText();
  for (const char* name : {"--config", "--sensor", "--settings", "--device-poll", "--once-timeout",
                           "--metrics-listen", "--textfile-dir", "--mqtt ", "--mqtt-cafile",
                           "--mqtt-user", "--mqtt-password-file", "--mqtt-prefix", "--mqtt-discovery-prefix", "--list",
                           "--once", "--help", "--version", "SIGHUP"}) {
    EXPECT_NE(help.find(name), std::string::npos) << name;
  }
  for (std::size_t start = 0, end; start < help.size(); start = end + 1) {
    end = help.find('\n', start);
    EXPECT_LE(end - start, 79u) << help.substr(start, end - start);
  }
}

}  // namespace
