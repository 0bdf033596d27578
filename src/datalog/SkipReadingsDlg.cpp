#include "datalog/SkipReadingsDlg.h"

namespace {
using namespace km7::ui;

DialogTemplate SkipReadingsTemplate() {
  DialogTemplate t;
  t.caption = "Dialog";
  t.width = 186;
  t.height = 84;
  t.pointSize = 8;
  t.controls = {
      {IDC_STATIC, Kind::Static, "Enter the logging interval in seconds.", 7, 7, 172, 10, 0},
      {IDC_STATIC, Kind::Static, "An entry of 10 will result in the log file being updated", 7, 22, 172, 10, 0},
      {IDC_STATIC, Kind::Static, "every 10 seconds.", 7, 34, 172, 10, 0},
      {CSkipReadings::IDC_INTERVAL, Kind::Edit, "", 7, 63, 78, 14, 0},
      {IDOK, Kind::PushButton, "OK", 129, 63, 50, 14, kDefault},
  };
  return t;
}
}  // namespace

CSkipReadings::CSkipReadings(km7::ui::CDialog* owner) : CDialog(SkipReadingsTemplate(), owner) {}

void CSkipReadings::DoDataExchange(km7::ui::CDataExchange& dx) {
  km7::ui::DDX_Text(dx, IDC_INTERVAL, interval);
}
