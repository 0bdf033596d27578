#pragma once
// Where program text (Windows-1252 bytes) meets a Qt widget. Every widget text
// goes through these two, which use km7::Cp1252ToUtf8 / Utf8ToCp1252.
#include <QString>
#include <string>
#include <string_view>

namespace km7::ui {

QString ToQString(std::string_view cp1252);
// Characters Windows-1252 cannot hold become '?'.
std::string FromQString(const QString& text);

}  // namespace km7::ui
