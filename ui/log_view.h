// The message pane: a read-only view of the log that keeps its bytes once, with the offset of
// each line, and draws only the lines in sight. Adding lines costs a copy of their bytes and one
// offset each, whatever the log's length, so a run that logs a line per entry goes at the
// engine's pace, and memory grows with the log's text. Lines end at CR LF, CR or LF and are never
// wrapped; the view scrolls both ways, selects with the mouse or Ctrl+A and copies with Ctrl+C or
// its context menu, which also lists the actions the owner added to the view. GUI thread only.
#pragma once

#include <QAbstractScrollArea>
#include <QString>

#include <cstddef>
#include <string>
#include <vector>

class LogView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  explicit LogView(QWidget* parent = nullptr);

  // Replaces the whole text with `size` bytes of UTF-8; the view goes back to the top.
  void setText(const char* bytes, size_t size);
  // Adds `size` bytes at the end. A view that showed the last line keeps showing it.
  void appendText(const char* bytes, size_t size);
  // The bytes as given.
  const std::string& text() const { return text_; }
  int lineCount() const { return static_cast<int>(starts_.size()); }
  // Line `line` (0-based) without its line end.
  QString lineText(int line) const;
  // Every line, joined by "\n".
  QString toPlainText() const;
  QString selectedText() const;
  void selectAll();
  void copy() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  struct Spot {  // a place between two characters: line, and UTF-16 index in that line
    int line = 0;
    int column = 0;
    bool operator<(const Spot& o) const {
      return line < o.line || (line == o.line && column < o.column);
    }
    bool operator==(const Spot& o) const { return line == o.line && column == o.column; }
  };

  void indexFrom(size_t offset);  // finds the line starts from byte `offset` on
  void updateScrollBars();
  Spot spotAt(const QPoint& viewport_point) const;
  int lineHeight() const;

  std::string text_;            // the log's bytes
  std::vector<size_t> starts_;  // byte offset of each line's start; never empty
  size_t longestBytes_ = 0;     // the longest line in bytes, measured for the width
  int widest_ = 0;              // pixels of the widest line measured so far
  Spot anchor_, caret_;         // the selection runs between them; equal: none
};
