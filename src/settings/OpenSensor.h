#pragma once
// The sensor the windows show: its name, its display unit and its alarm trip
// points. The program's monitoring session owns it; the main window, the
// device operations, the chart and the alarm windows get it by reference,
// on the user-interface thread only.
#include <string>

#include "settings/AlarmBands.h"
#include "settings/DisplayUnit.h"

namespace km7 {

inline constexpr char kDefaultSensorName[] = "Computer Room";
// What the name box shows while the driver is bound and no module is open.
inline constexpr char kNameDriversReady[] = "Drivers Ready";

struct OpenSensor {
  // The open sensor's name as the alarm windows and renaming use it
  // (Windows-1252).
  std::string name;
  // kUnitCelsius or kUnitFahrenheit. Followed by the chart, the alarm mail
  // and the alarm setup dialog; the display tick follows the radio buttons.
  int unit = kUnitCelsius;
  AlarmBands bands;
};

}  // namespace km7
