// The painter on an image: curves at the rows the formulas give, the dew
// point only when shown, values off the scale and not finite.
#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <cmath>
#include <functional>
#include <optional>

#include "chart/ChartPainter.h"
#include "ui/DialogUnits.h"

namespace km7::chart {
namespace {

constexpr int kW = 420, kH = 300;

History Constant(int buckets, double temp, double hum, double dew) {
  History h;
  for (int i = 0; i < buckets; ++i) {
    h.tempMin[i] = h.tempMax[i] = temp;
    h.humMin[i] = h.humMax[i] = hum;
    h.dewMin[i] = h.dewMax[i] = dew;
    h.time[i] = 1000 + i;
  }
  h.historyIndex = buckets;
  return h;
}

struct Painted {
  QImage image;
  ChartPaintResult result;
};

Painted Paint(const History& h, ChartPaintInput in) {
  in.clientWidth = kW;
  in.clientHeight = kH;
  Painted out{QImage(kW, kH, QImage::Format_RGB32), {}};
  out.image.fill(Qt::magenta);
  QPainter p(&out.image);
  p.setFont(ui::TemplateFont("MS Sans Serif", 8));
  out.result = PaintChart(p, in, h);
  return out;
}

int CountPixels(const QImage& img, const QColor& c, const QRect& area) {
  int n = 0;
  for (int y = std::max(0, area.top()); y <= std::min(img.height() - 1, area.bottom()); ++y)
    for (int x = std::max(0, area.left()); x <= std::min(img.width() - 1, area.right()); ++x)
      if (img.pixelColor(x, y) == c) ++n;
  return n;
}

// Text is smoothed: its pixels are near the colour, not on it.
int CountNear(const QImage& img, const QColor& c, const QRect& area) {
  int n = 0;
  for (int y = std::max(0, area.top()); y <= std::min(img.height() - 1, area.bottom()); ++y)
    for (int x = std::max(0, area.left()); x <= std::min(img.width() - 1, area.right()); ++x) {
      const QColor p = img.pixelColor(x, y);
      if (std::abs(p.red() - c.red()) < 60 && std::abs(p.green() - c.green()) < 60 && std::abs(p.blue() - c.blue()) < 60)
        ++n;
    }
  return n;
}

// Rows of a column that hold the colour.
std::vector<int> RowsOf(const QImage& img, int x, const QColor& c) {
  std::vector<int> rows;
  for (int y = 0; y < img.height(); ++y)
    if (img.pixelColor(x, y) == c) rows.push_back(y);
  return rows;
}

const QRect kPlotArea(30, 46, 390, 234);

TEST(ChartPainter, ConstantHistoryDrawsAtTheFormulasRow) {
  struct Case {
    int scale, unit;
    double celsius;
    int row;  // T + trunc((top - v) / span x 234)
  };
  const Case cases[] = {
      {2, 1, 25.0, 46 + 39},   // (30 - 25) / 30
      {1, 1, 25.0, 46 + 147},  // (85 - 25) / 95 = 147.79
      {1, 0, 25.0, 46 + 147},  // 77 F: (185 - 77) / 171 = 147.79
      {0, 0, 20.0, 46 + 136},  // 68 F: (257 - 68) / 324 = 136.5
  };
  for (const Case& c : cases) {
    ChartPaintInput in;
    in.tempScale = c.scale;
    in.unit = c.unit;
    const Painted p = Paint(Constant(600, c.celsius, 90.0, 5.0), in);
    const int x = BucketX(p.result.plot, 300);
    EXPECT_EQ(RowsOf(p.image, x, colour::kTemperature), std::vector<int>{c.row}) << c.scale << " " << c.unit;
    // Humidity 90 %: 23.4 pixels below the top.
    EXPECT_EQ(RowsOf(p.image, x, colour::kHumidity), std::vector<int>{46 + 23});
    ASSERT_TRUE(p.result.lastPoints[kTempCurve].has_value());
    EXPECT_EQ(*p.result.lastPoints[kTempCurve], QPoint(BucketX(p.result.plot, 599), c.row));
  }
}

TEST(ChartPainter, DewPointOnlyWhenShownButItsLegendAlways) {
  const History h = Constant(400, 25.0, 50.0, 10.0);
  ChartPaintInput in;
  in.tempScale = 2;
  in.showDewPoint = true;
  const Painted shown = Paint(h, in);
  // 10 °C on 0 to 30: (30 - 10) / 30 x 234 = 156.
  EXPECT_EQ(RowsOf(shown.image, BucketX(shown.result.plot, 200), colour::kDewPoint), std::vector<int>{46 + 156});
  in.showDewPoint = false;
  const Painted hidden = Paint(h, in);
  EXPECT_EQ(CountPixels(hidden.image, colour::kDewPoint, kPlotArea), 0);
  EXPECT_FALSE(hidden.result.lastPoints[kDewCurve].has_value());
  // The legend stays, in green, beside the button rows.
  EXPECT_GT(CountNear(hidden.image, colour::kDewPoint, QRect(300, 0, 120, 46)), 5);
  EXPECT_GT(CountNear(hidden.image, colour::kTemperature, QRect(300, 0, 120, 46)), 5);
}

TEST(ChartPainter, NothingDrawnForAnEmptyOrSingleBucketHistory) {
  for (int buckets : {0, 1}) {
    ChartPaintInput in;
    in.tempScale = 2;
    in.showDewPoint = true;
    const Painted p = Paint(Constant(buckets, 25.0, 50.0, 10.0), in);
    EXPECT_EQ(CountPixels(p.image, colour::kTemperature, kPlotArea), 0) << buckets;
    EXPECT_EQ(CountPixels(p.image, colour::kDewPoint, kPlotArea), 0) << buckets;
    // Only the humidity labels are blue inside the plot.
    EXPECT_EQ(CountPixels(p.image, colour::kHumidity, QRect(30, 46, 360, 234)), 0) << buckets;
  }
}

TEST(ChartPainter, OffScaleAndNotFiniteValues) {
  History h = Constant(500, 31.0, 50.0, std::nan(""));
  h.tempMax[250] = 1e300;                                    // far above: clamped, still drawn
  h.humMin[100] = h.humMax[100] = -std::numeric_limits<double>::infinity();  // skipped
  ChartPaintInput in;
  in.tempScale = 2;
  in.showDewPoint = true;
  const Painted p = Paint(h, in);
  // 31 °C on 0 to 30 draws above the plot, into the button rows: nothing clips it.
  EXPECT_EQ(RowsOf(p.image, BucketX(p.result.plot, 400), colour::kTemperature), std::vector<int>{46 - 7});
  // The stroke to the far value runs up to the window's top edge.
  EXPECT_EQ(p.image.pixelColor(BucketX(p.result.plot, 250), 0), colour::kTemperature);
  EXPECT_EQ(CountPixels(p.image, colour::kDewPoint, kPlotArea), 0);
  // Humidity is drawn on both sides of the gap.
  EXPECT_EQ(RowsOf(p.image, BucketX(p.result.plot, 50), colour::kHumidity), std::vector<int>{46 + 117});
  EXPECT_EQ(RowsOf(p.image, BucketX(p.result.plot, 300), colour::kHumidity), std::vector<int>{46 + 117});
}

TEST(ChartPainter, PointerLineAndFrame) {
  ChartPaintInput in;
  in.pointerBucket = 500;
  const Painted p = Paint(History{}, in);
  ASSERT_TRUE(p.result.pointerLineX.has_value());
  EXPECT_EQ(*p.result.pointerLineX, 225);
  EXPECT_EQ(p.image.pixelColor(225, 100), colour::kPointer);
  EXPECT_EQ(p.image.pixelColor(30, 100), colour::kFrame);    // frame, left
  EXPECT_EQ(p.image.pixelColor(419, 100), colour::kFrame);   // frame, right: the last column
  EXPECT_EQ(p.image.pixelColor(100, 279), colour::kFrame);   // frame, bottom: the last row inside
  EXPECT_EQ(p.image.pixelColor(50, 60), colour::kPlot);
  EXPECT_EQ(p.image.pixelColor(5, 290), colour::kBackground);
  EXPECT_EQ(CountPixels(p.image, Qt::magenta, QRect(0, 0, kW, kH)), 0);  // every pixel painted
}

TEST(ChartPainter, DirectAndPainterDrawnCurvesAreTheSame) {
  // A 32-bit image takes the direct path; a 24-bit one the painter's rectangles.
  History h;
  for (int i = 0; i < 900; ++i) {
    h.tempMin[i] = 15 + 10 * std::sin(i / 30.0);
    h.tempMax[i] = h.tempMin[i] + (i % 7) * 0.3;
    h.humMin[i] = h.humMax[i] = 50 + 40 * std::cos(i / 13.0);
    h.dewMin[i] = h.dewMax[i] = i % 50 == 0 ? std::nan("") : 5.0 + i % 9;
  }
  h.historyIndex = 900;
  ChartPaintInput in;
  in.clientWidth = kW;
  in.clientHeight = kH;
  in.tempScale = 1;
  in.showDewPoint = true;
  auto render = [&](QImage::Format format, const QRect& clip) {
    QImage img(kW, kH, format);
    img.fill(Qt::magenta);
    QPainter p(&img);
    p.setFont(ui::TemplateFont("MS Sans Serif", 8));
    if (!clip.isNull()) p.setClipRect(clip);
    PaintChart(p, in, h);
    p.end();
    return img.convertToFormat(QImage::Format_RGB32);
  };
  const QImage direct = render(QImage::Format_RGB32, QRect());
  const QImage drawn = render(QImage::Format_RGB888, QRect());
  const QRect plotOnly(31, 47, 360, 232);  // without the humidity labels' text
  EXPECT_EQ(direct.copy(plotOnly), drawn.copy(plotOnly));
  EXPECT_GT(CountPixels(direct, colour::kTemperature, plotOnly), 500);
  EXPECT_GT(CountPixels(direct, colour::kDewPoint, plotOnly), 500);

  // The painter's clip holds for the direct path too.
  const QRect clip(100, 0, 50, kH);
  const QImage clipped = render(QImage::Format_ARGB32_Premultiplied, clip);
  for (const QColor& c : {colour::kTemperature, colour::kDewPoint, colour::kHumidity}) {
    EXPECT_EQ(CountPixels(clipped, c, QRect(0, 0, 100, kH)), 0);
    EXPECT_EQ(CountPixels(clipped, c, QRect(150, 0, kW - 150, kH)), 0);
    EXPECT_EQ(CountPixels(clipped, c, clip), CountPixels(direct, c, clip));
  }
}

}  // namespace
}  // namespace km7::chart

