#include "app/Km7Dlg.h"

#include <openssl/ssl.h>

#include <QCoreApplication>
#include <QEvent>
#include <QIcon>
#include <QObject>
#include <QTimer>
#include <functional>
#include <utility>

#include "acquisition/Measurement.h"
#include "app/AboutDlg.h"
#include "app/DisplayFormat.h"
#include "platform/Reporter.h"
#include "settings/ProfileStore.h"
#include "settings/OpenSensor.h"
#include "ui/MessageBox.h"

// The icon lives in a resource compiled into this static library; without
// an explicit initialisation the linker may leave it out.
static void InitKm7Resources() { Q_INIT_RESOURCE(km7); }

namespace km7 {

ui::DialogTemplate MainWindowTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  // The value boxes are 6 units wider than 26, and the Email boxes beside
  // them 6 units further right, so that "-40.0 °F" and "100.0 %" fit at 14
  // points; everything else is where it always was.
  t.caption = "ORV-KM7 T/H/D Sensor";
  t.width = 86;
  t.height = 81;
  t.pointSize = 14;
  t.style = kCaption | kSysMenu | kMinimizeBox | kCentered;
  t.controls = {
      {IDC_NAME, Kind::Edit, "", 7, 0, 78, 12, kReadOnly | kNoBorder},
      {IDC_CHARTING, Kind::CheckBox, "Charting", 9, 11, 34, 8, 0},
      {IDC_LOGGING, Kind::CheckBox, "Logging", 9, 19, 37, 8, 0},
      {IDC_FAHRENHEIT, Kind::RadioButton, "\xB0" "F", 7, 28, 16, 8, kGroup},
      {IDC_CELSIUS, Kind::RadioButton, "\xB0" "C", 24, 28, 16, 8, 0},
      {IDC_OPEN, Kind::PushButton, "Open", 50, 13, 30, 9, kDefault},
      {IDC_RENAME, Kind::PushButton, "Rename", 50, 24, 30, 10, 0},
      {IDC_STATIC, Kind::Static, "T", 8, 38, 8, 8, 0},
      {IDC_TEMPERATURE, Kind::Edit, "", 16, 36, 32, 12, kReadOnly},
      {IDC_TEMP_EMAIL, Kind::CheckBox, "Email", 50, 38, 26, 10, 0},
      {IDC_STATIC, Kind::Static, "H", 8, 52, 8, 8, 0},
      {IDC_HUMIDITY, Kind::Edit, "", 16, 50, 32, 12, kReadOnly},
      {IDC_HUM_EMAIL, Kind::CheckBox, "Email", 50, 52, 26, 10, 0},
      {IDC_STATIC, Kind::Static, "D", 8, 66, 8, 8, 0},
      {IDC_DEW_POINT, Kind::Edit, "", 16, 64, 32, 12, kReadOnly},
      {IDC_DEW_EMAIL, Kind::CheckBox, "Email", 50, 66, 26, 10, kHidden},
  };
  return t;
}

}  // namespace km7

namespace {
namespace values = km7::profile;
ProfileStore& Settings() { return ProfileStore::Instance(); }

// Runs its action once, from the event loop, after the first paint of the
// window it watches: by then that paint has reached the screen.
class FirstPaintWatcher : public QObject {
 public:
  FirstPaintWatcher(QObject* parent, std::function<void()> action) : QObject(parent), action_(std::move(action)) {}
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Paint && action_) {
      watched->removeEventFilter(this);
      QTimer::singleShot(0, this, std::exchange(action_, nullptr));
    }
    return false;
  }

 private:
  std::function<void()> action_;
};
}  // namespace

CKm7Dlg::CKm7Dlg() : CDialog(km7::MainWindowTemplate()), startupContext_(std::make_unique<QObject>()) {
  InitKm7Resources();
  SetMessageTable<CKm7Dlg>({
      {km7::ui::Notify::Clicked, km7::IDC_OPEN, &CKm7Dlg::OnOpen},
      {km7::ui::Notify::Clicked, km7::IDC_RENAME, &CKm7Dlg::OnRename},
      {km7::ui::Notify::Clicked, km7::IDC_TEMP_EMAIL, &CKm7Dlg::OnTempEmail},
      {km7::ui::Notify::Clicked, km7::IDC_HUM_EMAIL, &CKm7Dlg::OnHumEmail},
      {km7::ui::Notify::Clicked, km7::IDC_FAHRENHEIT, &CKm7Dlg::OnFahrenheit},
      {km7::ui::Notify::Clicked, km7::IDC_CELSIUS, &CKm7Dlg::OnCelsius},
      {km7::ui::Notify::Clicked, km7::IDC_CHARTING, &CKm7Dlg::OnCharting},
      {km7::ui::Notify::Clicked, km7::IDC_LOGGING, &CKm7Dlg::OnLogging},
  });
  // The driver binding's and the settings store's warnings reach the user as
  // message boxes.
  km7::SetReporter(
      [](const std::string& text) { km7::ui::ShowMessage(text, km7::ui::MessageIcon::Warning); });
}

