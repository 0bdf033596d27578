#include "chart/ChartData.h"

#include <QPainter>

#include "chart/ChartPainter.h"

namespace km7::chart {

ui::DialogTemplate ReadoutTemplate() {
  using namespace km7::ui;
  DialogTemplate t;
  t.caption = "";
  t.x = 30;
  t.y = -35;
  t.width = 190;
  t.height = 28;
  t.pointSize = 12;
  t.style = 0;  // a frame, no title bar
  t.controls = {
      {IDC_READOUT_TIME, Kind::Edit, "", 8, 2, 85, 12, kReadOnly | kNoBorder},
      {IDC_READOUT_TEMPERATURE, Kind::Edit, "", 8, 16, 85, 12, kReadOnly | kNoBorder},
      {IDC_READOUT_HUMIDITY, Kind::Edit, "", 105, 2, 83, 12, kReadOnly | kNoBorder},
      {IDC_READOUT_DEW_POINT, Kind::Edit, "", 105, 16, 79, 12, kReadOnly | kNoBorder},
      {IDOK, Kind::PushButton, "", 183, 8, 7, 14, kDefault | kHidden},
  };
  return t;
}

CChartData::CChartData(ui::CDialog* owner) : CDialog(ReadoutTemplate(), owner) {}

void CChartData::OnPaint(QPainter& p) {
  p.setRenderHint(QPainter::Antialiasing, false);
  auto blot = [&p](const QColor& c, int x, int y) {
    p.setPen(QPen(c, 10, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(x, y, x + 1, y);
  };
  blot(colour::kTemperature, 10, 50);
  blot(colour::kHumidity, 228, 15);
  blot(colour::kDewPoint, 228, 50);
}

void CChartData::Show(const ReadoutTexts& t) {
  SetDlgItemText(IDC_READOUT_TIME, t.time);
  SetDlgItemText(IDC_READOUT_TEMPERATURE, t.temperature);
  SetDlgItemText(IDC_READOUT_HUMIDITY, t.humidity);
  SetDlgItemText(IDC_READOUT_DEW_POINT, t.dewPoint);
}

}  // namespace km7::chart
