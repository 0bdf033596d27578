#pragma once
// The "Alarm rules" dialog of the alarm setup dialog: the sensor's rules for
// a lost sensor, back to normal, repeats and the minimum gap, stored under
// the sensor's name. All off by default.
#include <string>

#include "alarms/RuleMailText.h"
#include "ui/Dialog.h"

namespace km7::alarms {

inline constexpr int kAlarmRulesTemplateId = 132;
inline constexpr int IDC_RULE_LOST = 1100;
inline constexpr int IDC_RULE_LOST_SECONDS = 1101;
inline constexpr int IDC_RULE_BACK = 1102;
inline constexpr int IDC_RULE_REPEAT = 1103;
inline constexpr int IDC_RULE_GAP = 1104;
inline constexpr int IDC_RULE_BACK_TEXT = 1105;

ui::DialogTemplate AlarmRulesTemplate();

class CAlarmRules : public ui::CDialog {
 public:
  // sensor: the name the rules are stored under; unit: 1 Celsius, else
  // Fahrenheit (the re-arm margin is shown in it).
  CAlarmRules(std::string sensor, int unit, ui::CDialog* owner = nullptr);

  bool OnInitDialog() override;
  void DoDataExchange(ui::CDataExchange& dx) override;
  void OnOK() override;
  void OnLostClicked();

  std::string sensor;
  int unit;
  int lostOn = 0;
  int lostSeconds = kDefaultSensorLostSeconds;
  int backOn = 0;
  int repeatMinutes = 0;
  int gapMinutes = 0;
  std::string backText;
};

}  // namespace km7::alarms
