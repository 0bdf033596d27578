// The display tick of the main window: the value formats in both units and
// with no unit, the bad-reading count, and the alarm check with its latches.
#include <fstream>
#include <sstream>

#include "AppTestSupport.h"
#include "alarms/EmailErrorLog.h"
#include "settings/ProfileStore.h"
#include "support/RefusingPort.h"
#include "settings/OpenSensor.h"
#include "devices/Rename.h"
#include "ui/DialogDriver.h"

using km7::ui::DialogDriver;

namespace km7::test {
namespace {

namespace values = km7::profile;

// 20.00 °C, 49.419 %, dew point 9.08 °C.
constexpr char kLab[] =
    "[module]\ndescription = Lab\nraw_temperature = 6000\nraw_humidity = 1488\n";

void Remember(const std::string& description) {
  ProfileStore::Instance().WriteText(values::Device, kDefaultSensorName, description);
}

using DisplayTickTest = AppTest;

TEST_F(DisplayTickTest, ShowsBothUnitsWithTheirBlanksAndKeepsTextsWithoutAUnit) {
  ConfigureSim(kLab);
  Remember("Lab");
  CKm7Dlg& w = StartMainWindow();
  ASSERT_EQ(w.IsDlgButtonChecked(IDC_CELSIUS), 1);
  auto shows = [&](int id, const std::string& text) {
    return WaitFor([&] { return w.GetDlgItemText(id) == text; });
  };
  EXPECT_TRUE(shows(IDC_TEMPERATURE, "20.0 \xB0" "C ")) << w.GetDlgItemText(IDC_TEMPERATURE);
  EXPECT_TRUE(shows(IDC_HUMIDITY, "49.4 % ")) << w.GetDlgItemText(IDC_HUMIDITY);
  EXPECT_TRUE(shows(IDC_DEW_POINT, "9.1 \xB0" "C ")) << w.GetDlgItemText(IDC_DEW_POINT);

  DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  EXPECT_EQ(w.openSensor.unit, 0);
  EXPECT_EQ(ProfileStore::Instance().ReadInt(values::CFmode, "Lab"), 0);
  EXPECT_TRUE(shows(IDC_TEMPERATURE, "68.0 \xB0" "F   ")) << w.GetDlgItemText(IDC_TEMPERATURE);
  EXPECT_TRUE(shows(IDC_DEW_POINT, "48.3 \xB0" "F ")) << w.GetDlgItemText(IDC_DEW_POINT);
  EXPECT_EQ(w.GetDlgItemText(IDC_HUMIDITY), "49.4 % ");

  // Neither button checked: temperature and dew point keep what they hold,
  // the humidity is still updated.
  w.CheckDlgButton(IDC_FAHRENHEIT, 0);
  w.SetDlgItemText(IDC_TEMPERATURE, "kept");
  w.SetDlgItemText(IDC_DEW_POINT, "kept too");
  w.SetDlgItemText(IDC_HUMIDITY, "stale");
  EXPECT_TRUE(shows(IDC_HUMIDITY, "49.4 % "));
  EXPECT_EQ(w.GetDlgItemText(IDC_TEMPERATURE), "kept");
  EXPECT_EQ(w.GetDlgItemText(IDC_DEW_POINT), "kept too");
  EXPECT_EQ(w.unitChoice, -1);
  EXPECT_EQ(w.openSensor.unit, 0);  // the buttons set it, not the tick

  DialogDriver(w).PressButton(IDC_CELSIUS);
  EXPECT_EQ(ProfileStore::Instance().ReadInt(values::CFmode, "Lab"), 1);
  EXPECT_TRUE(shows(IDC_TEMPERATURE, "20.0 \xB0" "C "));
}

TEST_F(DisplayTickTest, OneCorruptedCheckByteShowsBadReadingOneAndSettingsKeepTheSensorName) {
  // The second measurement (the first humidity) carries a wrong check byte;
  // the thread is held in its first cycle pause so no other one follows.
  ConfigureSim(std::string(kLab) + "corrupt_crc_every = 2\n");
  Remember("Lab");
  HoldCyclePause(true);
  CKm7Dlg& w = StartMainWindow();
  ASSERT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_NAME).rfind("bad reading", 0) == 0; }))
      << w.GetDlgItemText(IDC_NAME);
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "bad reading (1)");
  // The values are shown as they are.
  EXPECT_TRUE(WaitFor([&] { return w.GetDlgItemText(IDC_TEMPERATURE) == "20.0 \xB0" "C "; }));

  // The unit is stored under the sensor's name, not under the status text.
  DialogDriver(w).PressButton(IDC_FAHRENHEIT);
  EXPECT_EQ(ProfileStore::Instance().ReadInt(values::CFmode, "Lab"), 0);
  EXPECT_EQ(SettingsText().find("bad reading"), std::string::npos);

  // Renaming offers the sensor's name as the current one.
  std::string current;
  ui::ScopedModalHook hook([&](ui::CDialog& d) {
    current = d.GetDlgItemText(IDC_CURRENT_NAME);
    DialogDriver(d).PressButton(ui::IDCANCEL);
    return ui::IDCANCEL;
  });
  DialogDriver(w).PressButton(IDC_RENAME);
  EXPECT_EQ(current, "Lab");
  EXPECT_EQ(w.GetDlgItemText(IDC_NAME), "bad reading (1)");
  HoldCyclePause(false);
}

