#include "chart/Chart.h"

#include <QPainter>
#include <QRect>
#include <algorithm>
#include <ctime>

#include "chart/ChartPainter.h"
#include "chart/ChartText.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"

namespace km7::chart {
namespace {

namespace values = km7::profile;

ProfileStore& Settings() { return ProfileStore::Instance(); }

QRect ToQRect(const Edges& e) { return QRect(e.left, e.top, e.right - e.left, e.bottom - e.top); }

// A stored index outside its table is taken as the first entry.
int Index(int stored, int count) { return stored >= 0 && stored < count ? stored : 0; }

}  // namespace

ui::DialogTemplate ChartTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "T/H/D Chart";
  t.x = 150;
  t.y = 0;
  t.width = 263;
  t.height = 145;
  t.pointSize = 8;
  t.style = kCaption | kSizing;
  t.controls = {
      {IDC_STATIC, Kind::Static, "Time :", 4, 0, 21, 10, kNoWrap},
      {IDC_TIME_5MIN, Kind::RadioButton, "5 Min", 25, 0, 33, 12, kGroup},
      {IDC_TIME_1HR, Kind::RadioButton, "1 Hr", 59, 0, 28, 12},
      {IDC_TIME_10HR, Kind::RadioButton, "10 Hr", 88, 0, 31, 12},
      {IDC_TIME_30HR, Kind::RadioButton, "30 Hr", 120, 0, 31, 12},
      {IDC_SHOW_DEW_POINT, Kind::CheckBox, "Show Dew Point", 154, 1, 67, 10},
      {IDC_STATIC, Kind::Static, "Scale: ", 4, 12, 21, 10, kNoWrap},
      {IDC_SCALE_WIDE, Kind::RadioButton, "-55 to 125\xB0" "C", 25, 13, 57, 9, kGroup},
      {IDC_SCALE_MEDIUM, Kind::RadioButton, "-10 to 85\xB0" "C", 87, 13, 56, 9},
      {IDC_SCALE_NARROW, Kind::RadioButton, "0 to 30\xB0" "C", 146, 13, 47, 9},
      // Takes the Enter key, which then does nothing.
      {IDC_CHART_DEF, Kind::PushButton, "DEF", 250, 124, 6, 14, kDefault | kHidden},
  };
  return t;
}

CChart::CChart(History& history, ui::CDialog* owner) : CDialog(ChartTemplate(), owner), history_(history) {
  for (int i = 0; i < kTimeBaseCount; ++i) Bind(ui::Notify::Clicked, kTimeBaseIds[i], [this, i] { OnTimeBase(i); });
  for (int i = 0; i < kTempScaleCount; ++i) Bind(ui::Notify::Clicked, kScaleIds[i], [this, i] { OnScale(i); });
  On<CChart>(ui::Notify::Clicked, IDC_SHOW_DEW_POINT, &CChart::OnShowDewPoint);
  // Enter goes to the hidden default button, which has no handler.
  Bind(ui::Notify::Clicked, IDC_CHART_DEF, [] {});
}

CChart::~CChart() {
  readout_.reset();
  DestroyWindow();
}

void CChart::DoDataExchange(ui::CDataExchange& dx) {
  ui::DDX_Radio(dx, IDC_TIME_5MIN, timeBase);
  ui::DDX_Radio(dx, IDC_SCALE_WIDE, tempScale);
  ui::DDX_Check(dx, IDC_SHOW_DEW_POINT, showDewPoint);
}

bool CChart::OnInitDialog() {
  CDialog::OnInitDialog();
  hintPaintCount = 0;
  if (Unit() == kUnitFahrenheit) {
    for (int i = 0; i < kTempScaleCount; ++i) SetDlgItemText(kScaleIds[i], ScaleCaption(i, 0));
  }
  tempScale = Index(Settings().ReadInt(values::ChartTempScale, values::kFixedSuffix), kTempScaleCount);
  timeBase = Index(Settings().ReadInt(values::ChartTimeScale, values::kFixedSuffix), kTimeBaseCount);
  showDewPoint = Settings().ReadInt(values::ChartDewPoint, values::kFixedSuffix) != 0 ? 1 : 0;
  SetTimer(kAdvanceTimerId, TimeBasePeriodMs(timeBase));
  SetTitle();
  UpdateData(false);
  Invalidate();
  return true;
}

void CChart::SetTitle() { SetWindowText(ChartTitle(tempScale, Unit(), sensor ? sensor->name : std::string())); }

int CChart::Unit() const { return sensor ? sensor->unit : kUnitCelsius; }

void CChart::OnTimeBase(int index) {
  history_.historyIndex = 0;
  SetTimer(kAdvanceTimerId, TimeBasePeriodMs(index));
  UpdateData(true);
  history_.Clear();
  Invalidate();
}

