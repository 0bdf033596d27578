#pragma once
// Text inside the program is Windows-1252 bytes. These are the only two
// conversions: to UTF-8 where text meets the file system or a widget, and back.
#include <string>
#include <string_view>

namespace km7 {

std::string Cp1252ToUtf8(std::string_view cp1252);
// Characters Windows-1252 cannot hold become '?'.
std::string Utf8ToCp1252(std::string_view utf8);

// printf's "%.<decimals>f" with a decimal point whatever the C library's
// locale (the toolkit switches it to the user's); non-finite values read as
// glibc prints them ("nan", "-nan", "inf", "-inf").
std::string FormatFixed(double value, int decimals);

// Compares letters A-Z without case and every other byte as it is, whatever
// the C library's locale.
bool EqualsIgnoringCase(std::string_view a, std::string_view b);

// The leading decimal number of a text, 0 when there is none; always with a
// decimal point, whatever the C library's locale.
double AtofC(const std::string& text);

// UTF-8 text for a terminal or a log: control characters (C0, DEL and C1)
// shown as \xNN, so that no escape sequence in a name reaches the terminal
// and no newline forges a line of its own. Everything else is kept.
std::string EscapeControls(std::string_view utf8);

// Appends one code point as UTF-8.
void AppendUtf8(std::string& out, char32_t cp);

}  // namespace km7