namespace km7::chart {
namespace {

// Whatever an advance adds to the picture lies inside the area the window
// repaints for it, and nothing is repainted when it adds nothing. Painted
// whole before and after the advance, compared pixel by pixel.
TEST(ChartPainter, TheNewestStrokeAreaHoldsEveryPixelTheAdvanceChanges) {
  const double nan = std::nan("");
  struct Case {
    const char* what;
    int drawn;  // buckets drawn before the advance
    double previousTemp, newTemp, newHum;
    bool previousStartsARun;
    bool expectArea;
  };
  const Case cases[] = {
      {"fresh history", 1, 25.0, 25.3, 50.0, false, true},
      {"a steep jump", 300, 25.0, 60.0, 90.0, false, true},
      {"the same pixels again", 301, 25.0, 25.0, 50.0, false, false},
      {"into a gap", 300, 25.0, nan, nan, false, false},
      {"out of a gap", 300, nan, 25.0, 50.0, false, false},
      {"after a lone first point", 301, 25.0, 25.0, 50.0, true, true},
  };
  for (const Case& c : cases) {
    History h = Constant(c.drawn + 1, 25.0, 50.0, 10.0);
    const int previous = c.drawn - 1, newest = c.drawn;
    h.tempMin[previous] = h.tempMax[previous] = c.previousTemp;
    // A gap holds no value of any curve.
    if (std::isnan(c.previousTemp)) h.humMin[previous] = h.humMax[previous] = h.dewMin[previous] = h.dewMax[previous] = nan;
    if (c.previousStartsARun && previous > 0) h.tempMin[previous - 1] = h.tempMax[previous - 1] = nan;
    h.tempMin[newest] = h.tempMax[newest] = c.newTemp;
    h.humMin[newest] = h.humMax[newest] = c.newHum;
    if (std::isnan(c.newTemp)) h.dewMin[newest] = h.dewMax[newest] = nan;
    ChartPaintInput in;
    in.showDewPoint = true;
    h.historyIndex = c.drawn;
    const QImage before = Paint(h, in).image;
    h.historyIndex = c.drawn + 1;
    const QImage after = Paint(h, in).image;
    in.clientWidth = kW;
    in.clientHeight = kH;
    const std::optional<QRect> area = NewestStrokeArea(in, h);
    EXPECT_EQ(area.has_value(), c.expectArea) << c.what;
    int changed = 0, outside = 0;
    for (int y = 0; y < kH; ++y) {
      for (int x = 0; x < kW; ++x) {
        if (before.pixel(x, y) == after.pixel(x, y)) continue;
        ++changed;
        outside += !area || !area->contains(x, y);
      }
    }
    EXPECT_EQ(outside, 0) << c.what;
    if (c.expectArea) {
      EXPECT_GT(changed, 0) << c.what;
    }
  }
}

}  // namespace
}  // namespace km7::chart
