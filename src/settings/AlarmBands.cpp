#include "settings/AlarmBands.h"

#include "platform/Text.h"
#include "settings/ProfileStore.h"

namespace km7 {

namespace {
namespace values = km7::profile;

AlarmBand ReadBand(const values::Value& above, const values::Value& below, const values::Value& aboveLimit,
                   const values::Value& belowLimit, const std::string& suffix) {
  ProfileStore& store = ProfileStore::Instance();
  AlarmBand band;
  band.highActive = store.ReadInt(above, suffix);
  band.lowActive = store.ReadInt(below, suffix);
  band.high = static_cast<float>(AtofC(store.ReadText(aboveLimit, suffix)));
  band.low = static_cast<float>(AtofC(store.ReadText(belowLimit, suffix)));
  return band;
}
}  // namespace

AlarmBand ReadTemperatureBand(const std::string& suffix) {
  return ReadBand(values::EmailTempAbove, values::EmailTempBelow, values::EmailTempAboveTemp,
                  values::EmailTempBelowTemp, suffix);
}

AlarmBand ReadHumidityBand(const std::string& suffix) {
  return ReadBand(values::EmailHumAbove, values::EmailHumBelow, values::EmailHumAboveTemp,
                  values::EmailHumBelowTemp, suffix);
}

}  // namespace km7
