// The message pane's lines, their drawing, selection and copying.
#include "log_view.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextLayout>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kMargin = 4;  // pixels between the frame and the text

// The UTF-16 index in `line` nearest to `x` pixels from its start, and back.
int ColumnAt(const QString& line, const QFont& font, qreal x) {
  QTextLayout layout(line, font);
  layout.beginLayout();
  QTextLine row = layout.createLine();
  layout.endLayout();
  return row.isValid() ? row.xToCursor(x) : 0;
}

qreal XOf(const QString& line, const QFont& font, int column) {
  QTextLayout layout(line, font);
  layout.beginLayout();
  QTextLine row = layout.createLine();
  layout.endLayout();
  return row.isValid() ? row.cursorToX(column) : 0;
}

}  // namespace

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent), starts_{0} {
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  viewport()->setCursor(Qt::IBeamCursor);
  setFocusPolicy(Qt::StrongFocus);
}

// --- Text ----------------------------------------------------------------------------------

void LogView::setText(const char* bytes, size_t size) {
  text_.assign(bytes, size);
  starts_.assign(1, 0);
  longestBytes_ = 0;
  widest_ = 0;
  anchor_ = caret_ = Spot{};
  indexFrom(0);
  verticalScrollBar()->setValue(0);
  horizontalScrollBar()->setValue(0);
  updateScrollBars();
  viewport()->update();
}

void LogView::appendText(const char* bytes, size_t size) {
  if (size == 0) return;
  QScrollBar* bar = verticalScrollBar();
  const bool at_end = bar->value() == bar->maximum();
  const size_t old_size = text_.size();
  text_.append(bytes, size);
  size_t from = old_size;
  // A CR that ended the old text and the LF that starts the new one are one line end.
  if (old_size > 0 && text_[old_size - 1] == '\r' && bytes[0] == '\n') {
    starts_.back() = old_size + 1;
    from = old_size + 1;
  }
  indexFrom(from);
  updateScrollBars();
  if (at_end) bar->setValue(bar->maximum());
  viewport()->update();
}

void LogView::indexFrom(size_t offset) {
  const size_t first_new = starts_.size() - 1;  // the line the new bytes continue
  const char* bytes = text_.data();
  const size_t size = text_.size();
  for (size_t i = offset; i < size; ++i) {
    if (bytes[i] == '\r') {
      if (i + 1 < size && bytes[i + 1] == '\n') ++i;
      starts_.push_back(i + 1);
    } else if (bytes[i] == '\n') {
      starts_.push_back(i + 1);
    }
  }
  // Only a line longer in bytes than any before can be the widest, so few lines are measured.
  for (size_t line = first_new; line < starts_.size(); ++line) {
    const size_t end = line + 1 < starts_.size() ? starts_[line + 1] : size;
    if (end - starts_[line] <= longestBytes_) continue;
    longestBytes_ = end - starts_[line];
    widest_ = std::max(widest_, fontMetrics().horizontalAdvance(lineText(static_cast<int>(line))));
  }
}

QString LogView::lineText(int line) const {
  const size_t index = static_cast<size_t>(line);
  if (line < 0 || index >= starts_.size()) return QString();
  const size_t start = starts_[index];
  size_t end = text_.size();
  if (index + 1 < starts_.size()) {
    end = starts_[index + 1] - 1;  // before the LF or lone CR
    if (end > start && text_[end] == '\n' && text_[end - 1] == '\r') --end;
  }
  return QString::fromUtf8(text_.data() + start, static_cast<qsizetype>(end - start));
}

QString LogView::toPlainText() const {
  QString all;
  for (int line = 0; line < lineCount(); ++line) {
    if (line > 0) all += QLatin1Char('\n');
    all += lineText(line);
  }
  return all;
}

// --- Selection -----------------------------------------------------------------------------

QString LogView::selectedText() const {
  const Spot from = std::min(anchor_, caret_), to = std::max(anchor_, caret_);
  QString picked;
  for (int line = from.line; line <= to.line && !(from == to); ++line) {
    const QString text = lineText(line);
    const int begin = line == from.line ? from.column : 0;
    const int end = line == to.line ? to.column : static_cast<int>(text.size());
    if (line > from.line) picked += QLatin1Char('\n');
    picked += text.mid(begin, end - begin);
  }
  return picked;
}

void LogView::selectAll() {
  anchor_ = Spot{};
  caret_ = Spot{lineCount() - 1, static_cast<int>(lineText(lineCount() - 1).size())};
  viewport()->update();
}

void LogView::copy() const {
  const QString picked = selectedText();
  if (!picked.isEmpty()) QApplication::clipboard()->setText(picked);
}

