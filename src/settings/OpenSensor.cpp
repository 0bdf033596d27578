#include "settings/OpenSensor.h"


std::string currentSensorName;
int DisplayUnit = 1;
km7::AlarmBands AlarmTripPoints;

namespace km7 {

void LoadTemperatureTripPoints(const std::string& suffix) {
  AlarmTripPoints.temperature = ReadTemperatureBand(suffix);
}

void LoadHumidityTripPoints(const std::string& suffix) {
  AlarmTripPoints.humidity = ReadHumidityBand(suffix);
}

}  // namespace km7