CKm7Dlg::~CKm7Dlg() {
  StopMailWorker();
  km7::SetReporter(nullptr);
}

void CKm7Dlg::DoDataExchange(km7::ui::CDataExchange& dx) {
  using namespace km7::ui;
  DDX_Text(dx, km7::IDC_NAME, nameText);
  DDX_Text(dx, km7::IDC_TEMPERATURE, temperatureText);
  DDX_Text(dx, km7::IDC_HUMIDITY, humidityText);
  DDX_Text(dx, km7::IDC_DEW_POINT, dewPointText);
  DDX_Radio(dx, km7::IDC_FAHRENHEIT, unitChoice);
  DDX_Check(dx, km7::IDC_HUM_EMAIL, humEmailOn);
  DDX_Check(dx, km7::IDC_TEMP_EMAIL, tempEmailOn);
  DDX_Check(dx, km7::IDC_DEW_EMAIL, dewEmailOn);
  DDX_Check(dx, km7::IDC_CHARTING, chartingOn);
  DDX_Check(dx, km7::IDC_LOGGING, loggingOn);
}

bool CKm7Dlg::OnInitDialog() {
  CDialog::OnInitDialog();

  AppendSystemMenu(0, std::string());
  AppendSystemMenu(km7::IDM_ABOUTBOX, km7::kAboutMenuText);

  const QIcon icon(QStringLiteral(":/km7.png"));
  km7::ui::RegisterIcon(km7::kIconName, icon);
  SetIcon(icon);

  Settings().RemoveCrashLeftovers();
  ResetDataLogCounters();
  acquisition.SetAutoRead(false);

  EnableItem(km7::IDC_RENAME, false);

  // sensorName is "Computer Room" here.
  SaveControls();
  openSensor.unit = Settings().ReadInt(values::CFmode, sensorName);
  unitChoice = openSensor.unit;
  loggingOn = Settings().ReadInt(values::Logging, sensorName);
  tempEmailOn = Settings().ReadInt(values::TempEmailOnOff, sensorName);
  humEmailOn = Settings().ReadInt(values::HumEmailOnOff, sensorName);
  openSensor.bands.temperature = km7::ReadTemperatureBand(sensorName);
  openSensor.bands.humidity = km7::ReadHumidityBand(sensorName);
  CreateMailWorker();

  if (driver->Bind() != 0) {
    SetName(km7::kNameDriversNotFound);
    DriversLoaded.store(0);
  } else {
    SetName(km7::kNameDriversReady);
    DriversLoaded.store(1);
    // Idles until a module is open.
    acquisition.Start();
  }
  LoadControls();

  // The rest waits until the window has painted once: reopening a module
  // blocks for a moment, and a window that appears only afterwards looks like
  // a hang. A window never exposed (started minimised) goes on after a while.
  Widget()->installEventFilter(new FirstPaintWatcher(startupContext_.get(), [this] { FinishStartup(); }));
  QTimer::singleShot(km7::kStartupUnexposedMs, startupContext_.get(), [this] { FinishStartup(); });
  return true;
}

void CKm7Dlg::FinishStartup() {
  if (startupDone_ || !IsWindow()) return;
  startupDone_ = true;
  Follow(devices.ReopenRemembered());
  LoadControls();

  if (loggingOn) RestartDataLogAtStartup();

  // The reopened module's own alarm bands.
  if (tempEmailOn) openSensor.bands.temperature = km7::ReadTemperatureBand(sensorName);
  if (humEmailOn) openSensor.bands.humidity = km7::ReadHumidityBand(sensorName);

  // The two start-up calls of the SSL library, before any mail thread.
  OPENSSL_init_ssl(0, nullptr);
  OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  // Messages left in the outbox go out now.
  StartMailWorker();
}

void CKm7Dlg::OnSysCommand(int command) {
  if ((command & 0xFFF0) == km7::IDM_ABOUTBOX) {
    CAboutDlg about(this);
    about.DoModal();
  } else {
    CDialog::OnSysCommand(command);
  }
}

