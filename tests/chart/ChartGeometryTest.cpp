// The chart's pixel arithmetic against its tables, without a window.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <utility>
#include <vector>

#include "chart/ChartGeometry.h"

namespace km7::chart {
namespace {

// The plot of a 420 x 300 client area: 30, 46 to 420, 280 (390 x 234).
const PlotRect kPlot = PlotRectForClient(420, 300);
constexpr int kC = 1, kF = 0;

TEST(ChartGeometry, PlotRectLeavesRoomForTheLabels) {
  EXPECT_EQ(kPlot, (PlotRect{30, 46, 420, 280}));
  EXPECT_EQ(kPlot.Width(), 390);
  EXPECT_EQ(kPlot.Height(), 234);
}

TEST(ChartGeometry, TemperatureScaleEndsLieOnThePlotEdges) {
  struct Case {
    int scale, unit;
    double bottom, top;
  };
  const Case cases[] = {
      {0, kC, -55, 125}, {1, kC, -10, 85}, {2, kC, 0, 30},
      {0, kF, -67, 257}, {1, kF, 14, 185}, {2, kF, 32, 86},
  };
  for (const Case& c : cases) {
    const TempRange r = TemperatureRange(c.scale, c.unit);
    EXPECT_EQ(TemperatureY(kPlot, r, c.bottom), kPlot.bottom) << c.scale << " " << c.unit;
    EXPECT_EQ(TemperatureY(kPlot, r, c.top), kPlot.top) << c.scale << " " << c.unit;
  }
}

TEST(ChartGeometry, ValueToPixelTruncatesTowardZero) {
  struct Case {
    double value;
    int expected;
  };
  // Scale 2 in Celsius: 30 at the top, a span of 30 over 234 pixels.
  const TempRange r = TemperatureRange(2, kC);
  const Case cases[] = {
      {25.0, 46 + 39},           // 5/30 x 234 = 39
      {29.9, 46 + 0},            // 0.78 truncated
      {30.1, 46 + 0},            // -0.78 truncated toward zero, not down
      {31.0, 46 - 7},            // above the scale: above the plot
      {-5.0, 46 + 273},          // below: below the plot
  };
  for (const Case& c : cases) EXPECT_EQ(TemperatureY(kPlot, r, c.value), c.expected) << c.value;
  EXPECT_EQ(HumidityY(kPlot, 100), kPlot.top);
  EXPECT_EQ(HumidityY(kPlot, 0), kPlot.bottom);
  EXPECT_EQ(HumidityY(kPlot, 50), kPlot.top + 117);
  EXPECT_EQ(HumidityY(kPlot, 33.3), kPlot.top + static_cast<int>((100 - 33.3) / 100 * 234));
}

TEST(ChartGeometry, ValuesFarOffOrNotFiniteStayWithinIntegerRange) {
  const TempRange r = TemperatureRange(2, kC);
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(TemperatureY(kPlot, r, std::nan("")).has_value());
  EXPECT_FALSE(TemperatureY(kPlot, r, inf).has_value());
  EXPECT_FALSE(TemperatureY(kPlot, r, -inf).has_value());
  EXPECT_FALSE(HumidityY(kPlot, std::nan("")).has_value());
  EXPECT_EQ(TemperatureY(kPlot, r, 1e300), kPlot.top - kFarPixels);
  EXPECT_EQ(TemperatureY(kPlot, r, -1e300), kPlot.top + kFarPixels);
  EXPECT_EQ(HumidityY(kPlot, 1e18), kPlot.top - kFarPixels);
  // Still outside the window, as a value off the scale should be.
  EXPECT_LT(*TemperatureY(kPlot, r, 1e9), -10000);
}

TEST(ChartGeometry, FahrenheitConversion) {
  EXPECT_DOUBLE_EQ(InDisplayUnit(25.0, kC), 25.0);
  EXPECT_DOUBLE_EQ(InDisplayUnit(25.0, kF), 77.0);
  EXPECT_DOUBLE_EQ(InDisplayUnit(-10.0, kF), 14.0);
}

TEST(ChartGeometry, BucketsAndThePointer) {
  EXPECT_EQ(BucketX(kPlot, 0), 30);
  EXPECT_EQ(BucketX(kPlot, 500), 30 + 195);
  EXPECT_EQ(BucketX(kPlot, 999), 30 + 389);  // 389.61 truncated
  struct Case {
    int x;
    int bucket;
  };
  const Case cases[] = {
      {30, 1},     // the left edge reads bucket 1, never 0
      {0, 1},      // left of the plot
      {225, 500},  // the middle
      {226, 502},  // 196 / 390 x 1000 = 502.56
      {419, 997},  // the last pixel column
      {420, 999},  // the right edge would be bucket 1000, past the end
      {5000, 999},
  };
  for (const Case& c : cases) EXPECT_EQ(BucketUnderPointer(kPlot, c.x), c.bucket) << c.x;
  // No width (before the first paint, or a window too narrow): no bucket.
  EXPECT_FALSE(BucketUnderPointer(PlotRect{}, 10).has_value());
  EXPECT_FALSE(BucketUnderPointer(PlotRectForClient(20, 300), 10).has_value());
  EXPECT_EQ(PointerLineX(kPlot, 500), 225);
}

TEST(ChartGeometry, GridLinesAtFifths) {
  const Grid g = GridLines(kPlot);
  EXPECT_EQ(g.xs, (std::array<int, 4>{30 + 78, 30 + 156, 30 + 234, 30 + 312}));
  EXPECT_EQ(g.ys, (std::array<int, 4>{46 + 46, 46 + 93, 46 + 140, 46 + 187}));
}

TEST(ChartGeometry, TimeLabelsPerTimeBase) {
  struct Case {
    int timeBase;
    const char* texts[5];
    int endOffset;
  };
  const Case cases[] = {
      {0, {"1", "2", "3", "4", "5"}, 10},
      {1, {"12", "24", "36", "48", "60"}, 15},
      {2, {"2", "4", "6", "8", "10"}, 15},
      {3, {"6", "12", "18", "24", "30"}, 15},
  };
  for (const Case& c : cases) {
    const auto labels = TimeLabels(c.timeBase, kPlot);
    ASSERT_EQ(labels.size(), 5u);
    for (int k = 0; k < 4; ++k) {
      // W x k / 5 - 5: 73, 151, 229, 307
      EXPECT_EQ(labels[k], (Label{c.texts[k], 30 + 78 * (k + 1) - 5, 284})) << c.timeBase << " " << k;
    }
    EXPECT_EQ(labels[4], (Label{c.texts[4], 420 - c.endOffset, 284})) << c.timeBase;
  }
}

TEST(ChartGeometry, TemperatureLabelsFromTheTables) {
  // Rows: top at T, grid rows at trunc(T + H k / 5 - 7), bottom at B - 7.
  const int rows[6] = {46, 85, 132, 179, 226, 273};
  struct Case {
    int scale, unit;
    const char* texts[6];
    int offsets[6];
  };
  const Case cases[] = {
      {0, kC, {"125", "89", "53", "17", "-19", "-55"}, {-25, -18, -18, -18, -22, -22}},
      {0, kF, {"257", "193", "128", "63", "-2", "-67"}, {-25, -25, -25, -18, -15, -22}},
      {1, kC, {"85", "66", "47", "28", "9", "-10"}, {-18, -18, -18, -18, -10, -22}},
      {1, kF, {"185", "150", "116", "82", "48", "14"}, {-25, -25, -25, -18, -18, -18}},
      {2, kC, {"30", "24", "18", "12", "6", "0"}, {-18, -18, -18, -18, -10, -10}},
      {2, kF, {"86", "76", "65", "54", "43", "32"}, {-18, -18, -18, -18, -18, -18}},
  };
  for (const Case& c : cases) {
    const auto labels = TemperatureLabels(c.scale, c.unit, kPlot);
    ASSERT_EQ(labels.size(), 6u);
    for (int k = 0; k < 6; ++k)
      EXPECT_EQ(labels[k], (Label{c.texts[k], 30 + c.offsets[k], rows[k]})) << c.scale << c.unit << k;
  }
}

TEST(ChartGeometry, HumidityLabelsLegendAndHint) {
  EXPECT_EQ(HumidityLabels(kPlot), (std::vector<Label>{{"80", 400, 76}, {"60", 400, 123}, {"40", 400, 170},
                                                       {"20", 400, 217}}));
  const Legend l = LegendLabels(kPlot);
  EXPECT_EQ(l.temp, (Label{"Temp", 373, 0}));
  EXPECT_EQ(l.dew, (Label{"Dew Pt", 363, 15}));
  EXPECT_EQ(l.hum, (Label{"Hum", 378, 30}));
  EXPECT_EQ(ResizeHint(kPlot), (Label{"Drag corner/edge to resize window", 70, 260}));
}

TEST(ChartGeometry, RepaintAreasAndTheSnap) {
  EXPECT_EQ(NewestPointArea(100, 60), (Edges{98, 35, 102, 85}));
  EXPECT_EQ(PointerLineArea(kPlot, 225), (Edges{220, 47, 230, 279}));
  struct Case {
    int w, h;
    bool snap;
  };
  const Case cases[] = {{390, 150, false}, {389, 150, true}, {390, 149, true}, {1920, 1080, false}, {0, 0, true}};
  for (const Case& c : cases) EXPECT_EQ(NeedsSnap(c.w, c.h), c.snap) << c.w << "x" << c.h;
}

TEST(ChartGeometry, TimeBasePeriodsAndOutOfRangeIndexes) {
  EXPECT_EQ(TimeBasePeriodMs(0), 300);
  EXPECT_EQ(TimeBasePeriodMs(1), 3600);
  EXPECT_EQ(TimeBasePeriodMs(2), 36000);
  EXPECT_EQ(TimeBasePeriodMs(3), 108000);
  // A stored index outside the table must not read outside it.
  EXPECT_EQ(TimeBasePeriodMs(7), 108000);
  EXPECT_EQ(TemperatureRange(-3, kC).top, 125);
}

}  // namespace
}  // namespace km7::chart