// The tick is driven by hand with no module open, so nothing but the test
// writes the sample. The tick hands its alarm mail to the mail worker and
// never waits for it; the worker tries a loopback port that refuses.
class AlarmTickTest : public AppTest {
 protected:
  void SetUp() override {
    AppTest::SetUp();
    ConfigureSim("");
    w = &StartMainWindow();
    ASSERT_GT(refusing.port(), 0);
    ProfileStore::Instance().WriteText(values::ServerName, w->sensorName, "127.0.0.1");
    ProfileStore::Instance().WriteInt(values::PortNumber, w->sensorName, refusing.port());
    ASSERT_FALSE(w->HasTimer(kDisplayTimerId));
    w->openSensor.bands.temperature = AlarmBand{1, 30.0f, 1, 10.0f};
    w->openSensor.bands.humidity = AlarmBand{1, 60.0f, 1, 20.0f};
    Put(20.0, 40.0, kNoGood);
    w->CheckDlgButton(IDC_TEMP_EMAIL, 1);
    w->CheckDlgButton(IDC_HUM_EMAIL, 1);
  }
  static constexpr std::int64_t kNoGood = ReadingStore::kNoGoodReading;
  // Puts values in place as the acquisition publishes them.
  void Put(double temperature, double humidity, std::int64_t lastGoodMs) {
    Reading r = w->acquisition.Read();
    r.temperature = temperature;
    r.relativeHumidity = humidity;
    w->acquisition.Store().Put(r, lastGoodMs);
  }
  // Mails (temperature, humidity) sent by one tick with these values.
  int Fired(alarms::Quantity q, alarms::Limit l) const { return w->session.Alarms().State().At(q, l).fired ? 1 : 0; }
  std::pair<int, int> Tick(double temperature, double humidity) {
    const int t = w->alarmMailsQueued[0], h = w->alarmMailsQueued[1];
    // A good reading just now, unless the test says otherwise.
    Put(temperature, humidity, stale ? SteadyMs() - kStaleAfterMs - 1 : SteadyMs());
    w->OnTimer(kDisplayTimerId);
    return {w->alarmMailsQueued[0] - t, w->alarmMailsQueued[1] - h};
  }
  RefusingPort refusing;
  bool stale = false;
  CKm7Dlg* w = nullptr;
};

TEST_F(AlarmTickTest, HighTemperatureFiresOnceAndReArmsOnlyBelowLimitMinusOne) {
  using P = std::pair<int, int>;
  EXPECT_EQ(Tick(30.0, 40.0), P(0, 0));
  EXPECT_EQ(Tick(30.1, 40.0), P(1, 0));
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::High), 1);
  EXPECT_EQ(Tick(30.1, 40.0), P(0, 0));
  EXPECT_EQ(Tick(29.5, 40.0), P(0, 0));
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::High), 1);
  EXPECT_EQ(Tick(28.9, 40.0), P(0, 0));
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::High), 0);
  EXPECT_EQ(Tick(30.1, 40.0), P(1, 0));
  EXPECT_EQ(w->GetDlgItemText(IDC_TEMPERATURE), "30.1 \xB0" "C ");
}

