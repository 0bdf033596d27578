#include "ui/ControlText.h"

#include <QStringList>

#include "ui/QtText.h"

namespace km7::ui {

QString StripMnemonic(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

QString WrapWords(const QString& text, const QFontMetrics& fm, int width) {
  QStringList lines;
  for (const QString& paragraph : text.split(QLatin1Char('\n'))) {
    QString line;
    for (const QString& word : paragraph.split(QLatin1Char(' '))) {
      const QString candidate = line.isEmpty() ? word : line + QLatin1Char(' ') + word;
      if (!line.isEmpty() && fm.horizontalAdvance(StripMnemonic(candidate)) > width) {
        lines << line;
        line = word;
      } else {
        line = candidate;
      }
    }
    lines << line;
  }
  return lines.join(QLatin1Char('\n'));
}

QString ToEditLines(const std::string& text) {
  QString q = ToQString(text);
  q.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return q;
}
std::string FromEditLines(QString q) {
  q.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return FromQString(q);
}


}  // namespace km7::ui
