// A sensor's name is text, shown as it is wherever it appears: an ampersand
// is no keyboard mnemonic, quotes and angle brackets are no markup.
#include <QLabel>
#include <QLineEdit>

#include "AppTestSupport.h"
#include "alarms/AlarmEmailDlg.h"
#include "alarms/AlarmMessage.h"
#include "chart/Chart.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "ui/DialogDriver.h"

namespace km7::test {
namespace {

constexpr char kName[] = "R&D \"Lab\" <1>";

class NameAsItIsTest : public AppTest {};

TEST_F(NameAsItIsTest, MainWindowChartAlarmDialogAndMailShowTheNameUnchanged) {
  ConfigureSim(std::string("[module]\ndescription = ") + kName + "\n");
  ProfileStore::Instance().WriteText(profile::Device, kDefaultSensorName, kName);
  CKm7Dlg& w = StartMainWindow();
  ASSERT_EQ(w.GetDlgItemText(IDC_NAME), kName);
  EXPECT_EQ(qobject_cast<QLineEdit*>(w.GetDlgItem(IDC_NAME))->text(), QString::fromLatin1(kName));

  ui::DialogDriver(w).PressButton(IDC_CHARTING);
  ASSERT_NE(w.chartWindow.Get(), nullptr);
  EXPECT_EQ(w.chartWindow.Get()->Widget()->windowTitle(),
            QString::fromUtf8("T/H/D Chart (-55\u00B0C to +125\u00B0C)  ") + QString::fromLatin1(kName));

  // What the label on screen holds, not only what the program set into it.
  QString title;
  ui::ScopedModalHook hook([&](ui::CDialog& d) {
    if (auto* label = qobject_cast<QLabel*>(d.GetDlgItem(alarms::IDC_TITLE))) title = label->text();
    ui::DialogDriver(d).PressButton(ui::IDCANCEL);
    return ui::IDCANCEL;
  });
  ui::DialogDriver(w).PressButton(IDC_TEMP_EMAIL);
  EXPECT_EQ(title, QString("Temperature alarm setup screen for sensor: ") + QString::fromLatin1(kName));

  // The alarm mail's first line.
  const std::string body = alarms::AlarmBody(alarms::AlarmKind::Temperature, kName, alarms::SensorValues{31.0, 40.0, 15.0},
                                             AlarmBands{}, 1, "", "", "");
  EXPECT_EQ(body.rfind(std::string("Sensor: ") + kName + "   Temp: 31.0", 0), 0u) << body;
}

}  // namespace
}  // namespace km7::test
