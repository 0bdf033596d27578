// The main window's hook points for the alarm e-mail (see Km7Dlg.h for when
// each is called).
#include "app/Km7Dlg.h"

void CKm7Dlg::OnTempEmail() {}
void CKm7Dlg::OnHumEmail() {}
// Until the alarm e-mail lands the dispatches only count their calls.
void CKm7Dlg::SendTemperatureAlarmMail() { ++temperatureMailCalls; }
void CKm7Dlg::SendHumidityAlarmMail() { ++humidityMailCalls; }
