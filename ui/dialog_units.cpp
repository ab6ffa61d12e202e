// Conversion of template rectangles from dialog units to pixels.
#include "dialog_units.h"

#include <QFontMetrics>

namespace {

// value * numerator / denominator rounded half away from zero, as the dialog manager's MulDiv.
int scaleRounded(int value, int numerator, int denominator) {
  const long long product = static_cast<long long>(value) * numerator;
  const long long half = denominator / 2;
  return static_cast<int>(product >= 0 ? (product + half) / denominator
                                       : (product - half) / denominator);
}

}  // namespace

DialogUnits::DialogUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters_width = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  baseX_ = (letters_width / 26 + 1) / 2;  // average of 52 letters, rounded
  baseY_ = metrics.height();
  if (baseX_ < 1) baseX_ = 1;  // a font without metrics still gives a usable window
  if (baseY_ < 1) baseY_ = 1;
}

QRect DialogUnits::toPixels(const DialogRect& rect) const {
  return QRect(scaleRounded(rect.x, baseX_, 4), scaleRounded(rect.y, baseY_, 8),
               scaleRounded(rect.width, baseX_, 4), scaleRounded(rect.height, baseY_, 8));
}
