// The Help button: a push button whose click opens the help page as before, with a drop-down
// arrow on its right that opens a menu of related commands (the About box). The arrow, a right
// click, Alt+Down and F4 open the menu; a click elsewhere on the button, Space and Enter press
// it. Owns no state besides the menu it is given. GUI thread only.
#pragma once

#include <QPushButton>

class QMenu;

class HelpButton : public QPushButton {
  Q_OBJECT

 public:
  HelpButton(const QString& text, QWidget* parent = nullptr);

  // The menu the arrow opens; the caller keeps it alive as long as the button. Null: no arrow.
  void setDropDown(QMenu* menu) { dropDown_ = menu; }
  QMenu* dropDown() const { return dropDown_; }
  // The part of the button that opens the menu rather than pressing the button.
  QRect arrowRect() const;
  // Shows the menu under the button and returns once it has closed.
  void showDropDown();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  QMenu* dropDown_ = nullptr;
};
