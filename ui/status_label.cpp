// Painting of the status line.
#include "status_label.h"

#include <QFontMetrics>
#include <QPainter>
#include <QStyle>

StatusLabel::StatusLabel(QWidget* parent) : QLabel(parent) {
  // An entry name is never markup, however it looks.
  setTextFormat(Qt::PlainText);
  setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  setWordWrap(false);
}

void StatusLabel::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect area = contentsRect();
  // Line breaks in a name would start a second line the control has no room for.
  QString line = text();
  line.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  const QString shown = fontMetrics().elidedText(line, Qt::ElideRight, area.width());
  style()->drawItemText(&painter, area, static_cast<int>(alignment()) | Qt::TextSingleLine,
                        palette(), isEnabled(), shown, foregroundRole());
}
