#pragma once
// CChart: the chart window. Modeless and resizable; plots the history it is
// given over one of four time bases on one of three temperature scales, moves
// to the next bucket on its own timer and shows the pointer readout.
#include <QPoint>
#include <array>
#include <functional>
#include <memory>
#include <optional>

#include "chart/ChartData.h"
#include "chart/ChartGeometry.h"
#include "chart/ChartHistory.h"
#include "chart/ChartPainter.h"
#include "settings/OpenSensor.h"
#include "ui/Dialog.h"

namespace km7::chart {

inline constexpr int kChartTemplateId = 132;
inline constexpr int IDC_SHOW_DEW_POINT = 1000;
inline constexpr int IDC_CHART_DEF = 1032;
inline constexpr int IDC_TIME_5MIN = 1043;
inline constexpr int IDC_TIME_1HR = 1044;
inline constexpr int IDC_TIME_10HR = 1045;
inline constexpr int IDC_TIME_30HR = 1049;
inline constexpr int IDC_SCALE_WIDE = 1046;    // -55 to 125 °C
inline constexpr int IDC_SCALE_MEDIUM = 1047;  // -10 to 85 °C
inline constexpr int IDC_SCALE_NARROW = 1048;  // 0 to 30 °C
inline constexpr int kTimeBaseIds[kTimeBaseCount] = {IDC_TIME_5MIN, IDC_TIME_1HR, IDC_TIME_10HR, IDC_TIME_30HR};
inline constexpr int kScaleIds[kTempScaleCount] = {IDC_SCALE_WIDE, IDC_SCALE_MEDIUM, IDC_SCALE_NARROW};

inline constexpr int kAdvanceTimerId = 100;
inline constexpr int kReadoutTimerId = 300;
inline constexpr int kReadoutTimeoutMs = 1000;
// Pointer moves above this y are over the button rows.
inline constexpr int kButtonRowsBottom = 40;

ui::DialogTemplate ChartTemplate();

class CChart : public ui::CDialog {
 public:
  // The history outlives the chart: it is kept while no chart is open.
  CChart(History& history, ui::CDialog* owner);
  ~CChart() override;

  bool OnInitDialog() override;
  void DoDataExchange(ui::CDataExchange& dx) override;
  // Escape: the window closes (Close), then onClosedByUser runs.
  void OnCancel() override;
  void OnTimer(int id) override;
  void OnPaint(QPainter& painter) override;
  void OnMouseMove(int x, int y) override;
  void OnSize(int clientWidth, int clientHeight) override;

  // Saves the settings, closes the readout and destroys the window; the
  // history stays.
  void Close();
  void CloseReadout();
  CChartData* Readout() const { return readout_.get(); }

  // Repaints the small area the newest bucket's stroke adds, if any; the whole
  // plot when its place is not known yet.
  void RepaintNewestPoints();

  // Runs after the user closed the window (Escape), not after Close().
  std::function<void()> onClosedByUser;
  // Where a new bucket's first values come from: the sensor's latest, nothing
  // while no reading is current (the bucket is then a gap). None given: a gap.
  std::function<std::optional<Reading>()> currentReading;
  // The sensor it shows: its name in the title, its unit on the axes.
  const OpenSensor* sensor = nullptr;
  int Unit() const;

  // Members exchanged with the controls.
  int timeBase = 0;
  int tempScale = 2;
  int showDewPoint = 1;

  // State of the last paint and the pointer.
  PlotRect plotRect;
  std::array<std::optional<QPoint>, 3> lastCurvePoints;
  int pointerLineX = 0;
  int readoutIndex = 1;
  int hintPaintCount = 0;

 private:
  void OnTimeBase(int index);
  void OnScale(int index);
  void OnShowDewPoint();
  void SetTitle();
  ChartPaintInput PaintInput() const;

  History& history_;
  std::unique_ptr<CChartData> readout_;
};

// The program's chart window (none, or one open) and the history every chart
// it opens shows.
class ChartWindowHolder {
 public:
  explicit ChartWindowHolder(History& history) : history_(history) {}
  // Each chart calls back into its holder.
  ChartWindowHolder(const ChartWindowHolder&) = delete;
  ChartWindowHolder& operator=(const ChartWindowHolder&) = delete;

  // The open chart, nullptr when none.
  CChart* Get() const;
  // Opens a new chart owned by owner; an open one is closed first.
  CChart& Open(ui::CDialog* owner);
  // The chart's cancel operation when one is open.
  void Close();
  // Runs whenever the user closes the chart himself.
  std::function<void()> onClosedByUser;
  // Handed to every chart opened: the current reading, if any.
  std::function<std::optional<Reading>()> currentReading;
  // Handed to every chart opened: the sensor it shows (name, unit).
  const OpenSensor* sensor = nullptr;

 private:
  History& history_;
  // Destroyed with the holder: the main window keeps it, so the chart goes
  // before the application object does.
  std::unique_ptr<CChart> chart_;
};

}  // namespace km7::chart
