// The Email boxes beside temperature and humidity in the main window.
#include "alarms/AlarmEmailDlg.h"
#include "alarms/AlarmKindSettings.h"
#include "settings/OpenSensor.h"
#include "settings/ProfileStore.h"
#include "ui/MessageBox.h"

namespace km7::alarms {

void OnEmailBoxClicked(AlarmKind kind, EmailBoxHost& host) {
  const bool temperature = kind == AlarmKind::Temperature;
  ProfileStore& s = ProfileStore::Instance();
  host.SaveControls();
  const std::string sensor = host.SettingsName();
  const profile::Value& onOff = SettingsOf(kind).emailOn;
  if (host.EmailOn(kind) != 1) {
    ui::ShowMessage(temperature ? "Email deactivated for Temperature alarms."
                                : "Email deactivated for Humidity alarms.",
                    ui::MessageIcon::Warning);
    s.WriteInt(onOff, sensor, 0);
    return;
  }
  host.Sensor().name = sensor == kNameDriversReady ? kNoSensorSelected : sensor;
  s.WriteInt(onOff, sensor, 1);
  CAlarmEmail dialog(kind, host.CurrentValues(), host.Sensor());
  dialog.serverSaved = [&host] { host.MailSettingsChanged(); };
  const bool ok = dialog.DoModal() == ui::IDOK;
  // Saved server settings take effect for waiting mail at once.
  host.MailSettingsChanged();
  if (!ok) {
    // Stored as the box shows it: off.
    host.SaveControls();
    host.EmailOn(kind) = 0;
    s.WriteInt(onOff, sensor, 0);
    host.LoadControls();
    return;
  }
  if (temperature)
    host.Sensor().bands.temperature = ReadTemperatureBand(sensor);
  else
    host.Sensor().bands.humidity = ReadHumidityBand(sensor);
}

}  // namespace km7::alarms