void CChart::OnScale(int index) {
  tempScale = index;
  SetTitle();
  UpdateData(true);
  Invalidate();
}

void CChart::OnShowDewPoint() {
  UpdateData(true);
  Invalidate();
}

void CChart::OnCancel() {
  Close();
  if (onClosedByUser) onClosedByUser();
}

void CChart::Close() {
  if (!IsWindow()) return;
  Settings().WriteInt(values::ChartTempScale, values::kFixedSuffix, tempScale);
  Settings().WriteInt(values::ChartTimeScale, values::kFixedSuffix, timeBase);
  Settings().WriteInt(values::ChartDewPoint, values::kFixedSuffix, showDewPoint);
  CloseReadout();
  DestroyWindow();
}

void CChart::CloseReadout() { readout_.reset(); }

void CChart::OnTimer(int id) {
  if (id == kAdvanceTimerId) {
    if (history_.Advance(currentReading ? currentReading() : std::nullopt)) {
      Invalidate();
    } else {
      RepaintNewestPoints();
    }
  } else if (id == kReadoutTimerId) {
    KillTimer(kReadoutTimerId);
    CloseReadout();
    // The pointer line goes with the readout.
    InvalidateRect(ToQRect(PointerLineArea(plotRect, pointerLineX)));
  } else {
    CDialog::OnTimer(id);
  }
}

void CChart::RepaintNewestPoints() {
  // Computed from the history and the window's size, not from what the last
  // paint drew: a fresh history had no points then, and its first strokes
  // must show all the same.
  const ChartPaintInput in = PaintInput();
  if (PlotRectForClient(in.clientWidth, in.clientHeight).Width() <= 0) return;
  if (const std::optional<QRect> area = NewestStrokeArea(in, history_)) InvalidateRect(*area);
}

ChartPaintInput CChart::PaintInput() const {
  const QRect client = GetClientRect();
  ChartPaintInput in;
  in.clientWidth = client.width();
  in.clientHeight = client.height();
  in.timeBase = timeBase;
  in.tempScale = tempScale;
  in.unit = Unit();
  in.showDewPoint = showDewPoint == 1;
  return in;
}

void CChart::OnPaint(QPainter& painter) {
  ChartPaintInput in = PaintInput();
  // Every paint counts, also one of a small area.
  in.drawHint = hintPaintCount < 2;
  if (in.drawHint) ++hintPaintCount;
  if (readout_ && readout_->IsWindow()) in.pointerBucket = readoutIndex;
  const ChartPaintResult r = PaintChart(painter, in, history_);
  plotRect = r.plot;
  lastCurvePoints = r.lastPoints;
  if (r.pointerLineX) pointerLineX = *r.pointerLineX;
}

void CChart::OnMouseMove(int x, int y) {
  if (y < kButtonRowsBottom) return;
  // Before the first paint, or while the plot has no width, there is no
  // bucket under the pointer.
  const std::optional<int> bucket = BucketUnderPointer(plotRect, x);
  if (!bucket) return;
  SetTimer(kReadoutTimerId, kReadoutTimeoutMs);
  if (!readout_ || !readout_->IsWindow()) {
    readout_ = std::make_unique<CChartData>(this);
    if (!readout_->Create(this)) {
      readout_.reset();
      return;
    }
  }
  if (!readout_->IsWindowVisible()) readout_->ShowWindow(true);  // hidden by its own Escape
  readoutIndex = *bucket;
  readout_->Show(FormatReadout(history_, readoutIndex));
  InvalidateRect(ToQRect(PointerLineArea(plotRect, pointerLineX)));
  // The line's new place is outside that area once the pointer has moved on.
  InvalidateRect(ToQRect(PointerLineArea(plotRect, PointerLineX(plotRect, readoutIndex))));
}

void CChart::OnSize(int clientWidth, int clientHeight) {
  if (NeedsSnap(clientWidth, clientHeight)) SetWindowSize(kSnapOuterWidth, kSnapOuterHeight);
  Invalidate();
}

CChart* ChartWindowHolder::Get() const { return chart_ && chart_->IsWindow() ? chart_.get() : nullptr; }

CChart& ChartWindowHolder::Open(ui::CDialog* owner) {
  Close();
  chart_ = std::make_unique<CChart>(history_, owner);
  chart_->currentReading = currentReading;
  chart_->sensor = sensor;
  chart_->onClosedByUser = [this] {
    if (onClosedByUser) onClosedByUser();
  };
  chart_->Create(owner);
  return *chart_;
}

void ChartWindowHolder::Close() {
  if (chart_) chart_->Close();
}

}  // namespace km7::chart