LogView::Spot LogView::spotAt(const QPoint& point) const {
  const int row = verticalScrollBar()->value() + std::max(0, point.y()) / lineHeight();
  Spot spot;
  spot.line = std::clamp(row, 0, lineCount() - 1);
  const qreal x = point.x() - kMargin + horizontalScrollBar()->value();
  spot.column = ColumnAt(lineText(spot.line), font(), std::max<qreal>(0, x));
  return spot;
}

// --- Drawing and scrolling -----------------------------------------------------------------

int LogView::lineHeight() const { return std::max(1, fontMetrics().lineSpacing()); }

void LogView::updateScrollBars() {
  const int rows = viewport()->height() / lineHeight();
  QScrollBar* v = verticalScrollBar();
  v->setRange(0, std::max(0, lineCount() - rows));
  v->setPageStep(std::max(1, rows));
  QScrollBar* h = horizontalScrollBar();
  h->setRange(0, std::max(0, widest_ + 2 * kMargin - viewport()->width()));
  h->setPageStep(std::max(1, viewport()->width()));
  h->setSingleStep(std::max(1, fontMetrics().averageCharWidth() * 2));
}

void LogView::resizeEvent(QResizeEvent* event) {
  QScrollBar* bar = verticalScrollBar();
  const bool at_end = bar->value() == bar->maximum();  // the newest line stays in sight
  QAbstractScrollArea::resizeEvent(event);
  updateScrollBars();
  if (at_end) bar->setValue(bar->maximum());
}

void LogView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const QFontMetrics metrics = fontMetrics();
  const int height = lineHeight();
  const qreal left = kMargin - horizontalScrollBar()->value();
  const Spot from = std::min(anchor_, caret_), to = std::max(anchor_, caret_);
  const QPalette& colours = palette();
  int widest = widest_;
  for (int line = verticalScrollBar()->value(), y = 0;
       line < lineCount() && y < viewport()->height(); ++line, y += height) {
    const QString text = lineText(line);
    widest = std::max(widest, metrics.horizontalAdvance(text));
    painter.setPen(colours.color(QPalette::Text));
    painter.drawText(QPointF(left, y + metrics.ascent()), text);
    if (from == to || line < from.line || line > to.line) continue;
    // The selected part: highlight behind, the text again in the highlight's own colour.
    const qreal x0 = left + (line == from.line ? XOf(text, font(), from.column) : 0);
    const qreal x1 =
        left + (line == to.line ? XOf(text, font(), to.column)
                                : metrics.horizontalAdvance(text) + metrics.averageCharWidth());
    const QRectF band(x0, y, x1 - x0, height);
    painter.fillRect(band, colours.brush(QPalette::Highlight));
    painter.save();
    painter.setClipRect(band);
    painter.setPen(colours.color(QPalette::HighlightedText));
    painter.drawText(QPointF(left, y + metrics.ascent()), text);
    painter.restore();
  }
  if (widest > widest_) {  // a line in sight is wider than any measured: let it be reached
    widest_ = widest;
    updateScrollBars();
  }
}

// --- Input ---------------------------------------------------------------------------------

void LogView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QAbstractScrollArea::mousePressEvent(event);
  caret_ = spotAt(event->position().toPoint());
  if (!(event->modifiers() & Qt::ShiftModifier)) anchor_ = caret_;
  viewport()->update();
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
  if (!(event->buttons() & Qt::LeftButton)) return QAbstractScrollArea::mouseMoveEvent(event);
  const QPoint at = event->position().toPoint();
  // Dragging past the top or the bottom scrolls a line at a time.
  if (at.y() < 0) verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepSub);
  if (at.y() > viewport()->height())
    verticalScrollBar()->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  caret_ = spotAt(at);
  viewport()->update();
}

void LogView::keyPressEvent(QKeyEvent* event) {
  if (event->matches(QKeySequence::Copy)) {
    copy();
  } else if (event->matches(QKeySequence::SelectAll)) {
    selectAll();
  } else if (event->key() == Qt::Key_Home) {
    verticalScrollBar()->setValue(0);
  } else if (event->key() == Qt::Key_End) {
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  } else {
    QAbstractScrollArea::keyPressEvent(event);  // arrows and pages scroll; others go on up
  }
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  QAction* copy_action = menu.addAction(tr("&Copy"), this, &LogView::copy);
  copy_action->setShortcut(QKeySequence::Copy);
  copy_action->setEnabled(!(anchor_ == caret_));
  QAction* all_action = menu.addAction(tr("Select All"), this, &LogView::selectAll);
  all_action->setShortcut(QKeySequence::SelectAll);
  // The owner's commands on the whole log ("Save log…") follow the view's own.
  if (!actions().isEmpty()) {
    menu.addSeparator();
    menu.addActions(actions());
  }
  menu.exec(event->globalPos());
}
