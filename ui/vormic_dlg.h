// The main dialog: eight controls bound to the members below by data exchange, the Verify, Stop
// and Help commands, and Report(), the dialog's status sink, through which the engine and the
// ETag calculator reach the controls while a run goes on inside the Verify click handler.
// Everything runs on the GUI thread; a report re-enters the window only to handle pending input,
// and only at reports whose stop request the reporting code acts on, so a Stop or a close is
// always seen where the work can end. Closing the window during a run stops the run first.
// Owns no large buffers; the folder path of a run is a PATH_MAX area on the handler's stack.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QIcon>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine.h"

class HelpButton;
class QAction;
class QCheckBox;
class QLabel;
class LogView;
class QLineEdit;
class QProgressBar;
class QPushButton;
class StatusLabel;

inline constexpr size_t kFolderBufferSize = PATH_MAX;  // the comparison folder of one run
inline constexpr size_t kStatusWholeMax =
    100;  // a status text up to this many bytes is shown whole
inline constexpr size_t kStatusKeepBytes = 50;  // else this many from each end, around "..."
inline constexpr const char* kStatusEllipsis = "...";
inline constexpr const char* kLogLineEnd = "\r\n";
// Report() lets the window handle pending input once this many milliseconds have passed
// since it last did (always at the first report of a run), and passes the status text and new
// log lines to the controls once kRefreshPumps such intervals have passed. Both cost far more
// than a report: a click still reaches the run within a few milliseconds, the eye sees no
// difference, and the pane takes the lines of each interval in one piece.
inline constexpr int kDefaultPumpIntervalMs = 10;
inline constexpr int kRefreshPumps = 4;
inline constexpr int kProgressSteps = 1000;  // the progress bar moves in tenths of a percent

class CVormicDlg : public QDialog {
  Q_OBJECT

 public:
  // Returns the path the user chose, or an empty string for cancel (or anything that has no
  // file-system path). The defaults are Qt's file and folder dialogs; tests put their own here.
  // The archive chooser starts in `start_folder` (empty: the toolkit's choice); the folder
  // chooser's title is folderChooserTitle().
  using ArchiveChooser = std::function<QString(QWidget* owner, const QString& start_folder)>;
  using FolderChooser = std::function<QString(QWidget* owner, const QString& start_folder)>;
  // Returns the file the user chose to save the log in, starting from `suggested` (a path), or
  // an empty string for cancel. The default is Qt's save dialog, which confirms an overwrite.
  using LogFileChooser = std::function<QString(QWidget* owner, const QString& suggested)>;
  // Asks the desktop to show `url`; false when it could not. The default is QDesktopServices.
  using UrlOpener = std::function<bool(const QUrl& url)>;

  // Builds the controls from the template and stores this dialog in g_mainDialog. The members
  // reach the controls when the dialog is first shown (OnInitDialog).
  explicit CVormicDlg(QWidget* parent = nullptr);
  ~CVormicDlg() override;

  // Copies the controls into the members (`save_and_validate` true) or every member into its
  // control (false). The status line and the message pane are read-only to the user, so their
  // members take back what was last written to them; a control whose member has not changed
  // since it was last written is left alone, and a log that only grew gets only its new tail.
  void DoDataExchange(bool save_and_validate);
  bool UpdateData(bool save_and_validate = true);

  // The window's initial state: the icon, Stop disabled and Verify enabled, the introduction in
  // the message pane. Runs once, just before the dialog is first shown.
  bool OnInitDialog();

