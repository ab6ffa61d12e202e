// The About box: the application icon, the version line, what Vormic does, the decoders in use
// with their versions, and OK. No state of its own.
#pragma once

#include <QDialog>
#include <QIcon>

class CAboutDlg : public QDialog {
  Q_OBJECT

 public:
  CAboutDlg(const QIcon& icon, QWidget* parent = nullptr);
};
