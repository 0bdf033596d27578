#pragma once
// The stored values of each alarm kind, so that what both kinds do is
// written once with the kind as a parameter.
#include "alarms/AlarmKind.h"
#include "settings/ProfileStore.h"

namespace km7::alarms {

struct AlarmKindSettings {
  const profile::Value& emailOn;  // the main window's Email box
  const profile::Value& aboveOn;
  const profile::Value& belowOn;
  const profile::Value& aboveLimit;
  const profile::Value& belowLimit;
  const profile::Value& to;
  const profile::Value& cc;
  const profile::Value& from;
  const profile::Value& subject;
  const profile::Value& bodyL2;
  const profile::Value& bodyL3;
  const profile::Value& bodyL4;
};

inline const AlarmKindSettings& SettingsOf(AlarmKind kind) {
  namespace v = profile;
  static const AlarmKindSettings temperature{
      v::TempEmailOnOff,   v::EmailTempAbove,   v::EmailTempBelow,   v::EmailTempAboveTemp,
      v::EmailTempBelowTemp, v::EmailTempTo,    v::EmailTempCC,      v::EmailTempFrom,
      v::EmailTempSubject, v::EmailTempBodyL2,  v::EmailTempBodyL3,  v::EmailTempBodyL4};
  static const AlarmKindSettings humidity{
      v::HumEmailOnOff,    v::EmailHumAbove,    v::EmailHumBelow,    v::EmailHumAboveTemp,
      v::EmailHumBelowTemp, v::EmailHumTo,      v::EmailHumCC,       v::EmailHumFrom,
      v::EmailHumSubject,  v::EmailHumBodyL2,   v::EmailHumBodyL3,   v::EmailHumBodyL4};
  return kind == AlarmKind::Temperature ? temperature : humidity;
}

inline AlarmKind OtherKind(AlarmKind kind) {
  return kind == AlarmKind::Temperature ? AlarmKind::Humidity : AlarmKind::Temperature;
}

}  // namespace km7::alarms
