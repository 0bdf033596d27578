#pragma once
// Caption and edit text as the widgets show it: mnemonics, wrapped button
// captions, multi-line edits' line ends.
#include <QFontMetrics>
#include <QString>
#include <string>

namespace km7::ui {

// "&&" shows one ampersand, "&x" underlines x where the toolkit supports it;
// labels show the plain text.
QString StripMnemonic(const QString& text);

// Word wrap for push buttons whose caption may take several lines.
QString WrapWords(const QString& text, const QFontMetrics& fm, int width);

// Multi-line edits hold "\r\n" line ends in program text.
QString ToEditLines(const std::string& text);
std::string FromEditLines(QString q);

}  // namespace km7::ui
