// The status line: a plain-text label that shows one line, centred, and ends in an ellipsis when
// the text is wider than the control, like a static control with end ellipsis. The full text
// stays in text(); only the painting is shortened. After a run it also marks the outcome with a
// sign before the text: a tick on a blue disc for success, a cross on an orange disc for a
// failure. Shape and colour differ both, and the sign carries its own light glyph on a mid-tone
// disc, so it reads without colour vision and on light and dark themes alike.
#pragma once

#include <QLabel>

class StatusLabel : public QLabel {
  Q_OBJECT

 public:
  enum class Verdict { kNone, kSuccess, kFailure };

  explicit StatusLabel(QWidget* parent = nullptr);

  // Shows `verdict`'s sign (none for kNone) until the next call.
  void setVerdict(Verdict verdict);
  Verdict verdict() const { return verdict_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Verdict verdict_ = Verdict::kNone;
};
