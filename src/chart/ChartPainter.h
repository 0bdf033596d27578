#pragma once
// Draws the chart (background, plot, grid, labels, legend, curves, pointer
// line) with a QPainter in integer client pixels. The window paints with it;
// the benchmark and the image tests too.
#include <QColor>
#include <QPoint>
#include <QRect>
#include <array>
#include <optional>

#include "chart/ChartGeometry.h"
#include "chart/ChartHistory.h"

class QPainter;

namespace km7::chart {

namespace colour {
inline const QColor kBackground(214, 211, 206);
inline const QColor kPlot(255, 255, 255);
inline const QColor kFrame(0, 0, 0);
inline const QColor kTemperature(255, 0, 0);
inline const QColor kDewPoint(0, 175, 0);
inline const QColor kHumidity(0, 0, 255);
inline const QColor kPointer(200, 200, 200);
}  // namespace colour

enum Curve { kTempCurve = 0, kDewCurve = 1, kHumCurve = 2 };

struct ChartPaintInput {
  int clientWidth = 0, clientHeight = 0;
  int timeBase = 0, tempScale = 0;
  int unit = 1;  // 1 Celsius, 0 Fahrenheit
  bool showDewPoint = false;
  bool drawHint = false;
  std::optional<int> pointerBucket;  // while the readout shows
};

struct ChartPaintResult {
  PlotRect plot;
  // The last point drawn of each curve (by Curve), for the newest-points repaint.
  std::array<std::optional<QPoint>, 3> lastPoints;
  std::optional<int> pointerLineX;
};

ChartPaintResult PaintChart(QPainter& p, const ChartPaintInput& in, const History& history);

// The pixel row of a curve's value in a bucket (its maximum when top, else its
// minimum); nothing while the bucket holds no value.
std::optional<int> CurveY(const ChartPaintInput& in, const PlotRect& plot, const History& history, Curve curve,
                          int bucket, bool top);

// What the newest bucket's stroke adds to the picture (from the previous
// bucket's point to its own), in client pixels. Nothing when it adds nothing:
// a gap, or the same pixels the stroke before it already drew.
std::optional<QRect> NewestStrokeArea(const ChartPaintInput& in, const History& history);

}  // namespace km7::chart
