#pragma once
// The alarm rules' memory of one sensor (what is firing, since when, what was
// mailed and when) kept in a file of its own under the state folder, so that a
// restart in the middle of an excursion neither mails it again nor forgets
// its back-to-normal mail. Written whole (temporary file, rename), 0600, and
// only when something worth keeping changed. A missing, damaged or older file
// reads as a fresh start.
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "alarms/AlarmRules.h"

namespace km7::alarms {

// The state's bytes, and back; nothing for anything Serialize did not write.
std::string SerializeRuleState(const RuleState& state);
std::optional<RuleState> ParseRuleState(std::string_view bytes);

class RuleStateFile {
 public:
  RuleStateFile(std::string folder, std::string sensor);
  // $XDG_STATE_HOME/km7/rules (else ~/.local/state/...); "" without a home.
  static std::string DefaultFolder();

  const std::string& Path() const { return path_; }
  // The stored state as this run goes on from it at `now`: the outage clock
  // of a sensor not yet lost restarts; the rest is as it was.
  RuleState Load(std::time_t now);
  // Writes the state when it differs from the last one loaded or written in
  // what a restart needs. False when writing failed (tried again next time).
  bool Save(const RuleState& state);

 private:
  std::string folder_;
  std::string path_;
  std::optional<std::string> written_;
};

}  // namespace km7::alarms
