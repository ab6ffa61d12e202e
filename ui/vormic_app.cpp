// Start-up of the dialog program.
#include "vormic_app.h"

#include "texts.h"
#include "vormic_dlg.h"

CVormicApp::CVormicApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Vormic"));
  setApplicationVersion(QString::fromLatin1(kVormicVersion));
  // Lets the desktop match the window to vormic.desktop and its icon.
  setDesktopFileName(QStringLiteral("vormic"));
}

bool CVormicApp::InitInstance() {
  // Qt's platform theme already gives the desktop's own look, and no settings are kept, so
  // there is no shell manager, visual manager or settings key to set up.
  CVormicDlg dialog;
  setWindowIcon(dialog.m_hIcon);
  dialog.exec();  // OK, Cancel or a closed window all end the program alike
  return false;
}
