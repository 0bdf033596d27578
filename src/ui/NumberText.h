#pragma once
// Numbers in edit boxes, read and written with a decimal point whatever the
// C library's locale (the toolkit switches it to the user's at start-up).
#include <string>

namespace km7::ui {

// Leading and trailing blanks, an optional sign and digits; nothing else, and
// within range (a value that does not fit is refused, not wrapped).
bool ParseWholeInt(const std::string& text, int& out);

// strtod's forms in the "C" locale ("1.5", "-2e3", "inf"), blanks around
// allowed, nothing else after it; an overflow is refused.
bool ParseWholeDouble(const std::string& text, double& out);

// printf's "%.15g" in the "C" locale: 2.25 shows as "2.25" everywhere.
std::string FormatDouble(double value);

}  // namespace km7::ui