void CKm7Dlg::OnTimer(int id) {
  SaveControls();
  // One reading for the whole tick: the alarm check, the display, the chart
  // and the log row all see the same values. Never waits: the mail goes to
  // the worker.
  const km7::Reading reading = StepSession().reading;
  ReopenIfReplugged(reading);

  // Only the name box: the settings stay under the open sensor's name.
  if (reading.crcErrorCount != 0) nameText = km7::FormatBadReading(reading.crcErrorCount);
  if (!reading.current) {
    // Nothing current to show: never the last values as if they were live.
    temperatureText = humidityText = dewPointText = km7::kNoCurrentValue;
  } else {
    if (unitChoice == km7::kUnitCelsius || unitChoice == km7::kUnitFahrenheit) {
      temperatureText = km7::FormatTemperatureText(reading.temperature, unitChoice);
      dewPointText = km7::FormatDewPointText(reading.dewPoint, unitChoice);
    }
    humidityText = km7::FormatHumidityText(reading.relativeHumidity);
  }
  LoadControls();

  // The chart and the log see `current` and keep stale values out themselves.
  RecordChartSample(reading);
  if (!AppendLogRowIfDue(reading)) return;
  CDialog::OnTimer(id);
}

void CKm7Dlg::SetUnit(int unit) {
  openSensor.unit = unit;
  Settings().WriteInt(values::CFmode, sensorName, unit);
  ReplaceChartWindow(true);
}

void CKm7Dlg::OnFahrenheit() { SetUnit(km7::kUnitFahrenheit); }
void CKm7Dlg::OnCelsius() { SetUnit(km7::kUnitCelsius); }

void CKm7Dlg::OnOpen() { Follow(devices.OnOpenButton()); }

void CKm7Dlg::Follow(km7::DeviceOutcome outcome) {
  if (outcome != km7::DeviceOutcome::Measuring) return;
  StartDisplayTimer();
  TickSoon();
  ReplaceChartWindow(false);
}

void CKm7Dlg::ReopenIfReplugged(const km7::Reading& reading) {
  // Not for a short glitch: only once the reading went stale.
  if (reading.current || !devices.DeviceOpen() || !acquisition.AutoRead() ||
      acquisition.Health().lastFault != km7::ReadingFault::Unplugged)
    return;
  const std::int64_t now = km7::SteadyMs();
  if (now < nextReplugCheckMs_) return;
  nextReplugCheckMs_ = now + km7::kReplugCheckMs;
  if (!devices.SelectedListed()) return;
  // Listed but not measuring afterwards (open elsewhere, say): not tried
  // again at every check.
  nextReplugCheckMs_ = now + km7::kReplugRetryMs;
  Follow(devices.ReopenSelected());
}

void CKm7Dlg::OnRename() { devices.OnRenameButton(); }

void CKm7Dlg::OnClose() {
  // Shared by every module: the next start shows it even with none attached.
  Settings().WriteInt(values::CFmode, km7::kDefaultSensorName, openSensor.unit);
  CDialog::OnClose();
}

// The exit sequence: Esc, and the close box after the unit was saved.
void CKm7Dlg::OnCancel() {
  CloseChartWindow();
  SaveControls();
  SetName(km7::kNameTerminating);
  loggingOn = 0;
  chartingOn = 0;
  LoadControls();
  StopDisplayTimer();
  // The thread winds down while the files are closed.
  acquisition.RequestStop();
  CloseLogFiles();
  acquisition.Stop(km7::kExitWaitMs);
  devices.ResetPortForExit();
  EndDialog(km7::ui::IDOK);
}

void CKm7Dlg::SaveControls() { UpdateData(true); }

void CKm7Dlg::LoadControls() {
  UpdateData(false);
  // What the load changed is painted now; an unchanged window is not
  // repainted at all (the display tick loads four times a second).
  if (QWidget* w = Widget()) QCoreApplication::sendPostedEvents(w, QEvent::UpdateRequest);
}

void CKm7Dlg::StopDisplayTimer() { KillTimer(km7::kDisplayTimerId); }
void CKm7Dlg::StartDisplayTimer() { SetTimer(km7::kDisplayTimerId, km7::kDisplayTimerMs); }
void CKm7Dlg::TickSoon() {
  QTimer::singleShot(0, startupContext_.get(), [this] {
    if (HasTimer(km7::kDisplayTimerId)) OnTimer(km7::kDisplayTimerId);
  });
}

void CKm7Dlg::EnableRenameButton(bool enable) { EnableItem(km7::IDC_RENAME, enable); }
