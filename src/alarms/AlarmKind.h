#pragma once

namespace km7::alarms {

// Kind of alarm: its number is the one the setup dialog is opened with.
enum class AlarmKind { Temperature = 0, Humidity = 1 };

}  // namespace km7::alarms
