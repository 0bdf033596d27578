#include "ui/ControlFit.h"

#include <algorithm>

namespace km7::ui {
namespace {
bool RowsOverlap(const QRect& a, const QRect& b) { return a.top() < b.bottom() && b.top() < a.bottom(); }
int End(const QRect& r) { return r.left() + r.width(); }
}  // namespace

FitResult FitControls(const std::vector<FitItem>& items, QSize client) {
  const size_t n = items.size();
  std::vector<QRect> cur(n);
  for (size_t i = 0; i < n; ++i) {
    const FitItem& it = items[i];
    QRect r = it.rect;
    if (!it.hidden) {
      if (it.need.height() > r.height()) {
        const int grow = it.need.height() - r.height();
        if (it.growAboutMiddle) {
          r.adjust(0, -grow / 2, 0, grow - grow / 2);
        } else {
          r.setHeight(it.need.height());
        }
      }
      if (it.need.width() > r.width()) r.setWidth(it.need.width());
    }
    cur[i] = r;
  }

  // Move right-hand neighbours along, in order of their left edges so that
  // moves cascade; a gap of up to 3 pixels is kept.
  std::vector<size_t> byLeft(n);
  for (size_t i = 0; i < n; ++i) byLeft[i] = i;
  std::stable_sort(byLeft.begin(), byLeft.end(),
                   [&](size_t a, size_t b) { return items[a].rect.left() < items[b].rect.left(); });
  for (size_t i = 0; i < n; ++i) {
    const size_t a = byLeft[i];
    const QRect& aOrig = items[a].rect;
    if (cur[a].right() <= aOrig.right() && cur[a].left() == aOrig.left()) continue;
    const int aEnd = End(aOrig);
    for (size_t j = i + 1; j < n; ++j) {
      const size_t b = byLeft[j];
      const QRect& bOrig = items[b].rect;
      if (bOrig.left() < aEnd || !RowsOverlap(aOrig, bOrig)) continue;
      const int gap = std::min(bOrig.left() - aEnd, 3);
      const int needLeft = End(cur[a]) + gap;
      if (cur[b].left() < needLeft) cur[b].moveLeft(needLeft);
    }
  }

  // Frames grow around what they held, keeping their right margin.
  for (size_t f = 0; f < n; ++f) {
    if (!items[f].frame) continue;
    const QRect& fOrig = items[f].rect;
    for (size_t i = 0; i < n; ++i) {
      if (i == f || !fOrig.contains(items[i].rect)) continue;
      const int margin = End(fOrig) - End(items[i].rect);
      const int needEnd = End(cur[i]) + margin;
      if (End(cur[f]) < needEnd) cur[f].setWidth(needEnd - cur[f].left());
    }
  }

  // The last control of a row keeps its margin to the dialog's edge; those
  // before it were accounted for by moving it.
  int w = client.width();
  int h = client.height();
  for (size_t i = 0; i < n; ++i) {
    const QRect& orig = items[i].rect;
    if (cur[i] == orig) continue;
    const int end = End(orig);
    bool lastInRow = true;
    for (size_t b = 0; b < n && lastInRow; ++b) {
      if (b != i && items[b].rect.left() >= end && RowsOverlap(orig, items[b].rect)) lastInRow = false;
    }
    if (!lastInRow) continue;
    const int rightMargin = std::max(0, client.width() - end);
    const int bottomMargin = std::max(0, client.height() - (orig.top() + orig.height()));
    w = std::max(w, End(cur[i]) + rightMargin);
    h = std::max(h, cur[i].top() + cur[i].height() + bottomMargin);
  }
  return {std::move(cur), QSize(w, h)};
}

}  // namespace km7::ui
