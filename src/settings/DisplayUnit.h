#pragma once
// The display unit as the settings store it (the CFmode value) and the one
// conversion every display, log and mail of the program uses.
namespace km7 {

inline constexpr int kUnitFahrenheit = 0;
inline constexpr int kUnitCelsius = 1;

inline double ToFahrenheit(double celsius) { return celsius * 9 / 5 + 32; }

}  // namespace km7