  // One complete verification: choose the archive (and the folder when External is ticked),
  // optionally the ETag, the run, its result in the status line. Cancelling a chooser ends the
  // command with the buttons and the pane as they were. A close asked for during the run ends
  // the dialog once the run has stopped.
  void OnBnClickedVerify();
  // The same command with `archive` taken as chosen (the command line, a drop): the folder
  // chooser still follows when External is ticked. Ignored during a run.
  void OpenArchive(const QString& archive);
  // Raises the stop request; the running code sees it at its next report.
  void OnBnClickedStop();
  // Opens the help page in the desktop's viewer; when the desktop cannot, shows the page bundled
  // with the program in a window of its own.
  void OnBnClickedHelp();
  // Shows the About box, modally.
  void OnAbout();
  // "Save log…" (the pane's context menu, Ctrl+S): asks for a file, beside the archive by
  // default, and saves the log there; a failure is shown in a message box. Ignored during a run.
  void OnSaveLog();
  // Writes the pane's text as it shows it and as copying all of it gives it (its lines joined by
  // line feeds, so a log, whose every line ends, ends in one) in UTF-8 to `path`; a byte that is
  // not UTF-8 is written as U+FFFD, as the pane shows it. The file is replaced only once the
  // whole text is written. Returns false with the reason in `error` (when not null); an existing
  // file is then left as it was.
  bool SaveLog(const QString& path, QString* error = nullptr) const;

  // Shows the folder chooser starting in `start_folder` and copies the chosen folder into
  // `path` (kFolderBufferSize bytes). Returns true when a folder was chosen; false for cancel,
  // for a path without a file-system location and for one that does not fit (never cut short),
  // leaving an empty string in `path`.
  bool ChooseFolder(char* path, QWidget* owner, const char* start_folder);
  // The folder chooser's title: it names the archive the folder is for once one is chosen.
  const QString& folderChooserTitle() const { return m_folderChooserTitle; }

  // The control with template identifier `id` (IDC_...), or null.
  QWidget* GetDlgItem(int id) const;

  // Lets the window handle its pending input if the pump interval has passed by `now_ms` (on
  // m_clock); true when it did. Called by the reports that carry a stop point; never waits.
  bool PumpPendingInput(qint64 now_ms);
  // Brings the controls up to the members after a report: the check boxes every time, the
  // status line and new log lines when the refresh interval has passed by `now_ms`.
  void RefreshAfterReport(qint64 now_ms);
  // Moves the progress bar to `done` of `total`; shown only during a run.
  void SetProgress(uint64_t done, uint64_t total);
  // Sizes the window to fit `available` (a screen's free area) when it is larger, never below
  // minimumSize().
  void FitInto(const QRect& available);
  bool IsRunning() const { return m_running; }

  // The dialog's side of a report: shows `text` as the status line (kind 0) or appends it as a
  // log line (kind 1); a null `text` only handles pending input. Input is handled only at the
  // reports that carry a stop point (status lines and the null text): the reporting code
  // ignores the result of a log line, so a Stop or a close handled there would be seen one step
  // late. Returns the stop request of the dialog's verifier after the call.
  bool Report(int kind, const char* text);
  // The verifier the Verify command runs; its stop request is the Stop button's.
  Verification& verification() { return *m_verification; }

  // --- Members bound to the controls -------------------------------------------------------
  QIcon m_hIcon;                          // the application icon, all sizes
  std::string m_status;                   // status line (UTF-8 bytes as reported)
  std::string m_log;                      // message pane; lines end in "\r\n"
  QPushButton* m_verifyButton = nullptr;  // IDC_VERIFY
  QPushButton* m_stopButton = nullptr;    // IDC_STOP
  int32_t m_external = 1;                 // IDC_EXTERNAL ticked
  int32_t m_etag = 0;                     // IDC_ETAG clear
  int32_t m_keepGoing = 0;                // IDC_KEEP_GOING clear
  std::string m_expectedEtag;             // IDC_EXPECTED_ETAG, UTF-8; used when m_etag is set

