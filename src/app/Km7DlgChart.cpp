// The main window's hook points for the chart (see Km7Dlg.h for when each is
// called).
#include <ctime>
#include <optional>

#include "app/Km7Dlg.h"
#include "chart/Chart.h"
#include "chart/ChartHistory.h"

namespace {

km7::chart::Reading ChartReading(const km7::Reading& r) { return {r.temperature, r.relativeHumidity, r.dewPoint}; }

// A new bucket starts at the sensor's latest values, or empty while they are
// not current: a lost reading is a gap, not the last values drawn on.
std::optional<km7::chart::Reading> CurrentReading(const km7::Reading& r) {
  if (!r.current) return std::nullopt;
  return ChartReading(r);
}

void OpenChart(CKm7Dlg& window) {
  // A chart closed with Escape clears the Charting box, so the box always
  // says whether a chart is open.
  window.chartWindow.onClosedByUser = [&window] {
    window.chartingOn = 0;
    window.CheckDlgButton(km7::IDC_CHARTING, 0);
  };
  window.chartWindow.currentReading = [&window] { return CurrentReading(window.acquisition.Read()); };
  window.chartWindow.sensor = &window.openSensor;
  window.chartWindow.Open(&window);
}

}  // namespace

void CKm7Dlg::OnCharting() {
  SaveControls();
  if (chartingOn == 0) {
    chartWindow.Close();
    return;
  }
  if (chartWindow.Get() == nullptr) OpenChart(*this);
  if (km7::chart::CChart* chart = chartWindow.Get()) chart->Invalidate();
}

void CKm7Dlg::RecordChartSample(const km7::Reading& reading) {
  // Old values are no history: the chart shows a gap, not the past again.
  if (!reading.current) return;
  chartHistory.Record(ChartReading(reading), static_cast<std::int64_t>(std::time(nullptr)));
}

void CKm7Dlg::ReplaceChartWindow(bool clearHistory) {
  if (chartWindow.Get() == nullptr) return;
  chartWindow.Close();
  OpenChart(*this);
  if (clearHistory) chartHistory.Clear();
  if (km7::chart::CChart* chart = chartWindow.Get()) chart->Invalidate();
}

void CKm7Dlg::CloseChartWindow() { chartWindow.Close(); }
