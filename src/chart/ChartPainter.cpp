#include "chart/ChartPainter.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPolygon>
#include <algorithm>
#include <functional>
#include <vector>

#include "ui/QtText.h"

namespace km7::chart {
namespace {

// Opaque text, left/top aligned at the label's point.
void DrawLabel(QPainter& p, const Label& l, const QColor& ink, const QColor& back) {
  const QString text = ui::ToQString(l.text);
  const QFontMetrics fm = p.fontMetrics();
  p.fillRect(QRect(l.x, l.y, fm.horizontalAdvance(text), fm.height()), back);
  p.setPen(ink);
  p.drawText(l.x, l.y + fm.ascent(), text);
}

// One curve: per bucket a stroke from its min to its max, joined from the
// previous bucket's max. Buckets with a value that is not finite are left
// out, and the curve starts again after them.
std::optional<QPoint> DrawCurve(QPainter& p, const PlotRect& plot, int count, const QColor& colour,
                                const std::function<std::optional<int>(int, bool)>& y) {
  p.setPen(QPen(colour, 1));
  std::vector<QPoint> run;
  run.reserve(2 * static_cast<std::size_t>(count));
  std::optional<QPoint> last;
  auto flush = [&] {
    if (run.size() > 1) p.drawPolyline(run.data(), static_cast<int>(run.size()));
    run.clear();
  };
  for (int i = 0; i < count; ++i) {
    const auto y1 = y(i, false);
    const auto y2 = y(i, true);
    if (!y1 || !y2) {
      flush();
      continue;
    }
    const int x = BucketX(plot, i);
    // The first point of a run is only moved to: its stroke is not drawn.
    if (!run.empty()) run.emplace_back(x, *y1);
    run.emplace_back(x, *y2);
    last = QPoint(x, *y2);
  }
  flush();
  return last;
}

}  // namespace

ChartPaintResult PaintChart(QPainter& p, const ChartPaintInput& in, const History& h) {
  ChartPaintResult out;
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setBackgroundMode(Qt::TransparentMode);
  p.setPen(QPen(colour::kFrame, 1));

  p.fillRect(QRect(-1, -1, in.clientWidth + 2, in.clientHeight + 2), colour::kBackground);

  const PlotRect plot = PlotRectForClient(in.clientWidth, in.clientHeight);
  out.plot = plot;
  if (plot.Width() > 0 && plot.Height() > 0) {
    // Filled white inside a black frame whose right and bottom edges are
    // the last pixels inside the rectangle.
    p.fillRect(QRect(plot.left, plot.top, plot.Width(), plot.Height()), colour::kPlot);
    p.setPen(QPen(colour::kFrame, 1));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(plot.left, plot.top, plot.Width() - 1, plot.Height() - 1));
  }

  const Grid grid = GridLines(plot);
  p.setPen(QPen(colour::kFrame, 1));
  for (int x : grid.xs) p.drawLine(x, plot.top, x, plot.bottom);
  for (int y : grid.ys) p.drawLine(plot.left, y, plot.right, y);

  if (in.drawHint) DrawLabel(p, ResizeHint(plot), colour::kFrame, colour::kBackground);
  for (const Label& l : TimeLabels(in.timeBase, plot)) DrawLabel(p, l, colour::kFrame, colour::kBackground);
  for (const Label& l : TemperatureLabels(in.tempScale, in.unit, plot))
    DrawLabel(p, l, colour::kFrame, colour::kBackground);
  const Legend legend = LegendLabels(plot);
  DrawLabel(p, legend.temp, colour::kTemperature, colour::kBackground);
  DrawLabel(p, legend.dew, colour::kDewPoint, colour::kBackground);
  DrawLabel(p, legend.hum, colour::kHumidity, colour::kBackground);
  for (const Label& l : HumidityLabels(plot)) DrawLabel(p, l, colour::kHumidity, colour::kPlot);

  const int count = std::clamp(h.historyIndex, 0, kBucketCount);
  const TempRange range = TemperatureRange(in.tempScale, in.unit);
  auto temperature = [&](const std::array<double, kBucketCount>& min, const std::array<double, kBucketCount>& max) {
    return [&plot, &range, &in, &min, &max](int i, bool top) {
      return TemperatureY(plot, range, InDisplayUnit(top ? max[i] : min[i], in.unit));
    };
  };
  out.lastPoints[kTempCurve] = DrawCurve(p, plot, count, colour::kTemperature, temperature(h.tempMin, h.tempMax));
  if (in.showDewPoint)
    out.lastPoints[kDewCurve] = DrawCurve(p, plot, count, colour::kDewPoint, temperature(h.dewMin, h.dewMax));
  out.lastPoints[kHumCurve] = DrawCurve(p, plot, count, colour::kHumidity, [&](int i, bool top) {
    return HumidityY(plot, top ? h.humMax[i] : h.humMin[i]);
  });

  if (in.pointerBucket) {
    const int x = PointerLineX(plot, *in.pointerBucket);
    p.setPen(QPen(colour::kPointer, 1));
    p.drawLine(x, plot.top, x, plot.bottom);
    out.pointerLineX = x;
  }
  return out;
}

}  // namespace km7::chart
