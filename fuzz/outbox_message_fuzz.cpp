// The outbox's message files and the rules' state files: whatever bytes a
// file holds, reading it neither crashes nor leaks, and whatever reads as a
// message or a state is written back in a form that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "alarms/Outbox.h"
#include "alarms/RuleStateFile.h"

namespace {
void Check(bool ok) {
  if (!ok) std::abort();
}

bool Same(const km7::alarms::OutboxMessage& a, const km7::alarms::OutboxMessage& b) {
  return a.sensor == b.sensor && a.kind == b.kind && a.to == b.to && a.from == b.from && a.cc == b.cc &&
         a.subject == b.subject && a.body == b.body && a.created == b.created && a.waitedMs == b.waitedMs;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (const auto m = km7::alarms::ParseOutboxMessage(bytes)) {
    const std::string again = km7::alarms::SerializeOutboxMessage(*m);
    const auto back = km7::alarms::ParseOutboxMessage(again);
    Check(back.has_value() && Same(*m, *back));
    // The current form is written exactly as it was read.
    if (bytes.substr(0, 13) == "km7-outbox 2\n") Check(again == bytes);
  }
  if (const auto s = km7::alarms::ParseRuleState(bytes)) {
    const std::string again = km7::alarms::SerializeRuleState(*s);
    const auto back = km7::alarms::ParseRuleState(again);
    Check(back.has_value() && km7::alarms::SerializeRuleState(*back) == again);
  }
  return 0;
}
