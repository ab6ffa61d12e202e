// Start-up of the dialog program.
#include "vormic_app.h"

#include "resource.h"
#include "texts.h"
#include "vormic_dlg.h"

#include <QTimer>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "Usage: vormic [ARCHIVE]\n"
    "Check that a ZIP archive is intact, in a window. With ARCHIVE, the window starts by\n"
    "verifying it, as if it had been chosen with \"Verify...\" (the folder to compare it with is\n"
    "asked for when External is ticked).\n"
    "\n"
    "  -h, --help     show this help and exit\n"
    "      --version  show the version and exit\n"
    "\n"
    "vormic-cli does the same on the command line.\n";
constexpr const char* kTryHelp = "Try 'vormic --help' for more information.\n";

}  // namespace

int AnswerCommandLine(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--") == 0) break;
    if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
      fputs(kUsage, stdout);
      return fflush(stdout) == 0 ? 0 : 1;
    }
    if (strcmp(argv[i], "--version") == 0) {
      printf("vormic %s\n", kVormicVersion);
      return fflush(stdout) == 0 ? 0 : 1;
    }
  }
  return -1;
}

CVormicApp::CVormicApp(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("Vormic"));
  setApplicationVersion(QString::fromLatin1(kVormicVersion));
  // Lets the desktop match the window to vormic.desktop and its icon.
  setDesktopFileName(QStringLiteral("vormic"));
}

bool CVormicApp::InitInstance() {
  // What Qt left of the command line: at most one archive (what Open With passes); "--" ends
  // the options, so an archive whose name starts with '-' can follow it.
  QStringList archives;
  bool options_ended = false;
  for (const QString& word : arguments().mid(1)) {
    if (!options_ended && word == QStringLiteral("--")) {
      options_ended = true;
    } else if (!options_ended && word.startsWith(QLatin1Char('-')) && word.size() > 1) {
      fprintf(stderr, "vormic: unknown option '%s'\n%s", qPrintable(word), kTryHelp);
      exitStatus_ = 2;
      return false;
    } else {
      archives.append(word);
    }
  }
  if (archives.size() > 1) {
    fprintf(stderr, "vormic: unexpected argument '%s'\n%s", qPrintable(archives.at(1)), kTryHelp);
    exitStatus_ = 2;
    return false;
  }
  // Qt's platform theme already gives the desktop's own look, and no settings are kept, so
  // there is no shell manager, visual manager or settings key to set up.
  CVormicDlg dialog;
  setWindowIcon(dialog.m_hIcon);
  if (!archives.isEmpty()) {
    const QString archive = archives.front();
    // Once the window is up: the run's reports then draw into a visible window.
    QTimer::singleShot(0, &dialog, [&dialog, archive] { dialog.OpenArchive(archive); });
  }
  dialog.exec();  // OK, Cancel or a closed window all end the program alike
  return false;
}
