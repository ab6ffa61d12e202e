// Dialog units: the templates give every rectangle in units of the dialog font, so the windows
// keep their proportions whatever font the system substitutes. One horizontal unit is a quarter
// of the font's average character width, one vertical unit an eighth of its height. No state.
#pragma once

#include "resource.h"

#include <QFont>
#include <QRect>
#include <QSize>

class DialogUnits {
 public:
  // The base units of `font`: the average width of the 52 Latin letters, rounded, and the line
  // height, as the Windows dialog manager measures them.
  explicit DialogUnits(const QFont& font);

  int baseX() const { return baseX_; }
  int baseY() const { return baseY_; }
  // `rect` in pixels, each value rounded to the nearest pixel.
  QRect toPixels(const DialogRect& rect) const;
  QSize sizeToPixels(const DialogRect& rect) const { return toPixels(rect).size(); }

 private:
  int baseX_;
  int baseY_;
};
