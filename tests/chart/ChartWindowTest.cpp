// The chart window on its own (offscreen): opening with and without stored
// settings, the time base and scale buttons, the readout, the resize snap,
// Escape, and screenshots of every time base in both units.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "chart/Chart.h"
#include "chart/ChartPainter.h"
#include "settings/ProfileStore.h"
#include "ui/DialogDriver.h"
#include "settings/OpenSensor.h"
#include "ui/QtTestEnvironment.h"
#include "ui/QtText.h"

namespace fs = std::filesystem;

namespace km7::chart {
namespace {

namespace values = km7::profile;

fs::path g_root;

class FoldersEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    std::string templ = (fs::temp_directory_path() / "km7-chart-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    g_root = templ;
    setenv("XDG_CONFIG_HOME", g_root.c_str(), 1);
    setenv("XDG_DATA_HOME", g_root.c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(g_root, ec);
  }
};
[[maybe_unused]] ::testing::Environment* const g_env =
    ::testing::AddGlobalTestEnvironment(new FoldersEnvironment);

ProfileStore& Settings() { return ProfileStore::Instance(); }

Reading g_reading;

std::string SettingsText() {
  std::ifstream in(Settings().FilePath(), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A history with a little of everything: a slow wave, min/max spread.
void FillHistory(History& history, int buckets) {
  history.Clear();
  for (int i = 0; i < buckets; ++i) {
    const double t = 20 + 5 * std::sin(i / 80.0);
    history.tempMin[i] = t - 0.3;
    history.tempMax[i] = t + 0.3;
    history.humMin[i] = 45 + 10 * std::cos(i / 120.0);
    history.humMax[i] = history.humMin[i] + 1;
    history.dewMin[i] = history.dewMax[i] = t - 8;
    history.time[i] = 1700000000 + i;
  }
  history.historyIndex = buckets;
}

class ChartWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::error_code ec;
    fs::remove(Settings().FilePath(), ec);
    sensor_ = OpenSensor{"Lab", kUnitCelsius, {}};
    chartWindow.sensor = &sensor_;
    chartWindow.currentReading = [] { return Reading{22.5, 40.0, 8.0}; };
    userCloses = 0;
    chartWindow.onClosedByUser = [this] { ++userCloses; };
  }
  void TearDown() override {
    chartWindow.Close();
    test::FlushDeferredDeletes();
  }
  CChart& Open() {
    CChart& c = chartWindow.Open(nullptr);
    return c;
  }
  // Paints now, so the plot rectangle is known.
  static void Paint(CChart& c) {
    c.UpdateWindow();
    test::RunEventsUntil([] { return false; }, 50);
  }
  int userCloses = 0;
  // Before the holder: its chart points at both.
  OpenSensor sensor_;
  History history;
  ChartWindowHolder chartWindow{history};
};

TEST_F(ChartWindowTest, FirstOpeningWithoutSettings) {
  CChart& c = Open();
  EXPECT_EQ(c.IsDlgButtonChecked(IDC_TIME_5MIN), 1);
  EXPECT_EQ(c.IsDlgButtonChecked(IDC_SCALE_WIDE), 1);
  EXPECT_EQ(c.IsDlgButtonChecked(IDC_SHOW_DEW_POINT), 0);
  EXPECT_EQ(c.GetWindowText(), "T/H/D Chart (-55\xB0" "C to +125\xB0" "C)  Lab");
  EXPECT_EQ(c.GetDlgItemText(IDC_SCALE_WIDE), "-55 to 125\xB0" "C");
  EXPECT_TRUE(c.HasTimer(kAdvanceTimerId));
  EXPECT_FALSE(c.IsItemVisible(IDC_CHART_DEF));
  EXPECT_EQ(SettingsText(), "");  // opening only reads
  test::RunEventsUntil([] { return false; }, 50);
  // The template's size is above the snap's minimum.
  EXPECT_FALSE(NeedsSnap(c.GetClientRect().width(), c.GetClientRect().height()))
      << c.GetClientRect().width() << "x" << c.GetClientRect().height();
  c.Grab(KM7_SCREENSHOT_DIR "/chart_first_opening.png");
  // At 5 Min a bucket lasts 300 ms.
  EXPECT_TRUE(test::RunEventsUntil([this] { return history.historyIndex >= 3; }, 10000));
  EXPECT_EQ(history.tempMin[1], static_cast<double>(22.5f));
  EXPECT_EQ(history.humMax[2], 40.0);
}

TEST_F(ChartWindowTest, SettingsRestoredAfterCloseAndReopenAtOneHour) {
  CChart& c = Open();
  ui::DialogDriver(c).PressButton(IDC_TIME_1HR);
  ui::DialogDriver(c).PressButton(IDC_SCALE_NARROW);
  ui::DialogDriver(c).PressButton(IDC_SHOW_DEW_POINT);
  EXPECT_EQ(c.GetWindowText(), "T/H/D Chart (0\xB0" "C to +30\xB0" "C)  Lab");
  chartWindow.Close();
  EXPECT_EQ(chartWindow.Get(), nullptr);
  EXPECT_EQ(userCloses, 0);
  EXPECT_EQ(Settings().ReadInt(values::ChartTimeScale, values::kFixedSuffix), 1);
  EXPECT_EQ(Settings().ReadInt(values::ChartTempScale, values::kFixedSuffix), 2);
  EXPECT_EQ(Settings().ReadInt(values::ChartDewPoint, values::kFixedSuffix), 1);

  history.historyIndex = 7;  // a reopened chart continues where it was
  CChart& again = Open();
  EXPECT_EQ(again.IsDlgButtonChecked(IDC_TIME_1HR), 1);
  EXPECT_EQ(again.IsDlgButtonChecked(IDC_TIME_5MIN), 0);
  EXPECT_EQ(again.IsDlgButtonChecked(IDC_SCALE_NARROW), 1);
  EXPECT_EQ(again.IsDlgButtonChecked(IDC_SHOW_DEW_POINT), 1);
  EXPECT_EQ(again.GetWindowText(), "T/H/D Chart (0\xB0" "C to +30\xB0" "C)  Lab");
  // At 1 Hr a bucket lasts 3.6 s: nothing moves within the first second.
  test::RunEventsUntil([] { return false; }, 1000);
  EXPECT_EQ(history.historyIndex, 7);
}

TEST_F(ChartWindowTest, StoredIndexesOutsideTheTablesFallBackToTheFirst) {
  Settings().WriteInt(values::ChartTimeScale, values::kFixedSuffix, 9);
  Settings().WriteInt(values::ChartTempScale, values::kFixedSuffix, -2);
  CChart& c = Open();
  EXPECT_EQ(c.timeBase, 0);
  EXPECT_EQ(c.tempScale, 0);
  EXPECT_EQ(c.IsDlgButtonChecked(IDC_TIME_5MIN), 1);
}

TEST_F(ChartWindowTest, ClickingTheCheckedTimeBaseClearsTheHistory) {
  CChart& c = Open();
  FillHistory(history, 300);
  ASSERT_EQ(c.IsDlgButtonChecked(IDC_TIME_5MIN), 1);
  ui::DialogDriver(c).PressButton(IDC_TIME_5MIN);
  EXPECT_EQ(history.historyIndex, 0);
  EXPECT_EQ(history.time[5], 0);
  EXPECT_EQ(history.tempMax[5], 0.0);
  EXPECT_EQ(c.timeBase, 0);
  EXPECT_TRUE(c.HasTimer(kAdvanceTimerId));
}

TEST_F(ChartWindowTest, FahrenheitCaptionsAndTitles) {
  sensor_.unit = kUnitFahrenheit;
  CChart& c = Open();
  EXPECT_EQ(c.GetDlgItemText(IDC_SCALE_WIDE), "-67\xB0 to 257\xB0" "F");
  EXPECT_EQ(c.GetDlgItemText(IDC_SCALE_MEDIUM), "14\xB0 to 185\xB0" "F");
  EXPECT_EQ(c.GetDlgItemText(IDC_SCALE_NARROW), "32\xB0 to 86\xB0" "F");
  EXPECT_EQ(c.GetWindowText(), "T/H/D Chart (-67\xB0" "F to +257\xB0" "F)  Lab");
  ui::DialogDriver(c).PressButton(IDC_SCALE_MEDIUM);
  EXPECT_EQ(c.GetWindowText(), "T/H/D Chart (+14\xB0" "F to +185\xB0" "F)  Lab");
  EXPECT_EQ(c.tempScale, 1);
}

TEST_F(ChartWindowTest, ReadoutAppearsOnAPointerMoveAndGoesAfterASecond) {
  CChart& c = Open();
  FillHistory(history, 600);
  // Before the first paint the plot has no width: the move is ignored.
  c.OnMouseMove(200, 100);
  EXPECT_EQ(c.Readout(), nullptr);
  Paint(c);
  ASSERT_GT(c.plotRect.Width(), 0);
  // Over the button rows: nothing.
  c.OnMouseMove(200, 39);
  EXPECT_EQ(c.Readout(), nullptr);

  const int x = c.plotRect.left + c.plotRect.Width() / 2;
  c.OnMouseMove(x, 100);
  ASSERT_NE(c.Readout(), nullptr);
  EXPECT_TRUE(c.Readout()->IsWindowVisible());
  EXPECT_TRUE(c.HasTimer(kReadoutTimerId));
  EXPECT_EQ(c.readoutIndex, 500);
  const ReadoutTexts expected = FormatReadout(history, 500);
  EXPECT_EQ(c.Readout()->GetDlgItemText(IDC_READOUT_TIME), "Tue Nov 14 22:21:40 2023 ");
  EXPECT_EQ(c.Readout()->GetDlgItemText(IDC_READOUT_TEMPERATURE), expected.temperature);
  EXPECT_EQ(c.Readout()->GetDlgItemText(IDC_READOUT_HUMIDITY), expected.humidity);
  EXPECT_EQ(c.Readout()->GetDlgItemText(IDC_READOUT_DEW_POINT), expected.dewPoint);
  Paint(c);
  EXPECT_EQ(c.pointerLineX, PointerLineX(c.plotRect, 500));
  ASSERT_NE(c.Readout(), nullptr);  // a second has not passed
  c.Readout()->Grab(KM7_SCREENSHOT_DIR "/chart_readout.png");
  c.Grab(KM7_SCREENSHOT_DIR "/chart_with_pointer.png");

  // Past the last bucket drawn: no data.
  c.OnMouseMove(c.plotRect.right, 100);
  EXPECT_EQ(c.readoutIndex, 999);
  EXPECT_EQ(c.Readout()->GetDlgItemText(IDC_READOUT_TIME), "No Data");
  for (int id : {IDC_READOUT_TEMPERATURE, IDC_READOUT_HUMIDITY, IDC_READOUT_DEW_POINT})
    EXPECT_EQ(c.Readout()->GetDlgItemText(id), "--");
  // Escape hides the readout; the next move shows it again.
  ui::DialogDriver(*c.Readout()).PressKey(Qt::Key_Escape);
  EXPECT_FALSE(c.Readout()->IsWindowVisible());
  // The left edge reads bucket 1.
  c.OnMouseMove(c.plotRect.left, 100);
  EXPECT_EQ(c.readoutIndex, 1);
  EXPECT_TRUE(c.Readout()->IsWindowVisible());

  EXPECT_TRUE(test::RunEventsUntil([&] { return c.Readout() == nullptr; }, 10000));
  EXPECT_FALSE(c.HasTimer(kReadoutTimerId));
}

// What the window shows: its backing store, as a person's screen gets it.
QImage OnScreen(CChart& c) {
  QWidget* w = c.Widget();
  return w->screen()->grabWindow(w->winId()).toImage().convertToFormat(QImage::Format_RGB32);
}

TEST_F(ChartWindowTest, ConstantHistoryOnScreenAtTheFormulasRow) {
  CChart& c = Open();
  c.KillTimer(kAdvanceTimerId);
  ui::DialogDriver(c).PressButton(IDC_SCALE_NARROW);
  ui::DialogDriver(c).PressButton(IDC_SHOW_DEW_POINT);  // shown
  history.Clear();
  for (int i = 0; i < 500; ++i) {
    history.tempMin[i] = history.tempMax[i] = 25.0;
    history.humMin[i] = history.humMax[i] = 50.0;
    history.dewMin[i] = history.dewMax[i] = 10.0;
  }
  history.historyIndex = 500;
  Paint(c);
  const PlotRect plot = c.plotRect;
  const int x = BucketX(plot, 250);
  const int row = plot.top + static_cast<int>((30 - 25.0) / 30 * plot.Height());
  const int dewRow = plot.top + static_cast<int>((30 - 10.0) / 30 * plot.Height());
  QImage shown = OnScreen(c);
  ASSERT_GT(shown.height(), plot.bottom);
  EXPECT_EQ(shown.pixelColor(x, row), colour::kTemperature);
  EXPECT_EQ(shown.pixelColor(x, row - 1), colour::kPlot);
  EXPECT_EQ(shown.pixelColor(x, dewRow), colour::kDewPoint);

  ui::DialogDriver(c).PressButton(IDC_SHOW_DEW_POINT);  // cleared
  Paint(c);
  shown = OnScreen(c);
  int green = 0;
  for (int y = plot.top; y < plot.bottom; ++y)
    for (int xx = plot.left; xx < plot.right; ++xx) green += shown.pixelColor(xx, y) == colour::kDewPoint;
  EXPECT_EQ(green, 0);
  EXPECT_EQ(shown.pixelColor(x, row), colour::kTemperature);

  // A new bucket repaints only around the newest points, and they show.
  g_reading = Reading{25.0, 50.0, 10.0};
  c.currentReading = [] { return g_reading; };
  c.OnTimer(kAdvanceTimerId);
  history.time[500] = 1;
  c.OnTimer(kAdvanceTimerId);
  Paint(c);
  shown = OnScreen(c);
  EXPECT_EQ(shown.pixelColor(BucketX(plot, 501), row), colour::kTemperature);
}

TEST_F(ChartWindowTest, ShrinkingBelowTheMinimumSnapsBack) {
  CChart& c = Open();
  test::RunEventsUntil([] { return false; }, 50);
  c.SetWindowSize(600, 400);
  test::RunEventsUntil([] { return false; }, 50);
  const QRect frame = c.GetWindowRect();
  const int frameW = frame.width() - c.GetClientRect().width();
  const int frameH = frame.height() - c.GetClientRect().height();
  EXPECT_EQ(c.GetClientRect().size(), QSize(600 - frameW, 400 - frameH));
  struct Case {
    int w, h;
  };
  for (const Case s : {Case{300, 400}, Case{600, 100}, Case{100, 50}}) {
    c.SetWindowSize(600, 400);
    c.SetWindowSize(s.w, s.h);
    EXPECT_TRUE(test::RunEventsUntil(
        [&] { return c.GetWindowRect().size() == QSize(kSnapOuterWidth, kSnapOuterHeight); }, 5000))
        << s.w << "x" << s.h << ": " << c.GetWindowRect().width() << "x" << c.GetWindowRect().height();
  }
  // Large enough: left alone.
  c.SetWindowSize(kMinClientWidth + frameW, kMinClientHeight + frameH);
  test::RunEventsUntil([] { return false; }, 50);
  EXPECT_EQ(c.GetClientRect().size(), QSize(kMinClientWidth, kMinClientHeight));
}

TEST_F(ChartWindowTest, EscapeClosesSavesAndTellsTheOwnerEnterDoesNothing) {
  CChart& c = Open();
  ui::DialogDriver(c).PressButton(IDC_TIME_10HR);
  ui::DialogDriver(c).PressKey(Qt::Key_Return);
  ASSERT_NE(chartWindow.Get(), nullptr);
  ui::DialogDriver(c).PressKey(Qt::Key_Escape);
  EXPECT_EQ(chartWindow.Get(), nullptr);
  EXPECT_EQ(userCloses, 1);
  EXPECT_EQ(Settings().ReadInt(values::ChartTimeScale, values::kFixedSuffix), 2);
}

TEST_F(ChartWindowTest, NewestPointsRepaintAfterEachBucketAndTheHintOnlyTwice) {
  CChart& c = Open();
  ui::DialogDriver(c).PressButton(IDC_SHOW_DEW_POINT);
  FillHistory(history, 100);
  Paint(c);
  Paint(c);
  Paint(c);
  EXPECT_EQ(c.hintPaintCount, 2);
  ASSERT_TRUE(c.lastCurvePoints[kTempCurve].has_value());
  EXPECT_EQ(c.lastCurvePoints[kTempCurve]->x(), BucketX(c.plotRect, 99));
  ASSERT_TRUE(c.lastCurvePoints[kDewCurve].has_value());
  c.OnTimer(kAdvanceTimerId);
  EXPECT_EQ(history.historyIndex, 101);
  Paint(c);
  EXPECT_EQ(c.lastCurvePoints[kTempCurve]->x(), BucketX(c.plotRect, 100));
}

// Label rectangles in the window's font: apart from each other and inside
// the client area, for every time base, scale and unit.
TEST_F(ChartWindowTest, LabelsNeitherOverlapNorLeaveTheWindow) {
  CChart& c = Open();
  const QFontMetrics fm(c.Font());
  for (QSize client : {QSize(420 - 0, 300), QSize(390, 150), QSize(1920, 1080)}) {
    const PlotRect plot = PlotRectForClient(client.width(), client.height());
    for (int unit : {0, 1}) {
      for (int scale = 0; scale < kTempScaleCount; ++scale) {
        for (int tb = 0; tb < kTimeBaseCount; ++tb) {
          std::vector<Label> all = TimeLabels(tb, plot);
          for (auto& l : TemperatureLabels(scale, unit, plot)) all.push_back(l);
          for (auto& l : HumidityLabels(plot)) all.push_back(l);
          const Legend legend = LegendLabels(plot);
          for (const Label& l : {legend.temp, legend.dew, legend.hum}) all.push_back(l);
          std::vector<QRect> rects;
          for (const Label& l : all) {
            // The ink, not the line's leading.
            const QRect r = fm.tightBoundingRect(ui::ToQString(l.text)).translated(l.x, l.y + fm.ascent());
            EXPECT_TRUE(QRect(QPoint(0, 0), client).contains(r)) << l.text << " " << client.width();
            for (const QRect& o : rects) EXPECT_FALSE(o.intersects(r)) << l.text;
            rects.push_back(r);
          }
        }
      }
    }
  }
}

TEST_F(ChartWindowTest, ScreenshotsOfEveryTimeBaseInBothUnits) {
  static const char* const kNames[] = {"5min", "1hr", "10hr", "30hr"};
  for (int unit : {1, 0}) {
    sensor_.unit = unit;
    for (int tb = 0; tb < kTimeBaseCount; ++tb) {
      Settings().WriteInt(values::ChartTimeScale, values::kFixedSuffix, tb);
      Settings().WriteInt(values::ChartTempScale, values::kFixedSuffix, tb % 3);
      Settings().WriteInt(values::ChartDewPoint, values::kFixedSuffix, 1);
      CChart& c = Open();
      c.KillTimer(kAdvanceTimerId);
      FillHistory(history, 700);
      c.SetWindowSize(kSnapOuterWidth, kSnapOuterHeight);
      Paint(c);
      const std::string name = std::string("chart_") + kNames[tb] + (unit == 1 ? "_C" : "_F") + ".png";
      ASSERT_TRUE(c.Grab(KM7_SCREENSHOT_DIR "/" + name));
      // The legend keeps clear of the buttons beside it.
      const QFontMetrics fm(c.Font());
      const Legend legend = LegendLabels(c.plotRect);
      for (const Label& l : {legend.temp, legend.dew, legend.hum}) {
        const QRect r = fm.tightBoundingRect(ui::ToQString(l.text)).translated(l.x, l.y + fm.ascent());
        for (int id : {IDC_SHOW_DEW_POINT, IDC_TIME_30HR, IDC_SCALE_NARROW}) {
          EXPECT_FALSE(c.GetDlgItem(id)->geometry().intersects(r)) << l.text << " " << id << " " << name;
        }
      }
      chartWindow.Close();
    }
  }
}

}  // namespace
}  // namespace km7::chart
