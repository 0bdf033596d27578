#pragma once
// The sensor the windows show: its name, its display unit and its alarm trip
// points, as loaded from its settings when it is opened. The main window, the
// device operations, the chart and the alarm windows share them, on the
// user-interface thread only.
#include <string>

#include "settings/AlarmBands.h"
#include "settings/DisplayUnit.h"

// The open sensor's name as the alarm windows and renaming use it
// (Windows-1252).
extern std::string currentSensorName;

// kUnitCelsius or kUnitFahrenheit. Followed by the chart, the alarm mail and
// the alarm setup dialog; the display tick follows the radio buttons.
extern int DisplayUnit;

namespace km7 {

inline constexpr char kDefaultSensorName[] = "Computer Room";
// What the name box shows while the driver is bound and no module is open.
inline constexpr char kNameDriversReady[] = "Drivers Ready";

// Reads the four temperature (or humidity) values stored for the sensor
// suffix into AlarmTripPoints.
void LoadTemperatureTripPoints(const std::string& suffix);
void LoadHumidityTripPoints(const std::string& suffix);

}  // namespace km7

extern km7::AlarmBands AlarmTripPoints;
