// The dialog program: answers --help and --version without a window, else builds the
// application object and lets it run the dialog.
#include "vormic_app.h"

int main(int argc, char** argv) {
  const int answered = AnswerCommandLine(argc, argv);
  if (answered >= 0) return answered;
  CVormicApp theApp(argc, argv);
  theApp.InitInstance();
  return theApp.ExitStatus();
}
