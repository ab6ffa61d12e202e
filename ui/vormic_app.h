// The application object: sets the process up for the dialog, runs the main dialog modally and
// ends the program when it closes. There is no other window and no other event loop; nothing is
// stored between runs.
#pragma once

#include <QApplication>

class CVormicApp : public QApplication {
  Q_OBJECT

 public:
  CVormicApp(int& argc, char** argv);

  // Runs the main dialog until it closes, whatever way. Returns false: the program then ends
  // instead of entering an event loop of its own.
  bool InitInstance();
};
