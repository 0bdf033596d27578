#include "chart/ChartPainter.h"

#include <QFontMetrics>
#include <QPaintEngine>
#include <QPainter>
#include <QRegion>
#include <QTransform>
#include <algorithm>
#include <cmath>
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

// Writes the spans straight into the image the painter draws on, when that is
// a plain 32-bit raster image without scaling: thousands of one-pixel-wide
// rectangles through the painter cost several times the whole rest of the
// paint. Clipped to the image, the engine's paint region and the painter's
// clip. Returns false when it cannot, and the painter draws them.
bool FillSpansDirect(QPainter& p, const std::vector<Span>& spans, const QColor& colour) {
  QPaintEngine* engine = p.paintEngine();
  if (engine == nullptr || engine->type() != QPaintEngine::Raster) return false;
  QPaintDevice* device = engine->paintDevice();
  if (device == nullptr || device->devType() != QInternal::Image) return false;
  auto* image = static_cast<QImage*>(device);
  const QImage::Format f = image->format();
  if (f != QImage::Format_RGB32 && f != QImage::Format_ARGB32 && f != QImage::Format_ARGB32_Premultiplied)
    return false;
  if (p.compositionMode() != QPainter::CompositionMode_SourceOver || p.opacity() != 1.0 || colour.alpha() != 255)
    return false;
  const QTransform t = p.deviceTransform();
  if (t.type() > QTransform::TxTranslate) return false;
  const int dx = static_cast<int>(std::lround(t.dx()));
  const int dy = static_cast<int>(std::lround(t.dy()));
  if (dx != t.dx() || dy != t.dy()) return false;

  QRegion clip = engine->systemClip();
  clip = clip.isEmpty() ? QRegion(image->rect()) : clip.intersected(image->rect());
  if (p.hasClipping()) clip = clip.intersected(p.clipRegion().translated(dx, dy));
  const QRgb pixel = colour.rgba();
  uchar* const bits = image->bits();
  const qsizetype stride = image->bytesPerLine();
  for (const QRect& area : clip) {
    for (const Span& s : spans) {
      const int x = s.x + dx;
      if (x < area.left() || x > area.right()) continue;
      const int top = std::max(s.top + dy, area.top());
      const int bottom = std::min(s.bottom + dy, area.bottom());
      for (int y = top; y <= bottom; ++y) reinterpret_cast<QRgb*>(bits + y * stride)[x] = pixel;
    }
  }
  return true;
}

// One curve: per bucket a stroke from its min to its max, joined from the
// previous bucket's max. Buckets with a value that is not finite are left
// out, and the curve starts again after them.
std::optional<QPoint> DrawCurve(QPainter& p, const PlotRect& plot, int count, const QColor& colour,
                                const std::function<std::optional<int>(int, bool)>& y) {
  static thread_local std::vector<Span> spans;
  static thread_local std::vector<QRect> rects;
  spans.clear();
  std::optional<QPoint> last;
  bool started = false;
  for (int i = 0; i < count; ++i) {
    const auto y1 = y(i, false);
    const auto y2 = y(i, true);
    if (!y1 || !y2) {
      started = false;
      continue;
    }
    const int x = BucketX(plot, i);
    // The first point of a run is only moved to: its stroke is not drawn.
    if (started) {
      AppendLine(spans, last->x(), last->y(), x, *y1);
      AppendLine(spans, x, *y1, x, *y2);
    }
    started = true;
    last = QPoint(x, *y2);
  }
  if (FillSpansDirect(p, spans, colour)) return last;
  rects.clear();
  rects.reserve(spans.size());
  for (const Span& s : spans) rects.emplace_back(s.x, s.top, 1, s.bottom - s.top + 1);
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  if (!rects.empty()) p.drawRects(rects.data(), static_cast<int>(rects.size()));
  p.setBrush(Qt::NoBrush);
  return last;
}

}  // namespace

