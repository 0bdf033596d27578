#pragma once
// The chart's pixel arithmetic: pure functions of the plot rectangle, the
// scale, the unit and the values, in integer client pixels. The window and
// the benchmark draw with these; the tests check them without a window.
#include <array>
#include <optional>
#include <string>
#include <vector>

namespace km7::chart {

inline constexpr int kTimeBaseCount = 4;   // 5 Min, 1 Hr, 10 Hr, 30 Hr
inline constexpr int kTempScaleCount = 3;  // -55..125, -10..85, 0..30 °C

// The chart timer's period for a time base: a thousandth of its span.
int TimeBasePeriodMs(int timeBase);

// The plot area in client pixels. Width and height may be 0 or negative in a
// window too small for it.
struct PlotRect {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
  bool operator==(const PlotRect&) const = default;
};

// Room for the labels: 30 pixels on the left, 46 above (the button rows and
// the legend), 20 below (the time labels).
PlotRect PlotRectForClient(int clientWidth, int clientHeight);

// The temperature range shown, in the display unit (1 Celsius, 0 Fahrenheit).
struct TempRange {
  double top;   // value at the plot's top edge
  double span;  // top minus the value at the bottom edge
};
TempRange TemperatureRange(int tempScale, int unit);

// °C in the display unit.
double InDisplayUnit(double celsius, int unit);

// Pixel offsets are held to this far outside the plot: a value far off the
// scale still draws outside the plot area without overflowing an int.
inline constexpr int kFarPixels = 100000;

int BucketX(const PlotRect& plot, int bucket);
// Nothing for a value that is not a number or infinite.
std::optional<int> TemperatureY(const PlotRect& plot, const TempRange& range, double valueInUnit);
std::optional<int> HumidityY(const PlotRect& plot, double percent);

// The bucket under the pointer at client x, 1 to 999; nothing while the plot
// has no width (before the first paint, or in a window too narrow).
std::optional<int> BucketUnderPointer(const PlotRect& plot, int x);

// The four grid lines each way: x positions of the vertical, y of the
// horizontal ones.
struct Grid {
  std::array<int, 4> xs{};
  std::array<int, 4> ys{};
};
Grid GridLines(const PlotRect& plot);

// A text drawn left/top aligned at (x, y).
struct Label {
  std::string text;  // Windows-1252
  int x = 0, y = 0;
  bool operator==(const Label&) const = default;
};

// Below the plot: one per grid line and one at the right end.
std::vector<Label> TimeLabels(int timeBase, const PlotRect& plot);
// Left of the plot: top, four grid lines, bottom.
std::vector<Label> TemperatureLabels(int tempScale, int unit, const PlotRect& plot);
// Inside the plot at its right edge, just above the grid lines: 80, 60, 40, 20.
std::vector<Label> HumidityLabels(const PlotRect& plot);

// Legend beside the button rows, from the plot's right edge.
struct Legend {
  Label temp, dew, hum;
};
Legend LegendLabels(const PlotRect& plot);

// "Drag corner/edge to resize window", near the plot's bottom left.
Label ResizeHint(const PlotRect& plot);

// x of the pointer line for the bucket under the pointer.
int PointerLineX(const PlotRect& plot, int bucket);

// A rectangle as its edges (right and bottom exclusive).
struct Edges {
  int left = 0, top = 0, right = 0, bottom = 0;
  bool operator==(const Edges&) const = default;
};
// What the newest-points repaint invalidates around a curve's last point.
Edges NewestPointArea(int x, int y);
// What a pointer move invalidates around the old pointer line.
Edges PointerLineArea(const PlotRect& plot, int pointerLineX);

// A run of pixels in one column, rows top to bottom (both included).
struct Span {
  int x = 0, top = 0, bottom = 0;
  bool operator==(const Span&) const = default;
};
// Appends the pixels of the line from (x0, y0) to (x1, y1), both ends
// included, as one span per column, merged with the last span when that is in
// the same column and touches it. The curves are drawn this way: a few
// hundred rectangles cost far less than thousands of line segments.
void AppendLine(std::vector<Span>& spans, int x0, int y0, int x1, int y1);

// The window is snapped back to 420 x 300 when its client area becomes
// narrower or lower than this.
inline constexpr int kMinClientWidth = 390;
inline constexpr int kMinClientHeight = 150;
inline constexpr int kSnapOuterWidth = 420;
inline constexpr int kSnapOuterHeight = 300;
bool NeedsSnap(int clientWidth, int clientHeight);

}  // namespace km7::chart
