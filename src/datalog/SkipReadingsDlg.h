#pragma once
// The logging interval dialog (template 133).
#include <cstdint>

#include "ui/Dialog.h"

class CSkipReadings : public km7::ui::CDialog {
 public:
  static constexpr int IDD = 133;
  static constexpr int IDC_INTERVAL = 1070;

  explicit CSkipReadings(km7::ui::CDialog* owner = nullptr);

  std::int32_t interval = 0;

  void DoDataExchange(km7::ui::CDataExchange& dx) override;
};
