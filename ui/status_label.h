// The status line: a plain-text label that shows one line, centred, and ends in an ellipsis when
// the text is wider than the control, like a static control with end ellipsis. The full text
// stays in text(); only the painting is shortened.
#pragma once

#include <QLabel>

class StatusLabel : public QLabel {
  Q_OBJECT

 public:
  explicit StatusLabel(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};
