#include "ui/DialogUnits.h"

#include <QFontMetrics>
#include <QGuiApplication>
#include <QScreen>
#include <cstdint>
#include <cstdlib>

namespace km7::ui {

QFont TemplateFont(const std::string& name, int pointSize) {
  static const char* const kDialogFonts[] = {"", "MS Sans Serif", "MS Shell Dlg", "MS Shell Dlg 2",
                                              "Microsoft Sans Serif"};
  QString family = QString::fromStdString(name);
  for (const char* f : kDialogFonts) {
    if (name == f) family = QStringLiteral("Liberation Sans");
  }
  if (pointSize <= 0) pointSize = 8;
  int dpi = 96;
  if (QGuiApplication::primaryScreen() != nullptr) {
    dpi = static_cast<int>(QGuiApplication::primaryScreen()->logicalDotsPerInchY() + 0.5);
    if (dpi <= 0) dpi = 96;
  }
  QFont font(family);
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(MulDiv(pointSize, dpi, 72));
  return font;
}

BaseUnits ComputeBaseUnits(const QFont& font) {
  const QFontMetrics fm(font);
  // The original platform's rule: the width of the 52 letters, averaged and
  // rounded; the height of the font.
  const int cx = fm.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  BaseUnits units;
  units.x = (cx / 26 + 1) / 2;
  units.y = fm.height();
  if (units.x <= 0) units.x = 1;
  if (units.y <= 0) units.y = 1;
  return units;
}

int MulDiv(int a, int b, int c) {
  if (c == 0) return -1;
  const std::int64_t p = static_cast<std::int64_t>(a) * b;
  const std::int64_t half = std::llabs(c) / 2;
  const bool negative = (p < 0) != (c < 0);
  const std::int64_t q = (std::llabs(p) + half) / std::llabs(c);
  return static_cast<int>(negative ? -q : q);
}

int DluToPixelsX(const BaseUnits& units, int dlu) { return MulDiv(dlu, units.x, 4); }
int DluToPixelsY(const BaseUnits& units, int dlu) { return MulDiv(dlu, units.y, 8); }

QRect MapDialogRect(const BaseUnits& units, int x, int y, int w, int h) {
  const int left = DluToPixelsX(units, x);
  const int top = DluToPixelsY(units, y);
  // Both edges mapped, so adjacent controls stay adjacent.
  const int right = DluToPixelsX(units, x + w);
  const int bottom = DluToPixelsY(units, y + h);
  return QRect(left, top, right - left, bottom - top);
}

}  // namespace km7::ui
