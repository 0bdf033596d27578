#include "alarms/AlarmRulesDlg.h"

#include "ui/MessageBox.h"

namespace km7::alarms {

ui::DialogTemplate AlarmRulesTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "Alarm rules";
  t.width = 250;
  t.height = 112;
  t.pointSize = 8;
  t.style = kCaption | kSysMenu | kCentered;
  t.controls = {
      {IDC_RULE_LOST, Kind::CheckBox, "Mail when no reading came for", 7, 9, 120, 10, 0},
      {IDC_RULE_LOST_SECONDS, Kind::Edit, "", 130, 7, 30, 14, kNumber},
      {IDC_STATIC, Kind::Static, "seconds (sensor lost)", 164, 10, 80, 8, kNoWrap},
      {IDC_RULE_BACK, Kind::CheckBox, "Mail when an alarm is back to normal", 7, 27, 160, 10, 0},
      {IDC_RULE_BACK_TEXT, Kind::Static, "", 19, 38, 225, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "Repeat the alarm mail every", 7, 55, 120, 8, kNoWrap},
      {IDC_RULE_REPEAT, Kind::Edit, "", 130, 53, 30, 14, kNumber},
      {IDC_STATIC, Kind::Static, "minutes (0 = never)", 164, 55, 80, 8, kNoWrap},
      {IDC_STATIC, Kind::Static, "At most one mail per alarm in", 7, 73, 120, 8, kNoWrap},
      {IDC_RULE_GAP, Kind::Edit, "", 130, 71, 30, 14, kNumber},
      {IDC_STATIC, Kind::Static, "minutes (0 = no limit)", 164, 73, 80, 8, kNoWrap},
      {IDOK, Kind::PushButton, "OK", 136, 92, 50, 14, kDefault},
      {IDCANCEL, Kind::PushButton, "Cancel", 193, 92, 50, 14, 0},
  };
  return t;
}

CAlarmRules::CAlarmRules(std::string sensorName, int displayUnit, ui::CDialog* owner)
    : CDialog(AlarmRulesTemplate(), owner), sensor(std::move(sensorName)), unit(displayUnit) {
  SetMessageTable<CAlarmRules>({{ui::Notify::Clicked, IDC_RULE_LOST, &CAlarmRules::OnLostClicked}});
}

bool CAlarmRules::OnInitDialog() {
  const RuleOptions o = ReadRuleOptions(sensor);
  lostOn = o.sensorLost ? 1 : 0;
  lostSeconds = o.sensorLostSeconds;
  backOn = o.backToNormal ? 1 : 0;
  repeatMinutes = o.repeatMinutes;
  gapMinutes = o.minGapMinutes;
  // The margin is 1.0 in the stored unit (°C, percent).
  backText = std::string("(back inside its band by more than ") + (unit == 1 ? "1.0\xB0" "C" : "1.8\xB0" "F") +
             " or 1.0%)";
  CDialog::OnInitDialog();
  SetWindowText("Alarm rules for sensor: " + sensor);
  OnLostClicked();
  return true;
}

void CAlarmRules::DoDataExchange(ui::CDataExchange& dx) {
  using namespace km7::ui;
  DDX_Check(dx, IDC_RULE_LOST, lostOn);
  DDX_Text(dx, IDC_RULE_LOST_SECONDS, lostSeconds);
  DDX_Check(dx, IDC_RULE_BACK, backOn);
  DDX_Text(dx, IDC_RULE_BACK_TEXT, backText);
  DDX_Text(dx, IDC_RULE_REPEAT, repeatMinutes);
  DDX_Text(dx, IDC_RULE_GAP, gapMinutes);
}

void CAlarmRules::OnLostClicked() { EnableItem(IDC_RULE_LOST_SECONDS, IsDlgButtonChecked(IDC_RULE_LOST) == 1); }

void CAlarmRules::OnOK() {
  if (!UpdateData(true)) return;
  const struct {
    int id;
    int value;
    int low;
    const char* text;
  } checks[] = {
      {IDC_RULE_LOST_SECONDS, lostSeconds, 1, "Please enter the seconds without a reading as a number from 1 to 86400."},
      {IDC_RULE_REPEAT, repeatMinutes, 0, "Please enter the repeat period in minutes, from 0 (never) to 10080."},
      {IDC_RULE_GAP, gapMinutes, 0, "Please enter the minimum gap in minutes, from 0 (none) to 10080."},
  };
  for (const auto& c : checks) {
    const int high = c.id == IDC_RULE_LOST_SECONDS ? 86400 : 10080;
    if (c.value >= c.low && c.value <= high) continue;
    ui::ShowMessage(c.text, ui::MessageIcon::Warning);
    GotoDlgCtrl(c.id);
    return;
  }
  RuleOptions o;
  o.sensorLost = lostOn == 1;
  o.sensorLostSeconds = lostSeconds;
  o.backToNormal = backOn == 1;
  o.repeatMinutes = repeatMinutes;
  o.minGapMinutes = gapMinutes;
  if (!WriteRuleOptions(sensor, o)) return;  // the settings store has said why
  EndDialog(ui::IDOK);
}

}  // namespace km7::alarms