ChartPaintResult PaintChart(QPainter& p, const ChartPaintInput& in, const History& h) {
  ChartPaintResult out;
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setBackgroundMode(Qt::TransparentMode);
  p.setPen(QPen(colour::kFrame, 1));

  const PlotRect plot = PlotRectForClient(in.clientWidth, in.clientHeight);
  out.plot = plot;
  const bool hasPlot = plot.Width() > 0 && plot.Height() > 0;
  const QRect client(-1, -1, in.clientWidth + 2, in.clientHeight + 2);
  if (hasPlot) {
    // The background around the plot only: the plot is filled next, and a
    // large window's pixels are the paint's main cost.
    const QRect inner(plot.left, plot.top, plot.Width(), plot.Height());
    p.fillRect(QRect(client.left(), client.top(), client.width(), inner.top() - client.top()), colour::kBackground);
    p.fillRect(QRect(client.left(), inner.bottom() + 1, client.width(), client.bottom() - inner.bottom()),
               colour::kBackground);
    p.fillRect(QRect(client.left(), inner.top(), inner.left() - client.left(), inner.height()), colour::kBackground);
    p.fillRect(QRect(inner.right() + 1, inner.top(), client.right() - inner.right(), inner.height()),
               colour::kBackground);
  } else {
    p.fillRect(client, colour::kBackground);
  }
  if (hasPlot) {
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
  auto curve = [&](Curve c) { return [&, c](int i, bool top) { return CurveY(in, plot, h, c, i, top); }; };
  out.lastPoints[kTempCurve] = DrawCurve(p, plot, count, colour::kTemperature, curve(kTempCurve));
  if (in.showDewPoint) out.lastPoints[kDewCurve] = DrawCurve(p, plot, count, colour::kDewPoint, curve(kDewCurve));
  out.lastPoints[kHumCurve] = DrawCurve(p, plot, count, colour::kHumidity, curve(kHumCurve));

  if (in.pointerBucket) {
    const int x = PointerLineX(plot, *in.pointerBucket);
    p.setPen(QPen(colour::kPointer, 1));
    p.drawLine(x, plot.top, x, plot.bottom);
    out.pointerLineX = x;
  }
  return out;
}

std::optional<int> CurveY(const ChartPaintInput& in, const PlotRect& plot, const History& h, Curve curve, int i,
                          bool top) {
  if (i < 0 || i >= kBucketCount) return std::nullopt;
  switch (curve) {
    case kTempCurve:
      return TemperatureY(plot, TemperatureRange(in.tempScale, in.unit),
                          InDisplayUnit(top ? h.tempMax[i] : h.tempMin[i], in.unit));
    case kDewCurve:
      return TemperatureY(plot, TemperatureRange(in.tempScale, in.unit),
                          InDisplayUnit(top ? h.dewMax[i] : h.dewMin[i], in.unit));
    case kHumCurve:
      return HumidityY(plot, top ? h.humMax[i] : h.humMin[i]);
  }
  return std::nullopt;
}

std::optional<QRect> NewestStrokeArea(const ChartPaintInput& in, const History& h) {
  const PlotRect plot = PlotRectForClient(in.clientWidth, in.clientHeight);
  const int i = std::clamp(h.historyIndex, 0, kBucketCount) - 1;
  if (i < 1 || plot.Width() <= 0 || plot.Height() <= 0) return std::nullopt;
  const int x0 = BucketX(plot, i - 1), x1 = BucketX(plot, i);
  QRect area;
  for (const Curve c : {kTempCurve, kDewCurve, kHumCurve}) {
    if (c == kDewCurve && !in.showDewPoint) continue;
    const auto y = [&](int bucket, bool top) { return CurveY(in, plot, h, c, bucket, top); };
    const auto a1 = y(i - 1, false), a2 = y(i - 1, true), b1 = y(i, false), b2 = y(i, true);
    // Either end in a gap: the curve draws no stroke to this bucket.
    if (!a1 || !a2 || !b1 || !b2) continue;
    // The previous bucket's own stroke is drawn unless it began a run.
    const bool previousDrawn = y(i - 2, false) && y(i - 2, true);
    if (previousDrawn && x0 == x1 && *a1 == *b1 && *a2 == *b2) continue;
    const int top = std::min({*a2, *b1, *b2}), bottom = std::max({*a2, *b1, *b2});
    area |= QRect(QPoint(x0, top), QPoint(x1, bottom));
  }
  if (area.isNull()) return std::nullopt;
  return area.adjusted(-2, -2, 2, 2);
}

}  // namespace km7::chart
