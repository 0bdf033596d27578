// The chart as a person sees it: on an X display (a private Xvfb, the xcb
// platform), the event loop running, the window never resized or repainted
// by the test. What counts is what the X server holds, read back from it: a
// chart that repaints only small areas must still get every new stroke there.
#include <cmath>

#include "AppTestSupport.h"
#include "chart/Chart.h"
#include "chart/ChartHistory.h"
#include "chart/ChartPainter.h"
#include "chart/ChartText.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "support/XvfbDisplay.h"
#include "ui/DialogDriver.h"

namespace km7::test {
namespace {

using chart::CChart;
namespace colour = chart::colour;

// Constant values: every stroke lies on one row per curve.
constexpr char kSteady[] =
    "[module]\ndescription = Lab\ntemperature = 22.5\nhumidity = 45.0\ndrift = 0\n";
// The same, gone after a few readings.
constexpr char kUnplugged[] =
    "[module]\ndescription = Lab\ntemperature = 22.5\nhumidity = 45.0\ndrift = 0\nunplug_after = 6\n";

class ChartDisplayTest : public AppTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(XvfbRunning());
    AppTest::SetUp();
    ProfileStore::Instance().WriteText(profile::Device, kDefaultSensorName, "Lab");
  }

  // A fresh start with the module, the chart opened at "5 Min" on the
  // -55 to 125 °C scale, beside the main window rather than under it.
  CChart& OpenChart() {
    CKm7Dlg& w = StartMainWindow();
    window_ = &w;
    EXPECT_TRUE(WaitFor([&w] { return w.acquisition.Read().current; }));
    ui::DialogDriver(w).PressButton(IDC_CHARTING);
    CChart* c = w.chartWindow.Get();
    EXPECT_NE(c, nullptr);
    const QRect main = w.GetWindowRect();
    w.MoveWindow(QRect(0, 0, main.width(), main.height()));
    c->MoveWindow(QRect(main.width() + 20, 0, 600, 400));
    WaitFor([] { return false; }, 200);
    EXPECT_EQ(c->timeBase, 0);
    EXPECT_EQ(c->tempScale, 0);
    return *c;
  }

  // Rows by the chart's formulas: top of the plot plus the value's fraction
  // of the range from the top edge, truncated.
  static int TemperatureRow(const chart::PlotRect& plot, double celsius) {
    return plot.top + static_cast<int>(std::trunc((125.0 - celsius) / 180.0 * plot.Height()));
  }
  static int HumidityRow(const chart::PlotRect& plot, double percent) {
    return plot.top + static_cast<int>(std::trunc((100.0 - percent) / 100.0 * plot.Height()));
  }
  static chart::PlotRect Plot(CChart& c) {
    return chart::PlotRectForClient(c.GetClientRect().width(), c.GetClientRect().height());
  }
  // Pixels of the colour in column x between the plot's top and bottom.
  static int InColumn(const QImage& shown, const chart::PlotRect& plot, int x, const QColor& colour) {
    int n = 0;
    for (int y = plot.top + 1; y < plot.bottom - 1; ++y) n += shown.pixelColor(x, y) == colour;
    return n;
  }
  CKm7Dlg* window_ = nullptr;

  static int OnRow(const QImage& shown, const chart::PlotRect& plot, int row, const QColor& colour) {
    int n = 0;
    for (int x = plot.left + 1; x < plot.right - 1; ++x) n += shown.pixelColor(x, row) == colour;
    return n;
  }
};

TEST_F(ChartDisplayTest, AFreshChartDrawsItsCurvesWithinSeconds) {
  ConfigureSim(kSteady);
  CChart& c = OpenChart();
  const chart::History& history = window_->chartHistory;
  WaitFor([] { return false; }, 3000);
  const chart::PlotRect plot = Plot(c);
  ASSERT_GT(history.historyIndex, 3);
  const QImage shown = PixelsOnDisplay(c.Widget());
  ASSERT_GT(shown.height(), plot.bottom);
  shown.save(QString::fromStdString(ScreenshotPath("chart-on-display.png")));
  // The sensor converts 22.5 °C and 45 % into its own steps: the rows of
  // the values it reported.
  const Reading r = window_->acquisition.Read();
  EXPECT_NEAR(r.temperature, 22.5, 0.1);
  const int tempRow = TemperatureRow(plot, r.temperature);
  const int humRow = HumidityRow(plot, r.relativeHumidity);
  EXPECT_GE(OnRow(shown, plot, tempRow, colour::kTemperature), 2) << "row " << tempRow;
  EXPECT_GE(OnRow(shown, plot, humRow, colour::kHumidity), 2) << "row " << humRow;
  // Nowhere else: no stroke from 0 °C or 0 % at the start.
  EXPECT_EQ(OnRow(shown, plot, TemperatureRow(plot, 0.0), colour::kTemperature), 0);

  // A time base click clears the history; the curves come back by themselves.
  ui::DialogDriver(c).PressButton(chart::IDC_TIME_5MIN);
  WaitFor([] { return false; }, 3000);
  const QImage again = PixelsOnDisplay(c.Widget());
  EXPECT_GE(OnRow(again, plot, tempRow, colour::kTemperature), 2);
  EXPECT_GE(OnRow(again, plot, humRow, colour::kHumidity), 2);
}

TEST_F(ChartDisplayTest, AfterAnUnplugNewBucketsStayBlankAndOldOnesStay) {
  ConfigureSim(kUnplugged);
  CChart& c = OpenChart();
  const chart::History& history = window_->chartHistory;
  // Gone, then no longer current, then a few seconds of buckets without data.
  ASSERT_TRUE(WaitFor([this] { return !window_->acquisition.Read().current; }, 30000));
  int lastWithValues = 0;
  for (int i = 0; i < history.historyIndex; ++i)
    if (history.HasValues(i)) lastWithValues = i;
  const chart::PlotRect plot = Plot(c);
  const int lastX = chart::BucketX(plot, lastWithValues);
  ASSERT_TRUE(WaitFor([&] { return chart::BucketX(plot, history.historyIndex - 1) > lastX + 4; }, 30000));
  WaitFor([] { return false; }, 500);
  const QImage shown = PixelsOnDisplay(c.Widget());
  shown.save(QString::fromStdString(ScreenshotPath("chart-after-unplug.png")));

  // The readout's view of the same buckets.
  EXPECT_EQ(chart::FormatReadout(history, history.historyIndex - 1).time, "No Data");
  // Old buckets are still drawn.
  EXPECT_GT(InColumn(shown, plot, chart::BucketX(plot, 2), colour::kTemperature), 0);
  EXPECT_GT(InColumn(shown, plot, chart::BucketX(plot, 2), colour::kHumidity), 0);
  // New ones are blank: neither curve runs on at the last values.
  for (int x = lastX + 2; x <= chart::BucketX(plot, history.historyIndex - 1); ++x) {
    EXPECT_EQ(InColumn(shown, plot, x, colour::kTemperature), 0) << "x " << x;
    EXPECT_EQ(InColumn(shown, plot, x, colour::kHumidity), 0) << "x " << x;
  }
}

}  // namespace
}  // namespace km7::test
