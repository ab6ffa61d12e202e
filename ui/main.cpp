// The dialog program: builds the application object and lets it run the dialog.
#include "vormic_app.h"

int main(int argc, char** argv) {
  CVormicApp theApp(argc, argv);
  theApp.InitInstance();
  return 0;
}
