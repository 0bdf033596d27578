#pragma once
// CChartData: the pointer readout, a small window without title bar above the
// chart that shows the time and values of the bucket under the pointer.
#include "chart/ChartText.h"
#include "ui/Dialog.h"

namespace km7::chart {

inline constexpr int kReadoutTemplateId = 134;
inline constexpr int IDC_READOUT_TIME = 1001;
inline constexpr int IDC_READOUT_HUMIDITY = 1002;
inline constexpr int IDC_READOUT_TEMPERATURE = 1003;
inline constexpr int IDC_READOUT_DEW_POINT = 1004;

ui::DialogTemplate ReadoutTemplate();

class CChartData : public ui::CDialog {
 public:
  explicit CChartData(ui::CDialog* owner);
  // Three legend blots beside the boxes, in the curves' colours.
  void OnPaint(QPainter& painter) override;
  void Show(const ReadoutTexts& texts);
};

}  // namespace km7::chart