  // --- Seams -------------------------------------------------------------------------------
  ArchiveChooser m_chooseArchive;
  FolderChooser m_chooseFolder;
  UrlOpener m_openUrl;
  LogFileChooser m_chooseLogFile;
  int m_pumpIntervalMs = kDefaultPumpIntervalMs;  // 0: every report handles input, refreshes
  QElapsedTimer m_clock;                          // started by the constructor
  std::string m_listsFolder;  // where x1.txt and x2.txt go; empty: kDefaultNameListFolder

 protected:
  void setVisible(bool visible) override;
  void done(int result) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void createControls();
  void layoutControls();
  int statusHeight() const;         // pixels: one line of the status line's font
  int barGap() const;               // pixels between the status line and the bar
  int logTop(bool with_bar) const;  // where the pane starts, with the bar shown or not
  void writeLogControl(bool growth_only);
  void refreshControls(bool with_texts);
  void runCommand(QString archive);
  void showHelpWindow();
  void nameArchive(const QString& archive);
  void requireEtagForExpected();
  void enableIdleControls(bool enabled);
  void logOutcome(const char* outcome);

  StatusLabel* m_statusLine = nullptr;   // IDC_STATUS
  LogView* m_logPane = nullptr;          // IDC_LOG
  QCheckBox* m_externalCheck = nullptr;  // IDC_EXTERNAL
  QCheckBox* m_etagCheck = nullptr;      // IDC_ETAG
  QCheckBox* m_keepGoingCheck = nullptr;  // IDC_KEEP_GOING
  HelpButton* m_helpButton = nullptr;    // IDC_HELP_BUTTON, with its menu
  QProgressBar* m_progressBar = nullptr;  // IDC_PROGRESS, visible during a run only
  QPointer<QWidget> m_helpWindow;         // the bundled help page, once shown
  std::string m_shownStatus;             // what the status line was last given
  qint64 m_lastPumpMs = -1;              // m_clock when input was last handled; -1: never
  qint64 m_lastRefreshMs = -1;           // m_clock when the texts were last refreshed; -1: never
  QString m_lastArchiveFolder;           // the archive chooser's start; empty until a choice
  QString m_folderChooserTitle;          // "Choose Folder", then naming the chosen archive
  QString m_archivePath;                 // the last archive chosen; empty until a choice
  QAction* m_saveLogAction = nullptr;    // "Save log…", Ctrl+S; disabled during a run
  int m_shownProgress = -1;              // the bar's value in kProgressSteps; -1: none yet
  bool m_initialized = false;            // OnInitDialog has run
  bool m_running = false;                // between the buttons' swap and their swap back
  bool m_closeAsked = false;             // the window was closed during the run
  int m_closeResult = 0;                 // and with what result

  QLineEdit* m_expectedEtagEdit = nullptr;  // IDC_EXPECTED_ETAG
  QLabel* m_expectedLabel = nullptr;        // IDC_EXPECTED_LABEL

  // What the engine reports to: forwards to Report() and Progress.
  class Sink final : public StatusSink {
   public:
    explicit Sink(CVormicDlg* dialog) : dialog_(dialog) {}
    bool StatusLine(const char* text) override { return dialog_->Report(kStatusLine, text); }
    bool LogLine(const char* text) override { return dialog_->Report(kLogLine, text); }
    bool StopPoint() override { return dialog_->Report(kStatusLine, nullptr); }
    void Progress(uint64_t done, uint64_t total) override { dialog_->SetProgress(done, total); }

   private:
    CVormicDlg* dialog_;
  };
  Sink m_sink{this};
  std::unique_ptr<Verification> m_verification = std::make_unique<Verification>();
};

// The application's dialog: set by the constructor. The dialog lives until its modal loop has
// ended; its destructor clears the pointer for programs that make more than one.
extern CVormicDlg* g_mainDialog;

// Returns `text` as the status line shows it: whole up to 100 bytes; otherwise its first 50
// bytes, "...", its last 50 bytes, each cut moved inward to the nearest UTF-8 character
// boundary so no character is split (at most 103 bytes).
std::string ShortenStatusText(const char* text);
