#include "chart/ChartGeometry.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace km7::chart {
namespace {

constexpr int kPeriodsMs[kTimeBaseCount] = {300, 3600, 36000, 108000};

// top, span per scale: Celsius, then Fahrenheit.
constexpr TempRange kCelsiusRanges[kTempScaleCount] = {{125, 180}, {85, 95}, {30, 30}};
constexpr TempRange kFahrenheitRanges[kTempScaleCount] = {{257, 324}, {185, 171}, {86, 54}};

struct LabelRow {
  const char* text[6];
  int offset[6];
};
// Top, the four grid lines, bottom; offsets from the plot's left edge.
constexpr LabelRow kCelsiusLabels[kTempScaleCount] = {
    {{"125", "89", "53", "17", "-19", "-55"}, {-25, -18, -18, -18, -22, -22}},
    {{"85", "66", "47", "28", "9", "-10"}, {-18, -18, -18, -18, -10, -22}},
    {{"30", "24", "18", "12", "6", "0"}, {-18, -18, -18, -18, -10, -10}},
};
constexpr LabelRow kFahrenheitLabels[kTempScaleCount] = {
    {{"257", "193", "128", "63", "-2", "-67"}, {-25, -25, -25, -18, -15, -22}},
    {{"185", "150", "116", "82", "48", "14"}, {-25, -25, -25, -18, -18, -18}},
    {{"86", "76", "65", "54", "43", "32"}, {-18, -18, -18, -18, -18, -18}},
};

constexpr const char* kTimeTexts[kTimeBaseCount][5] = {
    {"1", "2", "3", "4", "5"},
    {"12", "24", "36", "48", "60"},
    {"2", "4", "6", "8", "10"},
    {"6", "12", "18", "24", "30"},
};

int ClampIndex(int i, int count) { return std::clamp(i, 0, count - 1); }

// top + trunc(fraction x extent), with the offset held within kFarPixels.
std::optional<int> Offset(int origin, double fraction, int extent) {
  const double d = fraction * extent;
  if (!std::isfinite(d)) return std::nullopt;
  const double held = std::clamp(d, -static_cast<double>(kFarPixels), static_cast<double>(kFarPixels));
  return origin + static_cast<int>(std::trunc(held));
}

// trunc(origin + extent * k / 5 - lift), the labels' rows beside the grid.
int GridRow(int origin, int extent, int k, int lift) {
  return static_cast<int>(std::trunc(origin + extent * k / 5.0 - lift));
}

}  // namespace

int TimeBasePeriodMs(int timeBase) { return kPeriodsMs[ClampIndex(timeBase, kTimeBaseCount)]; }

PlotRect PlotRectForClient(int clientWidth, int clientHeight) {
  return PlotRect{30, 46, clientWidth, clientHeight - 20};
}

TempRange TemperatureRange(int tempScale, int unit) {
  const int s = ClampIndex(tempScale, kTempScaleCount);
  return unit == 0 ? kFahrenheitRanges[s] : kCelsiusRanges[s];
}

double InDisplayUnit(double celsius, int unit) { return unit == 0 ? celsius * 9 / 5 + 32 : celsius; }

int BucketX(const PlotRect& plot, int bucket) {
  return plot.left + static_cast<int>(std::trunc(bucket / 1000.0 * plot.Width()));
}

std::optional<int> TemperatureY(const PlotRect& plot, const TempRange& range, double v) {
  return Offset(plot.top, (range.top - v) / range.span, plot.Height());
}

std::optional<int> HumidityY(const PlotRect& plot, double percent) {
  return Offset(plot.top, (100 - percent) / 100, plot.Height());
}

std::optional<int> BucketUnderPointer(const PlotRect& plot, int x) {
  const int w = plot.Width();
  if (w <= 0) return std::nullopt;
  const double b = std::trunc(static_cast<double>(x - plot.left) / w * 1000);
  // Never bucket 0, and never past the last one at the right edge.
  return static_cast<int>(std::clamp(b, 1.0, static_cast<double>(999)));
}

Grid GridLines(const PlotRect& plot) {
  Grid g;
  // Stepped in single precision, stopping before 1.
  int n = 0;
  for (float t = 0.2f; t < 1.0f && n < 4; t += 0.2f, ++n) {
    g.xs[n] = plot.left + static_cast<int>(t * static_cast<float>(plot.Width()));
    g.ys[n] = plot.top + static_cast<int>(t * static_cast<float>(plot.Height()));
  }
  return g;
}

std::vector<Label> TimeLabels(int timeBase, const PlotRect& plot) {
  const int tb = ClampIndex(timeBase, kTimeBaseCount);
  std::vector<Label> labels;
  const int y = plot.bottom + 4;
  for (int k = 1; k <= 4; ++k) {
    const int x = plot.left + static_cast<int>(std::trunc(plot.Width() * k / 5.0 - 5));
    labels.push_back({kTimeTexts[tb][k - 1], x, y});
  }
  labels.push_back({kTimeTexts[tb][4], plot.right - (tb == 0 ? 10 : 15), y});
  return labels;
}

