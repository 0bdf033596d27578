#pragma once
// The arithmetic that fits a dialog to its captions. Templates were drawn for
// another platform's fonts and check box indicators: a control whose content
// needs more room than its template gives it widens, the controls to its right
// on the same row move along, frames grow around what they hold, and the
// dialog grows by what its rows grew. No widgets here: the caller measures.
#include <QRect>
#include <QSize>
#include <vector>

namespace km7::ui {

struct FitItem {
  QRect rect;          // the template's place, client pixels
  QSize need;          // what the content needs; 0 in a direction: as it is
  bool growAboutMiddle = false;  // taller content grows up and down alike (else down)
  bool frame = false;  // a group box: grows around the controls inside it
  bool hidden = false; // never widens (an invisible default button), still moves along
};

struct FitResult {
  std::vector<QRect> rects;  // one per item, in the same order
  QSize client;              // the dialog's client size
};

FitResult FitControls(const std::vector<FitItem>& items, QSize client);

}  // namespace km7::ui
