// The Help button's arrow and its menu.
#include "help_button.h"

#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QStyleOptionButton>
#include <QStylePainter>

HelpButton::HelpButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {}

QRect HelpButton::arrowRect() const {
  if (dropDown_ == nullptr) return QRect();
  QStyleOptionButton option;
  initStyleOption(&option);
  option.features |= QStyleOptionButton::HasMenu;
  // The style draws the arrow in the last PM_MenuButtonIndicator pixels; the part that opens the
  // menu starts a little before it, where the separating line is drawn.
  const int arrow = style()->pixelMetric(QStyle::PM_MenuButtonIndicator, &option, this) + 4;
  return QStyle::visualRect(layoutDirection(), rect(), QRect(width() - arrow, 0, arrow, height()));
}

void HelpButton::showDropDown() {
  if (dropDown_ == nullptr) return;
  setDown(true);  // the button looks pressed while its menu is open
  dropDown_->exec(mapToGlobal(rect().bottomLeft() + QPoint(0, 1)));
  setDown(false);
}

void HelpButton::paintEvent(QPaintEvent* event) {
  if (dropDown_ == nullptr) return QPushButton::paintEvent(event);
  QStylePainter painter(this);
  QStyleOptionButton option;
  initStyleOption(&option);
  // The style's own arrow for a button with a menu: it also moves the text clear of it.
  option.features |= QStyleOptionButton::HasMenu;
  painter.drawControl(QStyle::CE_PushButton, option);
  // A thin line tells the arrow's part from the rest of the button.
  const QRect arrow = arrowRect();
  const int x = layoutDirection() == Qt::LeftToRight ? arrow.left() : arrow.right();
  const int inset = height() / 4;
  painter.setPen(
      palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
  painter.setOpacity(0.35);
  painter.drawLine(x, inset, x, height() - 1 - inset);
}

void HelpButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && arrowRect().contains(event->position().toPoint())) {
    event->accept();
    showDropDown();
    return;
  }
  QPushButton::mousePressEvent(event);
}

void HelpButton::keyPressEvent(QKeyEvent* event) {
  const bool alt_down = event->key() == Qt::Key_Down && (event->modifiers() & Qt::AltModifier);
  if (dropDown_ != nullptr && (alt_down || event->key() == Qt::Key_F4)) {
    showDropDown();
    return;
  }
  QPushButton::keyPressEvent(event);
}

void HelpButton::contextMenuEvent(QContextMenuEvent* event) {
  if (dropDown_ == nullptr) return QPushButton::contextMenuEvent(event);
  event->accept();
  showDropDown();
}
