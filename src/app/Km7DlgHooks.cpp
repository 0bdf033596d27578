// The main window's hook points for the data log, the chart and the alarm
// e-mail (see Km7Dlg.h for when each is called). Each feature fills in its
// own bodies here.
#include "app/Km7Dlg.h"

void CKm7Dlg::ResetDataLogCounters() {}
void CKm7Dlg::RestartDataLogAtStartup() {}
bool CKm7Dlg::AppendLogRowIfDue() { return true; }
void CKm7Dlg::OnLogging() {}
void CKm7Dlg::CloseLogFiles() {}

void CKm7Dlg::OnCharting() {}
void CKm7Dlg::RecordChartSample() {}
void CKm7Dlg::ReplaceChartWindow(bool /*clearHistory*/) {}
void CKm7Dlg::CloseChartWindow() {}

void CKm7Dlg::OnTempEmail() {}
void CKm7Dlg::OnHumEmail() {}
// Until the alarm e-mail lands the dispatches only count their calls.
void CKm7Dlg::SendTemperatureAlarmMail() { ++temperatureMailCalls; }
void CKm7Dlg::SendHumidityAlarmMail() { ++humidityMailCalls; }
