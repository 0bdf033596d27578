// The main window's hook points for the chart (see Km7Dlg.h for when each is
// called). Stand-ins until the chart lands.
#include "app/Km7Dlg.h"

void CKm7Dlg::OnCharting() {}
void CKm7Dlg::RecordChartSample(const km7::Reading& /*reading*/) {}
void CKm7Dlg::ReplaceChartWindow(bool /*clearHistory*/) {}
void CKm7Dlg::CloseChartWindow() {}
