#include "alarms/RuleStateFile.h"

#include <charconv>
#include <cstdio>
#include <sstream>
#include <vector>

#include "platform/TextFileWriter.h"
#include "platform/XdgPaths.h"

namespace km7::alarms {
namespace {

constexpr char kMagic[] = "km7-rules 1";
constexpr std::size_t kMaxBytes = 4096;

std::string Number(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

template <class T>
bool Read(std::string_view word, T& out) {
  const auto r = std::from_chars(word.data(), word.data() + word.size(), out);
  return r.ec == std::errc() && r.ptr == word.data() + word.size();
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  while (!line.empty()) {
    const auto space = line.find(' ');
    words.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return words;
}

bool ReadLimit(const std::vector<std::string_view>& w, LimitState& s) {
  int fired = 0, mailed = 0, back = 0;
  long long firedAt = 0, lastMailAt = 0, since = 0;
  if (w.size() != 9 || !Read(w[1], fired) || !Read(w[2], mailed) || !Read(w[3], firedAt) ||
      !Read(w[4], s.peak) || !Read(w[5], lastMailAt) || !Read(w[6], s.suppressed) || !Read(w[7], since) ||
      !Read(w[8], back))
    return false;
  if (fired < 0 || fired > 1 || mailed < 0 || mailed > 1 || back < 0 || back > 1 || s.suppressed < 0) return false;
  s.fired = fired == 1;
  s.mailed = mailed == 1;
  s.backPending = back == 1;
  s.firedAt = std::time_t(firedAt);
  s.lastMailAt = std::time_t(lastMailAt);
  s.suppressedSince = std::time_t(since);
  return true;
}

// A name of any bytes as a file name of plain letters.
std::string FileName(const std::string& sensor) {
  static const char hex[] = "0123456789abcdef";
  std::string name = "sensor-";
  for (unsigned char c : sensor) {
    name += hex[c >> 4];
    name += hex[c & 15];
  }
  return name + ".state";
}

}  // namespace

std::string SerializeRuleState(const RuleState& state) {
  std::ostringstream out;
  out << kMagic << '\n'
      << "sensor " << int(state.lost) << ' ' << int(state.lastProblem) << ' ' << state.crcErrors << ' '
      << static_cast<long long>(state.lastGoodAt) << '\n';
  for (const auto& quantity : state.limits)
    for (const LimitState& s : quantity)
      out << "limit " << int(s.fired) << ' ' << int(s.mailed) << ' ' << static_cast<long long>(s.firedAt) << ' '
          << Number(s.peak) << ' ' << static_cast<long long>(s.lastMailAt) << ' ' << s.suppressed << ' '
          << static_cast<long long>(s.suppressedSince) << ' ' << int(s.backPending) << '\n';
  out << "end\n";
  return out.str();
}

std::optional<RuleState> ParseRuleState(std::string_view in) {
  if (in.size() > kMaxBytes) return std::nullopt;
  std::vector<std::string_view> lines;
  while (!in.empty()) {
    const auto eol = in.find('\n');
    if (eol == std::string_view::npos) return std::nullopt;  // cut short
    lines.push_back(in.substr(0, eol));
    in.remove_prefix(eol + 1);
  }
  if (lines.size() != 7 || lines[0] != kMagic || lines[6] != "end") return std::nullopt;
  RuleState state;
  const auto w = Words(lines[1]);
  int lost = 0, problem = 0;
  long long lastGood = 0;
  if (w.size() != 5 || w[0] != "sensor" || !Read(w[1], lost) || !Read(w[2], problem) ||
      !Read(w[3], state.crcErrors) || !Read(w[4], lastGood) || lost < 0 || lost > 1 || problem < 0 ||
      problem > int(SensorProblem::CrcFailures))
    return std::nullopt;
  state.lost = lost == 1;
  state.lastProblem = SensorProblem(problem);
  state.lastGoodAt = std::time_t(lastGood);
  for (int i = 0; i < 4; ++i) {
    const auto lw = Words(lines[std::size_t(2 + i)]);
    if (lw.empty() || lw[0] != "limit" || !ReadLimit(lw, state.limits[std::size_t(i / 2)][std::size_t(i % 2)]))
      return std::nullopt;
  }
  return state;
}

RuleStateFile::RuleStateFile(std::string folder, std::string sensor)
    : folder_(std::move(folder)), path_(folder_.empty() ? std::string() : folder_ + "/" + FileName(sensor)) {}

std::string RuleStateFile::DefaultFolder() {
  const std::string state = StateHome();
  return state.empty() ? std::string() : state + "/km7/rules";
}

RuleState RuleStateFile::Load(std::time_t now) {
  RuleState state;
  std::optional<RuleState> stored;
  std::FILE* f = path_.empty() ? nullptr : std::fopen(path_.c_str(), "rbe");
  if (f != nullptr) {
    std::string bytes(kMaxBytes + 1, '\0');
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), f));
    std::fclose(f);
    stored = ParseRuleState(bytes);
    if (stored) written_ = bytes;
  }
  if (stored) state = *stored;
  state.started = true;
  state.startedAt = now;
  // A sensor not lost before the restart is given its full grace again.
  if (!state.lost) state.lastGoodAt = 0;
  return state;
}

bool RuleStateFile::Save(const RuleState& state) {
  if (path_.empty()) return false;
  RuleState kept = state;
  if (!kept.lost) kept.lastGoodAt = 0;  // changes with every reading; not needed then
  const std::string bytes = SerializeRuleState(kept);
  if (written_ && *written_ == bytes) return true;
  if (!MakeFolders(folder_, 0700) || !ReplaceFileAtomically(path_, bytes, 0600)) return false;
  written_ = bytes;
  return true;
}

}  // namespace km7::alarms
