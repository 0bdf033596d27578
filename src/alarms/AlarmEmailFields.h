#pragma once
// The alarm e-mail dialog's fields: the settings they are stored under, and
// what the texts typed into them mean.
#include <string>

#include "settings/ProfileStore.h"

namespace km7::alarms::email {

// The name a value of the open sensor is stored under.
std::string SettingName(const km7::profile::Value& value, const std::string& sensorName);

// Without the blanks and tabs around it.
std::string Trimmed(const std::string& s);
// A decimal number and nothing else (blanks around it allowed).
bool IsNumber(const std::string& text);
// A trip point that is switched off may keep the "no value" text.
bool IsUnsetTripPoint(const std::string& text);
// Temperatures are stored in degrees Celsius and shown in the display unit.
std::string FahrenheitShown(const std::string& storedCelsius);
std::string CelsiusStored(const std::string& typedFahrenheit);

}  // namespace km7::alarms::email
