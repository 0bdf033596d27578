#pragma once
// Dialog units: a template's coordinates scale with its font. One horizontal
// unit is a quarter of the font's average character width, one vertical unit
// an eighth of its character height.
#include <QFont>
#include <QRect>
#include <string>

namespace km7::ui {

// The font a template names. "MS Sans Serif" (and the other names of the
// original platform's dialog font) becomes Liberation Sans, whose metrics
// match; the size is the template's point size at the screen's logical DPI,
// rounded to whole pixels as the original platform does.
QFont TemplateFont(const std::string& name, int pointSize);

struct BaseUnits {
  int x = 0;  // average character width, pixels
  int y = 0;  // character height, pixels
};
BaseUnits ComputeBaseUnits(const QFont& font);

// a * b / c rounded half away from zero (negative positions occur).
int MulDiv(int a, int b, int c);

int DluToPixelsX(const BaseUnits& units, int dlu);
int DluToPixelsY(const BaseUnits& units, int dlu);
// A rectangle given as x, y, width, height in dialog units, in pixels.
QRect MapDialogRect(const BaseUnits& units, int x, int y, int w, int h);

}  // namespace km7::ui
