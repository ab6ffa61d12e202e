// The application object: reads the command line, sets the process up for the dialog, runs the
// main dialog modally and ends the program when it closes. There is no other window and no
// other event loop; nothing is stored between runs.
#pragma once

#include <QApplication>

class CVormicApp : public QApplication {
  Q_OBJECT

 public:
  // Takes Qt's own options out of the command line; what is left is read by InitInstance.
  CVormicApp(int& argc, char** argv);

  // Runs the main dialog until it closes, whatever way; with an archive on the command line the
  // dialog starts by verifying it. Returns false: the program then ends instead of entering an
  // event loop of its own.
  bool InitInstance();
  // 0, or 2 when InitInstance refused the command line (with a message on standard error).
  int ExitStatus() const { return exitStatus_; }

 private:
  int exitStatus_ = 0;
};

// What the command line asks for before any window exists. Results:
//   -1  go on and show the window
//   0   --help or --version was answered on standard output
//   2   the command line is wrong; the message is on standard error
// Only these options are read; Qt's own (-platform, -style ...) pass through untouched.
int AnswerCommandLine(int argc, char** argv);