TEST_F(AlarmTickTest, LowTemperatureFiresBelowAndReArmsAboveLimitPlusOne) {
  using P = std::pair<int, int>;
  EXPECT_EQ(Tick(9.9, 40.0), P(1, 0));
  EXPECT_EQ(Tick(10.9, 40.0), P(0, 0));
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::Low), 1);
  EXPECT_EQ(Tick(9.5, 40.0), P(0, 0));
  EXPECT_EQ(Tick(11.1, 40.0), P(0, 0));
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::Low), 0);
  EXPECT_EQ(Tick(9.9, 40.0), P(1, 0));
}

TEST_F(AlarmTickTest, HumidityBandUsesItsOwnLimitsLatchesAndDispatch) {
  using P = std::pair<int, int>;
  EXPECT_EQ(Tick(20.0, 60.0), P(0, 0));
  EXPECT_EQ(Tick(20.0, 60.5), P(0, 1));
  EXPECT_EQ(Tick(20.0, 59.5), P(0, 0));
  EXPECT_EQ(Tick(20.0, 58.9), P(0, 0));
  EXPECT_EQ(Tick(20.0, 19.0), P(0, 1));
  EXPECT_EQ(Fired(alarms::Quantity::Humidity, alarms::Limit::High), 0);
  EXPECT_EQ(Fired(alarms::Quantity::Humidity, alarms::Limit::Low), 1);
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::High), 0);
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::Low), 0);
}

TEST_F(AlarmTickTest, UncheckedEmailBoxNeitherFiresNorReArms) {
  using P = std::pair<int, int>;
  EXPECT_EQ(Tick(31.0, 40.0), P(1, 0));
  w->CheckDlgButton(IDC_TEMP_EMAIL, 0);
  EXPECT_EQ(Tick(20.0, 40.0), P(0, 0));
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::High), 1);  // not re-armed
  EXPECT_EQ(Tick(9.0, 40.0), P(0, 0));
  w->CheckDlgButton(IDC_TEMP_EMAIL, 1);
  EXPECT_EQ(Tick(31.0, 40.0), P(0, 0));  // still the old excursion
}

TEST_F(AlarmTickTest, BothAlarmsGoOutAtOnceWhileMailIsUnderway) {
  using P = std::pair<int, int>;
  EXPECT_EQ(Tick(31.0, 70.0), P(1, 1));
  EXPECT_EQ(Tick(20.0, 40.0), P(0, 0));
  EXPECT_EQ(Tick(31.0, 70.0), P(1, 1));
}

TEST_F(AlarmTickTest, ANewMainWindowStartsWithClearLatches) {
  EXPECT_EQ(Tick(31.0, 40.0), std::make_pair(1, 0));
  ASSERT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::High), 1);
  w = &StartMainWindow();
  EXPECT_EQ(Fired(alarms::Quantity::Temperature, alarms::Limit::High), 0);
}

// Values older than the stale limit neither fire nor re-arm an alarm, and
// the boxes show "--" instead of them; the next good reading resumes both.
TEST_F(AlarmTickTest, StaleValuesAreNeitherCheckedNorShown) {
  using P = std::pair<int, int>;
  EXPECT_EQ(Tick(31.0, 70.0), P(1, 1));
  stale = true;
  EXPECT_EQ(Tick(20.0, 40.0), P(0, 0));  // would re-arm both if current
  EXPECT_EQ(Tick(31.0, 70.0), P(0, 0));
  for (int id : {IDC_TEMPERATURE, IDC_HUMIDITY, IDC_DEW_POINT}) EXPECT_EQ(w->GetDlgItemText(id), "--") << id;
  stale = false;
  EXPECT_EQ(Tick(31.0, 70.0), P(0, 0));  // still the first excursion: latched
  EXPECT_EQ(w->GetDlgItemText(IDC_TEMPERATURE), "31.0 \xB0" "C ");
  EXPECT_EQ(Tick(20.0, 40.0), P(0, 0));
  EXPECT_EQ(Tick(31.0, 70.0), P(1, 1));
}

}  // namespace
}  // namespace km7::test
