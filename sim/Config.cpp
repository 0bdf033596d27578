#include "Config.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <ostream>

#include <sys/stat.h>

namespace km7sim {
namespace {

constexpr unsigned kMaxMilliseconds = 3600000;  // an hour: anything longer is a typo

std::string Trim(const std::string& s) {
  const char* blanks = " \t\r\n";
  const auto first = s.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(blanks);
  return s.substr(first, last - first + 1);
}

// A '#' at the start of the line or after a blank starts a comment, so that a
// value such as "Lab#2" keeps its '#'.
std::string StripComment(const std::string& line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
      return line.substr(0, i);
    }
  }
  return line;
}

// Locale-independent: the program may have switched the C locale.
bool ParseDouble(const std::string& text, double& out) {
  double v = 0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size() || !std::isfinite(v)) {
    return false;
  }
  out = v;
  return true;
}

bool ParseUnsigned(const std::string& text, unsigned long long max, unsigned long long& out) {
  unsigned long long v = 0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), v);
  if (res.ec != std::errc() || res.ptr != text.data() + text.size() || v > max) return false;
  out = v;
  return true;
}

class Parser {
 public:
  Parser(const std::string& source, std::ostream& err) : source_(source), err_(err) {}

  Config Run(std::istream& in) {
    std::string raw;
    while (std::getline(in, raw)) {
      ++lineNo_;
      const std::string line = Trim(StripComment(raw));
      if (line.empty()) continue;
      if (line == "[module]") {
        ModuleConfig m;
        m.temperatureMs = defaults_.temperatureMs;
        m.humidityMs = defaults_.humidityMs;
        m.resetMs = defaults_.resetMs;
        config_.modules.push_back(m);
        continue;
      }
      const auto eq = line.find('=');
      if (eq == std::string::npos) {
        Warn("expected \"key = value\" or [module]: '" + line + "'");
        continue;
      }
      const std::string key = Trim(line.substr(0, eq));
      const std::string value = Trim(line.substr(eq + 1));
      if (config_.modules.empty()) {
        Global(key, value);
      } else {
        Module(config_.modules.back(), key, value);
      }
    }
    return config_;
  }

 private:
  void Warn(const std::string& what) {
    err_ << "km7sim: " << source_ << ":" << lineNo_ << ": " << what << " (ignored)\n";
  }

  void BadValue(const std::string& key, const std::string& value) {
    Warn("bad value for " + key + ": '" + value + "'");
  }

  bool Milliseconds(const std::string& key, const std::string& value, unsigned& out) {
    unsigned long long v = 0;
    if (!ParseUnsigned(value, kMaxMilliseconds, v)) {
      BadValue(key, value);
      return true;
    }
    out = static_cast<unsigned>(v);
    return true;
  }

  // Returns false when the key is not one of the timing keys.
  bool Timing(ModuleConfig& target, const std::string& key, const std::string& value) {
    if (key == "temperature_conversion_ms") return Milliseconds(key, value, target.temperatureMs);
    if (key == "humidity_conversion_ms") return Milliseconds(key, value, target.humidityMs);
    if (key == "reset_ms") return Milliseconds(key, value, target.resetMs);
    return false;
  }

  void Global(const std::string& key, const std::string& value) {
    if (Timing(defaults_, key, value)) return;
    if (key == "description_limit") {
      unsigned long long v = 0;
      // At least two characters and the terminator; at most what a listing buffer holds.
      if (!ParseUnsigned(value, kListingBufferSize, v) || v < 3) {
        BadValue(key, value);
        return;
      }
      config_.descriptionLimit = static_cast<unsigned>(v);
      return;
    }
    Warn("unknown key '" + key + "' before the first [module]");
  }

  void Flag(const std::string& key, const std::string& value, bool& out) {
    if (value == "0") {
      out = false;
    } else if (value == "1") {
      out = true;
    } else {
      BadValue(key, value);
    }
  }

  void Count(const std::string& key, const std::string& value, unsigned& out) {
    unsigned long long v = 0;
    if (!ParseUnsigned(value, 1000000000ULL, v)) {
      BadValue(key, value);
      return;
    }
    out = static_cast<unsigned>(v);
  }

