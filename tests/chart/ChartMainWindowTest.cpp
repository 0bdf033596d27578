// The chart driven through the main window against the simulated module: the
// Charting box, the display tick feeding the history, a unit change, opening
// a module, and the exit.
#include <ctime>

#include "AppTestSupport.h"
#include "chart/Chart.h"
#include "chart/ChartHistory.h"
#include "devices/Search.h"
#include "settings/ProfileStore.h"
#include "ui/DialogDriver.h"
#include "settings/OpenSensor.h"

namespace km7::test {
namespace {

namespace values = km7::profile;
using chart::CChart;

constexpr char kLab[] = "[module]\ndescription = Lab\nraw_temperature = 6000\nraw_humidity = 1488\n";

ProfileStore& Settings() { return ProfileStore::Instance(); }

class ChartMainWindowTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    ConfigureSim(kLab);
    Settings().WriteText(values::Device, kDefaultSensorName, "Lab");
  }
  // The main window with the module open and its first reading shown.
  CKm7Dlg& StartWithModule() {
    CKm7Dlg& w = StartMainWindow();
    EXPECT_TRUE(w.HasTimer(kDisplayTimerId));
    EXPECT_TRUE(WaitFor([&] { return w.chartHistory.time[0] != 0 && w.acquisition.Read().temperature != 0.0; }));
    return w;
  }
};

TEST_F(ChartMainWindowTest, TicksFillTheCurrentBucketWithoutAChart) {
  CKm7Dlg& w = StartWithModule();
  EXPECT_EQ(w.chartWindow.Get(), nullptr);
  ASSERT_TRUE(WaitFor([&] { return w.chartHistory.tempMax[0] == w.acquisition.Read().temperature; }));
  EXPECT_EQ(w.chartHistory.historyIndex, 0);  // no chart: no advance
  EXPECT_NEAR(static_cast<double>(w.chartHistory.time[0]), static_cast<double>(std::time(nullptr)), 60);
  EXPECT_GT(w.chartHistory.humMax[0], 0.0);
}

TEST_F(ChartMainWindowTest, ChartingBoxOpensAndClosesAndEscapeClearsIt) {
  CKm7Dlg& w = StartWithModule();
  ui::DialogDriver(w).PressButton(IDC_CHARTING);
  CChart* c = w.chartWindow.Get();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Owner(), &w);
  EXPECT_EQ(c->GetWindowText(), "T/H/D Chart (-55\xB0" "C to +125\xB0" "C)  Lab");
  // A second chart is never made while one is open.
  w.CheckDlgButton(IDC_CHARTING, 1);
  w.OnCharting();
  EXPECT_EQ(w.chartWindow.Get(), c);

  ui::DialogDriver(w).PressButton(IDC_CHARTING);  // cleared: the chart closes and saves
  EXPECT_EQ(w.chartWindow.Get(), nullptr);
  EXPECT_NE(SettingsText().find("ORVKM7ChartTimeScale_Computer Room=0"), std::string::npos);

  ui::DialogDriver(w).PressButton(IDC_CHARTING);
  c = w.chartWindow.Get();
  ASSERT_NE(c, nullptr);
  ui::DialogDriver(*c).PressKey(Qt::Key_Escape);
  EXPECT_EQ(w.chartWindow.Get(), nullptr);
  // The box follows the window, so the next click opens a chart at once.
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_CHARTING), 0);
  EXPECT_EQ(w.chartingOn, 0);
  ui::DialogDriver(w).PressButton(IDC_CHARTING);
  EXPECT_NE(w.chartWindow.Get(), nullptr);
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_CHARTING), 1);
}

TEST_F(ChartMainWindowTest, UnitChangeClearsTheHistoryAndReopensTheChart) {
  CKm7Dlg& w = StartWithModule();
  ui::DialogDriver(w).PressButton(IDC_CHARTING);
  ASSERT_NE(w.chartWindow.Get(), nullptr);
  ui::DialogDriver(*w.chartWindow.Get()).PressButton(chart::IDC_SCALE_NARROW);
  ASSERT_TRUE(WaitFor([&] { return w.chartHistory.historyIndex >= 3; }));

  ui::DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  CChart* c = w.chartWindow.Get();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(w.chartHistory.historyIndex, 0);
  EXPECT_EQ(w.chartHistory.time[1], 0);
  EXPECT_EQ(w.chartHistory.tempMax[2], 0.0);
  // The new window has the saved scale and the new unit.
  EXPECT_EQ(c->GetWindowText(), "T/H/D Chart (+32\xB0" "F to +86\xB0" "F)  Lab");
  EXPECT_EQ(c->GetDlgItemText(chart::IDC_SCALE_NARROW), "32\xB0 to 86\xB0" "F");
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_CHARTING), 1);

  // Without a chart the history stays.
  ui::DialogDriver(w).PressButton(IDC_CHARTING);
  ASSERT_TRUE(WaitFor([&] { return w.chartHistory.time[0] != 0; }));
  const int index = w.chartHistory.historyIndex;
  const auto stamp = w.chartHistory.time[index];
  ui::DialogDriver(w).PressButton(IDC_CELSIUS);
  EXPECT_EQ(w.chartWindow.Get(), nullptr);
  EXPECT_EQ(w.chartHistory.historyIndex, index);
  EXPECT_EQ(w.chartHistory.time[index], stamp);
}

TEST_F(ChartMainWindowTest, OpeningAModuleReopensTheChartAndKeepsTheHistory) {
  CKm7Dlg& w = StartWithModule();
  ui::DialogDriver(w).PressButton(IDC_CHARTING);
  ASSERT_NE(w.chartWindow.Get(), nullptr);
  ui::DialogDriver(*w.chartWindow.Get()).PressButton(chart::IDC_TIME_1HR);  // clears, then one bucket per 3.6 s
  w.chartHistory.tempMin[0] = -40.0;  // a mark the reopen must keep
  ASSERT_EQ(SettingsText().find("ORVKM7ChartTimeScale"), std::string::npos);
  ui::ScopedModalHook hook([](ui::CDialog& d) {
    ui::DialogDriver(d).PressButton(ui::IDOK);
    return ui::IDCANCEL;
  });
  ui::DialogDriver(w).PressButton(IDC_OPEN);
  CChart* c = w.chartWindow.Get();
  ASSERT_NE(c, nullptr);
  // The old chart was closed (its settings saved) and a new one restored them.
  EXPECT_EQ(Settings().ReadInt(values::ChartTimeScale, values::kFixedSuffix), 1);
  EXPECT_EQ(c->IsDlgButtonChecked(chart::IDC_TIME_1HR), 1);
  EXPECT_EQ(w.chartHistory.tempMin[0], -40.0);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "Lab");
}

TEST_F(ChartMainWindowTest, ExitClosesTheChartAndSavesItsSettings) {
  CKm7Dlg& w = StartWithModule();
  ui::DialogDriver(w).PressButton(IDC_CHARTING);
  ASSERT_NE(w.chartWindow.Get(), nullptr);
  ui::DialogDriver(*w.chartWindow.Get()).PressButton(chart::IDC_TIME_30HR);
  w.OnCancel();
  EXPECT_EQ(w.chartWindow.Get(), nullptr);
  EXPECT_EQ(Settings().ReadInt(values::ChartTimeScale, values::kFixedSuffix), 3);
  EXPECT_EQ(w.IsDlgButtonChecked(IDC_CHARTING), 0);
}

}  // namespace
}  // namespace km7::test