std::vector<Label> TemperatureLabels(int tempScale, int unit, const PlotRect& plot) {
  const int s = ClampIndex(tempScale, kTempScaleCount);
  const LabelRow& row = unit == 0 ? kFahrenheitLabels[s] : kCelsiusLabels[s];
  std::vector<Label> labels;
  labels.push_back({row.text[0], plot.left + row.offset[0], plot.top});
  for (int k = 1; k <= 4; ++k)
    labels.push_back({row.text[k], plot.left + row.offset[k], GridRow(plot.top, plot.Height(), k, 7)});
  labels.push_back({row.text[5], plot.left + row.offset[5], plot.bottom - 7});
  return labels;
}

std::vector<Label> HumidityLabels(const PlotRect& plot) {
  static const char* const kTexts[4] = {"80", "60", "40", "20"};
  std::vector<Label> labels;
  for (int k = 1; k <= 4; ++k) labels.push_back({kTexts[k - 1], plot.right - 20, GridRow(plot.top, plot.Height(), k, 16)});
  return labels;
}

Legend LegendLabels(const PlotRect& plot) {
  // At 0, 15 and 30 rather than -3, 12 and 27: with this font the first line
  // would otherwise lose the top of its letters at the window's edge.
  return Legend{{"Temp", plot.right - 47, 0}, {"Dew Pt", plot.right - 57, 15}, {"Hum", plot.right - 42, 30}};
}

Label ResizeHint(const PlotRect& plot) {
  return {"Drag corner/edge to resize window", plot.left + 40, plot.bottom - 20};
}

int PointerLineX(const PlotRect& plot, int bucket) { return BucketX(plot, bucket); }

Edges NewestPointArea(int x, int y) { return {x - 2, y - 25, x + 2, y + 25}; }

Edges PointerLineArea(const PlotRect& plot, int pointerLineX) {
  return {pointerLineX - 5, plot.top + 1, pointerLineX + 5, plot.bottom - 1};
}

namespace {

void AppendSpan(std::vector<Span>& spans, int x, int a, int b) {
  const int top = std::min(a, b), bottom = std::max(a, b);
  if (!spans.empty()) {
    Span& last = spans.back();
    if (last.x == x && top <= last.bottom + 1 && bottom >= last.top - 1) {
      last.top = std::min(last.top, top);
      last.bottom = std::max(last.bottom, bottom);
      return;
    }
  }
  spans.push_back({x, top, bottom});
}

// floor(n / d) and ceil(n / d) for d > 0.
std::int64_t FloorDiv(std::int64_t n, std::int64_t d) { return n >= 0 ? n / d : -((-n + d - 1) / d); }
std::int64_t CeilDiv(std::int64_t n, std::int64_t d) { return -FloorDiv(-n, d); }

}  // namespace

void AppendLine(std::vector<Span>& spans, int x0, int y0, int x1, int y1) {
  const std::int64_t dx = std::int64_t{x1} - x0;
  const std::int64_t dy = std::int64_t{y1} - y0;
  const std::int64_t adx = dx < 0 ? -dx : dx;
  const std::int64_t ady = dy < 0 ? -dy : dy;
  const int step = dx < 0 ? -1 : 1;
  if (ady >= adx) {
    // Steep: each row has one pixel, in column x0 + round(t * dx); the rows
    // of the k-th column from x0 begin at y0 + ceil((2k - 1) * |dy| / (2 |dx|)).
    if (adx == 0) {
      AppendSpan(spans, x0, y0, y1);
      return;
    }
    const int dirY = dy < 0 ? -1 : 1;
    std::int64_t begin = 0;  // rows from y0, along the line
    for (std::int64_t k = 0; k <= adx; ++k) {
      const std::int64_t end = k == adx ? ady : CeilDiv((2 * k + 1) * ady, 2 * adx) - 1;
      if (end >= begin) {
        AppendSpan(spans, static_cast<int>(x0 + step * k), static_cast<int>(y0 + dirY * begin),
                   static_cast<int>(y0 + dirY * end));
      }
      begin = end + 1;
    }
    return;
  }
  // Shallow: one pixel per column, in row y0 + round(t * dy).
  for (std::int64_t k = 0; k <= adx; ++k) {
    const std::int64_t off = FloorDiv(2 * k * dy + adx, 2 * adx);
    const int y = static_cast<int>(y0 + off);
    AppendSpan(spans, static_cast<int>(x0 + step * k), y, y);
  }
}

bool NeedsSnap(int clientWidth, int clientHeight) {
  return clientWidth < kMinClientWidth || clientHeight < kMinClientHeight;
}

}  // namespace km7::chart