  void Raw(const std::string& key, const std::string& value, std::optional<uint16_t>& out) {
    unsigned long long v = 0;
    if (!ParseUnsigned(value, 65535, v)) {
      BadValue(key, value);
      return;
    }
    out = static_cast<uint16_t>(v);
  }

  void Physical(const std::string& key, const std::string& value, double lo, double hi,
                double& out, std::optional<uint16_t>& raw) {
    double v = 0;
    if (!ParseDouble(value, v) || v < lo || v > hi) {
      BadValue(key, value);
      return;
    }
    out = v;
    raw.reset();  // the later of the two keys wins
  }

  void Module(ModuleConfig& m, const std::string& key, const std::string& value) {
    if (Timing(m, key, value)) return;
    if (key == "description") {
      // The description must fit the configuration memory, terminator included.
      const size_t max = config_.descriptionLimit - 1;
      if (value.empty()) {
        BadValue(key, value);
      } else if (value.size() > max) {
        err_ << "km7sim: " << source_ << ":" << lineNo_ << ": description longer than " << max
             << " bytes, cut to fit the configuration memory\n";
        m.description = value.substr(0, max);
      } else {
        m.description = value;
      }
    } else if (key == "serial") {
      if (value.empty() || value.size() > 15) {
        BadValue(key, value);
      } else {
        m.serial = value;
      }
    } else if (key == "in_use") {
      Flag(key, value, m.inUse);
    } else if (key == "temperature") {
      // The raw count spans -40 .. 615.35 degrees C.
      Physical(key, value, -40.0, 615.35, m.temperature, m.rawTemperature);
    } else if (key == "raw_temperature") {
      Raw(key, value, m.rawTemperature);
    } else if (key == "humidity") {
      Physical(key, value, -100.0, 200.0, m.humidity, m.rawHumidity);
    } else if (key == "raw_humidity") {
      Raw(key, value, m.rawHumidity);
    } else if (key == "drift") {
      double v = 0;
      if (!ParseDouble(value, v) || v < 0 || v > 100) {
        BadValue(key, value);
      } else {
        m.drift = v;
      }
    } else if (key == "corrupt_crc_every") {
      Count(key, value, m.corruptCrcEvery);
    } else if (key == "unplug_after") {
      Count(key, value, m.unplugAfter);
    } else if (key == "bitbang_fails") {
      Flag(key, value, m.bitbangFails);
    } else if (key == "sensor") {
      Flag(key, value, m.sensorPresent);
    } else if (key == "present") {
      Flag(key, value, m.present);
    } else if (key == "description_limit") {
      Warn("description_limit belongs before the first [module]");
    } else {
      Warn("unknown key '" + key + "'");
    }
  }

  std::string source_;
  std::ostream& err_;
  int lineNo_ = 0;
  ModuleConfig defaults_;
  Config config_;
};

}  // namespace

Config DefaultConfig() {
  Config c;
  ModuleConfig m;
  m.drift = 0.3;
  c.modules.push_back(m);
  return c;
}

Config ParseConfig(std::istream& in, const std::string& sourceName, std::ostream& err) {
  return Parser(sourceName, err).Run(in);
}

std::string ConfigPath() {
  const char* path = std::getenv("KM7_SIM_CONFIG");
  return path != nullptr ? path : "";
}

FileStamp StampOf(const std::string& path) {
  FileStamp stamp;
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return stamp;
  stamp.exists = true;
  stamp.mtimeSec = st.st_mtim.tv_sec;
  stamp.mtimeNsec = st.st_mtim.tv_nsec;
  stamp.ctimeSec = st.st_ctim.tv_sec;
  stamp.ctimeNsec = st.st_ctim.tv_nsec;
  stamp.size = st.st_size;
  stamp.inode = st.st_ino;
  return stamp;
}

Config LoadConfig(std::ostream& err) {
  const char* path = std::getenv("KM7_SIM_CONFIG");
  if (path == nullptr || *path == '\0') return DefaultConfig();
  std::ifstream in(path);
  if (!in) {
    err << "km7sim: cannot read " << path << ", using one default module\n";
    return DefaultConfig();
  }
  Config c = ParseConfig(in, path, err);
  c.source = path;
  return c;
}

}  // namespace km7sim
