// Painting of the status line and its verdict sign.
#include "status_label.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <QStyle>

namespace {

// Blue and orange from the Okabe-Ito set: told apart in every common form of colour blindness.
constexpr QRgb kSuccessDisc = 0xFF0072B2;
constexpr QRgb kFailureDisc = 0xFFD55E00;
constexpr QRgb kSignGlyph = 0xFFFFFFFF;
constexpr int kSignGap = 6;  // pixels between the sign and the text

// Draws the sign for `verdict` in the square `box`.
void PaintSign(QPainter* painter, const QRectF& box, StatusLabel::Verdict verdict) {
  const bool success = verdict == StatusLabel::Verdict::kSuccess;
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing);
  painter->setPen(Qt::NoPen);
  painter->setBrush(QColor::fromRgba(success ? kSuccessDisc : kFailureDisc));
  painter->drawEllipse(box);
  const qreal s = box.width();
  QPen pen(QColor::fromRgba(kSignGlyph), s * 0.14, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  painter->setPen(pen);
  const QPointF o = box.topLeft();
  QPainterPath glyph;
  if (success) {
    glyph.moveTo(o + QPointF(0.27 * s, 0.52 * s));
    glyph.lineTo(o + QPointF(0.43 * s, 0.68 * s));
    glyph.lineTo(o + QPointF(0.73 * s, 0.34 * s));
  } else {
    glyph.moveTo(o + QPointF(0.32 * s, 0.32 * s));
    glyph.lineTo(o + QPointF(0.68 * s, 0.68 * s));
    glyph.moveTo(o + QPointF(0.68 * s, 0.32 * s));
    glyph.lineTo(o + QPointF(0.32 * s, 0.68 * s));
  }
  painter->drawPath(glyph);
  painter->restore();
}

}  // namespace

StatusLabel::StatusLabel(QWidget* parent) : QLabel(parent) {
  // An entry name is never markup, however it looks.
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  setWordWrap(false);
}

void StatusLabel::setVerdict(Verdict verdict) {
  if (verdict == verdict_) return;
  verdict_ = verdict;
  update();
}

void StatusLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  QRect area = contentsRect();
  const int sign = verdict_ == Verdict::kNone ? 0 : fontMetrics().height();
  // Line breaks in a name would start a second line the control has no room for.
  QString line = text();
  line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  QString shown = fontMetrics().elidedText(line, Qt::ElideRight,
                                           area.width() - (sign > 0 ? sign + kSignGap : 0));
  if (sign > 0) {
    // The sign sits just left of the centred text and moves with it.
    const int text_width = fontMetrics().horizontalAdvance(shown);
    const int whole = sign + kSignGap + text_width;
    const int left = area.left() + (area.width() - whole) / 2;
    PaintSign(&painter, QRectF(left, area.top(), sign, sign), verdict_);
    area.setLeft(left + sign + kSignGap);
    area.setWidth(text_width);
  }
  style()->drawItemText(&painter, area, static_cast<int>(alignment()) | Qt::TextSingleLine,
                        palette(), isEnabled(), shown, foregroundRole());
}