namespace km7::chart {
namespace {

// Every pixel of the spans, as (x, y).
std::set<std::pair<int, int>> Pixels(const std::vector<Span>& spans) {
  std::set<std::pair<int, int>> px;
  for (const Span& s : spans)
    for (int y = s.top; y <= s.bottom; ++y) px.insert({s.x, y});
  return px;
}

TEST(ChartGeometry, LinesAsColumnSpans) {
  struct Case {
    int x0, y0, x1, y1;
    std::vector<Span> spans;
  };
  const Case cases[] = {
      {5, 10, 5, 14, {{5, 10, 14}}},                  // vertical
      {5, 14, 5, 10, {{5, 10, 14}}},                  // vertical, upwards
      {5, 10, 5, 10, {{5, 10, 10}}},                  // a point
      {0, 0, 3, 0, {{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}}},  // horizontal
      {0, 0, 2, 8, {{0, 0, 1}, {1, 2, 5}, {2, 6, 8}}},  // steep, halves rounded up
      {2, 8, 0, 0, {{2, 7, 8}, {1, 3, 6}, {0, 0, 2}}},  // the same backwards
      {0, 0, 4, 2, {{0, 0, 0}, {1, 1, 1}, {2, 1, 1}, {3, 2, 2}, {4, 2, 2}}},  // shallow
      {0, 10, 1, 0, {{0, 6, 10}, {1, 0, 5}}},         // steep upwards
  };
  for (const Case& c : cases) {
    std::vector<Span> spans;
    AppendLine(spans, c.x0, c.y0, c.x1, c.y1);
    EXPECT_EQ(spans, c.spans) << c.x0 << "," << c.y0 << " to " << c.x1 << "," << c.y1;
  }
}

TEST(ChartGeometry, LineSpansCoverEveryRowOrColumnOnce) {
  // Steep lines have exactly one pixel per row, shallow ones one per column;
  // both ends are drawn.
  for (int dx = -7; dx <= 7; ++dx) {
    for (int dy = -9; dy <= 9; ++dy) {
      std::vector<Span> spans;
      AppendLine(spans, 100, 200, 100 + dx, 200 + dy);
      const auto px = Pixels(spans);
      EXPECT_TRUE(px.count({100, 200}) && px.count({100 + dx, 200 + dy})) << dx << "," << dy;
      const bool steep = std::abs(dy) >= std::abs(dx);
      EXPECT_EQ(px.size(), static_cast<std::size_t>(1 + (steep ? std::abs(dy) : std::abs(dx)))) << dx << "," << dy;
      std::set<int> keys;
      for (const auto& [x, y] : px) keys.insert(steep ? y : x);
      EXPECT_EQ(keys.size(), px.size()) << dx << "," << dy;
      // Never further than half a pixel from the true line.
      for (const auto& [x, y] : px) {
        const double dist = steep ? std::abs((x - 100) - (y - 200) * static_cast<double>(dx) / (dy == 0 ? 1 : dy))
                                  : std::abs((y - 200) - (x - 100) * static_cast<double>(dy) / dx);
        EXPECT_LE(dist, 0.5) << dx << "," << dy << " at " << x << "," << y;
      }
    }
  }
}

TEST(ChartGeometry, SpansJoinWithTheLastInTheSameColumn) {
  std::vector<Span> spans;
  AppendLine(spans, 0, 0, 0, 5);
  AppendLine(spans, 0, 5, 2, 9);  // starts in column 0, touching
  AppendLine(spans, 2, 9, 2, 3);  // the stroke over the same column
  EXPECT_EQ(spans, (std::vector<Span>{{0, 0, 5}, {1, 6, 7}, {2, 3, 9}}));
  // Far values: no overflow, the span reaches them.
  spans.clear();
  AppendLine(spans, 0, kFarPixels, 1, -kFarPixels);
  ASSERT_EQ(spans.size(), 2u);
  EXPECT_EQ(spans[0].bottom, kFarPixels);
  EXPECT_EQ(spans[1].top, -kFarPixels);
}

}  // namespace
}  // namespace km7::chart
