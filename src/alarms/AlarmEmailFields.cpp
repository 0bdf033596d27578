// What the alarm e-mail dialog's fields accept, and where they are stored.
#include "alarms/AlarmEmailFields.h"

#include <cctype>

#include "alarms/AlarmEmailDlg.h"
#include "platform/Text.h"
#include "settings/OpenSensor.h"
#include "ui/MessageBox.h"

namespace km7::alarms {
namespace email {

std::string SettingName(const km7::profile::Value& value, const std::string& sensorName) {
  return ProfileStore::ValueName(value.pattern, sensorName);
}

std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

bool IsNumber(const std::string& text) {
  const std::string t = Trimmed(text);
  std::size_t i = 0, digits = 0, points = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  for (; i < t.size(); ++i) {
    if (std::isdigit(static_cast<unsigned char>(t[i])))
      ++digits;
    else if (t[i] == '.' && points++ == 0)
      continue;
    else
      return false;
  }
  return digits > 0;
}

bool IsUnsetTripPoint(const std::string& text) {
  const std::string t = Trimmed(text);
  return t.empty() || t == "--";
}

std::string FahrenheitShown(const std::string& storedCelsius) {
  const float f = static_cast<float>(AtofC(storedCelsius) * 9.0 / 5.0 + 32.0);
  return FormatFixed(f, 1);
}

std::string CelsiusStored(const std::string& typedFahrenheit) {
  const float c = static_cast<float>((AtofC(typedFahrenheit) - 32.0) * 5.0 / 9.0);
  return FormatFixed(c, 3);
}

}  // namespace email

using email::IsNumber;
using email::IsUnsetTripPoint;
using email::Trimmed;

bool CAlarmEmail::ValidateTripPoints() {
  const struct {
    int id;
    const std::string& text;
    int on;
    const char* which;
  } fields[] = {{IDC_ABOVE_VALUE, aboveText, above, "above"},
                {IDC_BELOW_VALUE, belowText, below, "below"}};
  for (const auto& f : fields) {
    if (IsNumber(f.text) || (f.on == 0 && IsUnsetTripPoint(f.text))) continue;
    ui::ShowMessage(std::string("Please enter a number for the \"") + f.which +
                        "\" trip point (for example 30 or 30.5).",
                    ui::MessageIcon::Warning);
    GotoDlgCtrl(f.id);
    return false;
  }
  return true;
}

bool CAlarmEmail::ValidateServerFields() {
  if (!UpdateData(true)) return false;  // the port is not a number: said so already
  if (port < 1 || port > 65535) {
    ui::ShowMessage("Please enter a port number from 1 to 65535.", ui::MessageIcon::Warning);
    GotoDlgCtrl(IDC_PORT);
    return false;
  }
  if (Trimmed(serverName).empty()) {
    ui::ShowMessage("Please enter the name of the mail server.", ui::MessageIcon::Warning);
    GotoDlgCtrl(IDC_SERVER);
    return false;
  }
  return true;
}

}  // namespace km7::alarms
