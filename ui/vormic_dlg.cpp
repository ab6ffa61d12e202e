// The main dialog, the Verify and Stop commands and the dialog's Status channel.
#include "vormic_dlg.h"

#include "about_dlg.h"
#include "dialog_units.h"
#include "engine.h"
#include "etag.h"
#include "help_button.h"
#include "log_view.h"
#include "resource.h"
#include "status.h"
#include "status_label.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextCursor>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <cstring>

CVormicDlg* g_mainDialog = nullptr;

namespace {

constexpr int kMaxUtf8Continuation = 3;  // a UTF-8 character is at most 4 bytes

bool IsUtf8Continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

// Qt's own choosers. A choice that has no local path (a network location offered by the
// desktop's dialog) counts as cancel, as does an empty one.
QString ChooseArchiveWithQt(QWidget* owner, const QString& start_folder) {
  const QUrl start = start_folder.isEmpty() ? QUrl() : QUrl::fromLocalFile(start_folder);
  const QUrl url = QFileDialog::getOpenFileUrl(owner, QString::fromUtf8(kChooseZipTitle), start,
                                               QString::fromUtf8(kZipFilter), nullptr, {},
                                               {QStringLiteral("file")});
  return url.isLocalFile() ? url.toLocalFile() : QString();
}

QString ChooseFolderWithQt(QWidget* owner, const QString& start_folder, const QString& title) {
  const QUrl start = start_folder.isEmpty() ? QUrl() : QUrl::fromLocalFile(start_folder);
  const QUrl url = QFileDialog::getExistingDirectoryUrl(
      owner, title, start, QFileDialog::ShowDirsOnly, {QStringLiteral("file")});
  return url.isLocalFile() ? url.toLocalFile() : QString();
}

QString ChooseLogFileWithQt(QWidget* owner, const QString& suggested) {
  const QUrl url = QFileDialog::getSaveFileUrl(
      owner, QString::fromUtf8(kSaveLogTitle), QUrl::fromLocalFile(suggested),
      QString::fromUtf8(kLogFilter), nullptr, {}, {QStringLiteral("file")});
  return url.isLocalFile() ? url.toLocalFile() : QString();
}

// The help page: the installed copy beside the program's share folder, else the source tree's
// copy (a program run from its build folder). Empty when neither exists.
QString FindHelpPage() {
  const QString installed = QCoreApplication::applicationDirPath() + QLatin1Char('/') +
                            QStringLiteral(VORMIC_HELP_FROM_BINDIR);
  if (QFileInfo::exists(installed)) return QFileInfo(installed).canonicalFilePath();
  const QString source = QStringLiteral(VORMIC_HELP_SOURCE);
  if (QFileInfo::exists(source)) return source;
  return QString();
}

// The one archive a drag carries: a single local file whose name ends in ".zip" (any case).
// Empty for anything else, several files included.
QString DraggedArchive(const QMimeData* data) {
  if (data == nullptr || !data->hasUrls()) return QString();
  const QList<QUrl> urls = data->urls();
  if (urls.size() != 1 || !urls.front().isLocalFile()) return QString();
  const QString path = urls.front().toLocalFile();
  return path.endsWith(QStringLiteral(".zip"), Qt::CaseInsensitive) ? path : QString();
}

}  // namespace

std::string ShortenStatusText(const char* text) {
  const size_t length = strlen(text);
  if (length <= kStatusWholeMax) return std::string(text, length);
  size_t head = kStatusKeepBytes;
  for (int i = 0; i < kMaxUtf8Continuation && head > 0 && IsUtf8Continuation(text[head]); ++i)
    --head;
  size_t tail = length - kStatusKeepBytes;
  for (int i = 0; i < kMaxUtf8Continuation && tail < length && IsUtf8Continuation(text[tail]); ++i)
    ++tail;
  std::string shown(text, head);
  shown += kStatusEllipsis;
  shown.append(text + tail, length - tail);
  return shown;
}

// --- Construction and the template -----------------------------------------------------------

CVormicDlg::CVormicDlg(QWidget* parent)
    // Title, window menu and close button; no minimise or maximise button.
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_chooseArchive(ChooseArchiveWithQt),
      m_chooseFolder([this](QWidget* owner, const QString& start_folder) {
        return ChooseFolderWithQt(owner, start_folder, m_folderChooserTitle);
      }),
      m_openUrl([](const QUrl& url) { return QDesktopServices::openUrl(url); }),
      m_chooseLogFile(ChooseLogFileWithQt),
      m_folderChooserTitle(QString::fromUtf8(kChooseFolderTitle)) {
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    m_hIcon.addFile(QStringLiteral(":/icons/vormic-%1.png").arg(size), QSize(size, size));
  createControls();
  m_clock.start();
  g_mainDialog = this;
}

CVormicDlg::~CVormicDlg() {
  // Only a program that makes several dialogs (a test) gets here before its last report.
  if (g_mainDialog == this) g_mainDialog = nullptr;
}

void CVormicDlg::createControls() {
  setObjectName(QStringLiteral("IDD_MAIN_DIALOG"));
  setWindowTitle(QString::fromUtf8(kMainCaption));
  setFont(QFont(QString::fromLatin1(kDialogFontFamily), kDialogFontPoints));
  const DialogUnits units(font());

  // Template order, which is also the tab order.
  m_statusLine = new StatusLabel(this);
  m_statusLine->setObjectName(QStringLiteral("IDC_STATUS"));
  m_statusLine->setGeometry(units.toPixels(kStatusRect));

  auto set_up_button = [&](auto* button, const char* name, const DialogRect& rect) {
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(units.toPixels(rect));
    // No default button: Enter on a focused button presses that button only.
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
  };
  auto make_button = [&](const char* name, const char* text, const DialogRect& rect) {
    return set_up_button(new QPushButton(QString::fromUtf8(text), this), name, rect);
  };
  m_verifyButton = make_button("IDC_VERIFY", kVerifyText, kVerifyRect);
  m_stopButton = make_button("IDC_STOP", kStopText, kStopRect);

  m_logPane = new LogView(this);
  m_logPane->setObjectName(QStringLiteral("IDC_LOG"));
  m_logPane->setGeometry(units.toPixels(kLogRect));
  m_logPane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m_logPane->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  // Saving the log: in the pane's context menu, and Ctrl+S anywhere in the window.
  m_saveLogAction = new QAction(QString::fromUtf8(kSaveLogText), this);
  m_saveLogAction->setShortcut(QKeySequence::Save);
  m_saveLogAction->setShortcutContext(Qt::WindowShortcut);
  connect(m_saveLogAction, &QAction::triggered, this, &CVormicDlg::OnSaveLog);
  addAction(m_saveLogAction);
  m_logPane->addAction(m_saveLogAction);

  auto make_check = [&](const char* name, const char* text, const DialogRect& rect) {
    auto* check = new QCheckBox(QString::fromUtf8(text), this);
    check->setObjectName(QString::fromLatin1(name));
    check->setGeometry(units.toPixels(rect));
    return check;
  };
  m_externalCheck = make_check("IDC_EXTERNAL", kExternalText, kExternalRect);
  m_etagCheck = make_check("IDC_ETAG", kEtagText, kEtagRect);
  m_keepGoingCheck = make_check("IDC_KEEP_GOING", kKeepGoingText, kKeepGoingRect);
  // An uploaded copy's ETag to check the computed one against; empty (or blank) checks nothing.
  // Its label names it for screen readers and after the placeholder has gone.
  m_expectedLabel = new QLabel(QString::fromUtf8(kExpectedEtagLabel), this);
  m_expectedLabel->setObjectName(QStringLiteral("IDC_EXPECTED_LABEL"));
  m_expectedLabel->setGeometry(units.toPixels(kExpectedLabelRect));
  m_expectedEtagEdit = new QLineEdit(this);
  m_expectedEtagEdit->setObjectName(QStringLiteral("IDC_EXPECTED_ETAG"));
  m_expectedEtagEdit->setGeometry(units.toPixels(kExpectedEtagRect));
  m_expectedEtagEdit->setPlaceholderText(QString::fromUtf8(kExpectedEtagPlaceholder));
  m_expectedEtagEdit->setMaxLength(kExpectedEtagMaxLength);
  m_expectedLabel->setBuddy(m_expectedEtagEdit);
  m_expectedEtagEdit->setToolTip(QString::fromUtf8(kExpectedEtagTip));
  // A value typed or pasted asks for its check: ETag is ticked with it (and stays ticked when
  // the box is cleared again; the user may still want the ETag alone).
  connect(m_expectedEtagEdit, &QLineEdit::textEdited, this, [this](const QString& text) {
    if (!text.trimmed().isEmpty()) m_etagCheck->setChecked(true);
  });
  m_helpButton = set_up_button(new HelpButton(QString::fromUtf8(kHelpText), this),
                               "IDC_HELP_BUTTON", kHelpRect);
  // Help's menu: the page again and the About box, which the desktop gives no window menu to
  // hold (the window's own context menu has it too).
  auto* help_menu = new QMenu(this);
  help_menu->setObjectName(QStringLiteral("IDM_HELP_MENU"));
  help_menu->addAction(QString::fromUtf8(kHelpText), this, &CVormicDlg::OnBnClickedHelp);
  QAction* about =
      help_menu->addAction(QString::fromUtf8(kAboutMenuText), this, &CVormicDlg::OnAbout);
  about->setData(IDM_ABOUT);
  m_helpButton->setDropDown(help_menu);

  // Not in the tab order: it only shows.
  m_progressBar = new QProgressBar(this);
  m_progressBar->setObjectName(QStringLiteral("IDC_PROGRESS"));
  m_progressBar->setGeometry(units.toPixels(kProgressRect));
  m_progressBar->setRange(0, kProgressSteps);
  m_progressBar->setTextVisible(false);
  m_progressBar->setFocusPolicy(Qt::NoFocus);
  m_progressBar->hide();

  setTabOrder(m_verifyButton, m_stopButton);
  setTabOrder(m_stopButton, m_logPane);
  setTabOrder(m_logPane, m_externalCheck);
  setTabOrder(m_externalCheck, m_etagCheck);
  setTabOrder(m_etagCheck, m_expectedEtagEdit);
  setTabOrder(m_expectedEtagEdit, m_keepGoingCheck);
  setTabOrder(m_keepGoingCheck, m_helpButton);

  // The row of buttons keeps its place at every size; layoutControls() gives the status line,
  // the bar and the pane the window's width and the pane its height, down to the minimum at
  // which every control still shows whole (the pane's with the bar shown, the taller case).
  int row_end = 0;  // the right edge of the buttons' row, Help aside
  for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (w->isWindow()) continue;  // Help's menu
    if (w == m_helpButton || w == m_statusLine || w == m_logPane || w == m_progressBar) continue;
    // The expected ETag box narrows down to its minimum before the window stops shrinking.
    const int right = w == m_expectedEtagEdit
                          ? w->x() + units.toPixels({0, 0, kExpectedEtagMinWidth, 0}).width()
                          : w->geometry().right() + 1;
    row_end = std::max(row_end, right);
  }
  const QRect help = units.toPixels(kHelpRect);
  const int margin = units.toPixels(kVerifyRect).left();
  const int gap = units.toPixels({kControlGap, 0, 0, 0}).left();
  setMinimumSize(row_end + gap + help.width() + margin,
                 logTop(true) + units.toPixels({0, 0, 0, kMinLogHeight}).height() + margin);
  // The pane follows the bar: it moves down when a run shows the bar and up when it is hidden.
  m_progressBar->installEventFilter(this);
  resize(units.sizeToPixels(kMainDialogSize));
  setAcceptDrops(true);

  connect(m_verifyButton, &QPushButton::clicked, this, &CVormicDlg::OnBnClickedVerify);
  connect(m_stopButton, &QPushButton::clicked, this, &CVormicDlg::OnBnClickedStop);
  connect(m_helpButton, &QPushButton::clicked, this, &CVormicDlg::OnBnClickedHelp);
}

// Help keeps its distance from the right edge; the status line, the bar and the pane take the
// window's width less the template's margins, and the pane the height below them; the expected
// ETag box narrows when Help comes too close. The status
// line is one line high (its text never wraps and the verdict sign is as tall); the bar comes
// right under it while a run shows it, and the pane under whichever is lowest, so no empty band
// is left above the pane.
void CVormicDlg::layoutControls() {
  const DialogUnits units(font());
  const QSize full = units.sizeToPixels(kMainDialogSize);
  const int wider = width() - full.width();  // negative below the template size
  const int taller = height() - full.height();
  const QRect status = units.toPixels(kStatusRect);
  m_statusLine->setGeometry(status.x(), status.y(), status.width() + wider, statusHeight());
  const QRect bar = units.toPixels(kProgressRect);
  m_progressBar->setGeometry(bar.x(), m_statusLine->geometry().bottom() + 1 + barGap(),
                             bar.width() + wider, bar.height());
  const QRect log = units.toPixels(kLogRect);
  const int top = logTop(!m_progressBar->isHidden());
  m_logPane->setGeometry(log.x(), top, log.width() + wider, log.bottom() + 1 + taller - top);
  const QRect help = units.toPixels(kHelpRect);
  m_helpButton->setGeometry(help.translated(wider, 0));
  // The expected ETag box keeps its template width until Help, coming closer, leaves less than
  // the template's gap between neighbours; then it narrows with the window.
  const QRect box = units.toPixels(kExpectedEtagRect);
  const int room = m_helpButton->x() - units.toPixels({kControlGap, 0, 0, 0}).left() - box.x();
  m_expectedEtagEdit->setGeometry(
      box.x(), box.y(),
      std::clamp(room, units.toPixels({0, 0, kExpectedEtagMinWidth, 0}).width(), box.width()),
      box.height());
}

int CVormicDlg::statusHeight() const { return m_statusLine->fontMetrics().height(); }

// The template's gaps: status line to bar, and bar to pane (also status line to pane).
int CVormicDlg::barGap() const {
  const DialogUnits units(font());
  return units.toPixels(kProgressRect).top() - units.toPixels(kStatusRect).top() -
         units.toPixels(kStatusRect).height();
}

int CVormicDlg::logTop(bool with_bar) const {
  const DialogUnits units(font());
  const QRect bar = units.toPixels(kProgressRect);
  const int pane_gap = units.toPixels(kLogRect).top() - bar.bottom() - 1;
  int top = units.toPixels(kStatusRect).top() + statusHeight();
  if (with_bar) top += barGap() + bar.height();
  return top + pane_gap;
}

bool CVormicDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_progressBar &&
      (event->type() == QEvent::ShowToParent || event->type() == QEvent::HideToParent))
    layoutControls();
  return QDialog::eventFilter(watched, event);
}

void CVormicDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  layoutControls();
}

void CVormicDlg::FitInto(const QRect& available) {
  const QSize fitted = size().boundedTo(available.size()).expandedTo(minimumSize());
  if (fitted != size()) resize(fitted);
}

QWidget* CVormicDlg::GetDlgItem(int id) const {
  switch (id) {
    case IDC_VERIFY:
      return m_verifyButton;
    case IDC_STOP:
      return m_stopButton;
    case IDC_STATUS:
      return m_statusLine;
    case IDC_LOG:
      return m_logPane;
    case IDC_EXTERNAL:
      return m_externalCheck;
    case IDC_ETAG:
      return m_etagCheck;
    case IDC_HELP_BUTTON:
      return m_helpButton;
    case IDC_EXPECTED_ETAG:
      return m_expectedEtagEdit;
    case IDC_PROGRESS:
      return m_progressBar;
    case IDC_EXPECTED_LABEL:
      return m_expectedLabel;
    case IDC_KEEP_GOING:
      return m_keepGoingCheck;
    default:
      return nullptr;
  }
}

void CVormicDlg::setVisible(bool visible) {
  // The controls get their first values before the window appears.
  if (visible && !m_initialized) {
    m_initialized = true;
    OnInitDialog();
    // A screen smaller than the template (a high scale factor) gets a window that fits it, with
    // room left for the window manager's frame.
    if (QScreen* where = screen()) {
      constexpr int kFrameWidth = 16, kFrameHeight = 48;  // borders and a title bar
      FitInto(where->availableGeometry().adjusted(0, 0, -kFrameWidth, -kFrameHeight));
    }
  }
  QDialog::setVisible(visible);
}

bool CVormicDlg::OnInitDialog() {
  UpdateData(false);
  setWindowIcon(m_hIcon);
  m_stopButton->setEnabled(false);
  m_verifyButton->setEnabled(true);
  m_log = kIntroText;
  UpdateData(false);
  m_verifyButton->setFocus(Qt::OtherFocusReason);
  return true;
}

// --- Data exchange ---------------------------------------------------------------------------

bool CVormicDlg::UpdateData(bool save_and_validate) {
  DoDataExchange(save_and_validate);
  return true;
}

void CVormicDlg::DoDataExchange(bool save_and_validate) {
  if (save_and_validate) {
    writeLogControl(true);  // log lines still waiting for the pane's next batch are its text too
    m_status = m_shownStatus;
    m_log = m_logPane->text();
    m_external = m_externalCheck->isChecked() ? 1 : 0;
    m_etag = m_etagCheck->isChecked() ? 1 : 0;
    m_keepGoing = m_keepGoingCheck->isChecked() ? 1 : 0;
    m_expectedEtag = m_expectedEtagEdit->text().toStdString();
    return;
  }
  refreshControls(true);
}

void CVormicDlg::RefreshAfterReport(qint64 now_ms) {
  const bool due =
      m_lastRefreshMs < 0 || now_ms - m_lastRefreshMs >= kRefreshPumps * m_pumpIntervalMs;
  refreshControls(due);
  if (due) m_lastRefreshMs = now_ms;
}

void CVormicDlg::refreshControls(bool with_texts) {
  if (with_texts && m_status != m_shownStatus) {
    m_shownStatus = m_status;
    m_statusLine->setText(
        QString::fromUtf8(m_shownStatus.data(), static_cast<qsizetype>(m_shownStatus.size())));
  }
  if (with_texts) writeLogControl(false);
  // The members rule: a box changed during a run (the user cannot: they are disabled) is set
  // back here, at the next report.
  if (m_externalCheck->isChecked() != (m_external != 0))
    m_externalCheck->setChecked(m_external != 0);
  if (m_etagCheck->isChecked() != (m_etag != 0)) m_etagCheck->setChecked(m_etag != 0);
  if (m_keepGoingCheck->isChecked() != (m_keepGoing != 0))
    m_keepGoingCheck->setChecked(m_keepGoing != 0);
  const QString expected = QString::fromStdString(m_expectedEtag);
  if (m_expectedEtagEdit->text() != expected) m_expectedEtagEdit->setText(expected);
}

// Brings the pane up to m_log. A log that grew by whole lines gets only the new text; any other
// change rewrites the pane, unless `growth_only`. A view that was at the end stays at the end, so
// the newest line is in sight while a run goes on.
void CVormicDlg::writeLogControl(bool growth_only) {
  const std::string& shown_log = m_logPane->text();
  const size_t shown = shown_log.size();
  const bool grown = m_log.size() >= shown && (shown == 0 || shown_log.back() == '\n') &&
                     memcmp(m_log.data(), shown_log.data(), shown) == 0;
  if (grown && m_log.size() > shown) {
    // All lines since the last refresh in one piece.
    m_logPane->appendText(m_log.data() + shown, m_log.size() - shown);
  } else if (!grown && !growth_only) {
    QScrollBar* bar = m_logPane->verticalScrollBar();
    const bool at_end = bar->value() == bar->maximum();
    m_logPane->setText(m_log.data(), m_log.size());
    if (at_end) bar->setValue(bar->maximum());
  }
}

// --- Commands --------------------------------------------------------------------------------

void CVormicDlg::OnBnClickedVerify() { runCommand(QString()); }

void CVormicDlg::OpenArchive(const QString& archive) {
  if (m_running || archive.isEmpty()) return;
  runCommand(QFileInfo(archive).absoluteFilePath());
}

void CVormicDlg::runCommand(QString chosen) {
  UpdateData(true);
  requireEtagForExpected();
  m_log.clear();  // the pane shows the cleared log from the run's first report on
  m_verification->ClearStop();
  // The expected box holds an ETag and ALG:VALUE checksums; a word that cannot be one ends the
  // command before anything is chosen or read, as a usage error ends vormic-cli's.
  ExpectedValues expected;
  char expected_error[kExpectedErrorSize];
  if (m_etag != 0 && !ParseExpectedValues(m_expectedEtag.c_str(), &expected, expected_error,
                                          sizeof expected_error)) {
    Report(kStatusLine, expected_error);
    logOutcome(expected_error);
    m_statusLine->setVerdict(StatusLabel::Verdict::kFailure);
    UpdateData(false);
    return;
  }

  if (chosen.isEmpty()) chosen = m_chooseArchive(this, m_lastArchiveFolder);
  if (chosen.isEmpty()) return;
  m_lastArchiveFolder = QFileInfo(chosen).absolutePath();
  nameArchive(chosen);
  const QByteArray archive = QFile::encodeName(chosen);
  std::array<char, kFolderBufferSize> folder{};
  std::string start_folder(archive.constData(), static_cast<size_t>(archive.size()));
  const size_t last_slash = start_folder.rfind('/');
  if (last_slash != std::string::npos) start_folder.resize(last_slash);

  if (m_external != 0 && !ChooseFolder(folder.data(), this, start_folder.c_str())) return;

  m_stopButton->setEnabled(true);
  m_verifyButton->setEnabled(false);
  m_running = true;
  enableIdleControls(false);
  m_statusLine->setVerdict(StatusLabel::Verdict::kNone);
  m_shownProgress = -1;
  m_progressBar->setValue(0);
  m_progressBar->show();
  m_lastPumpMs = -1;  // the run's first report handles whatever input is waiting
  m_lastRefreshMs = -1;

  VerifyOptions options;
  options.archive = archive.constData();
  options.folder = m_external != 0 ? folder.data() : nullptr;
  options.jobs = DefaultCheckJobs();  // every core; the log is the same as with one
  options.lists_folder = m_listsFolder.empty() ? nullptr : m_listsFolder.c_str();
  options.etag = m_etag != 0;
  options.etag_options.expected = expected.etag;
  options.etag_options.expected_checksums = expected.checksums;
  options.etag_options.expected_checksum_count = expected.checksum_count;
  options.keep_going = m_keepGoing != 0;
  const CommandOutcome outcome = m_verification->Run(options, &m_sink);
  const StatusLabel::Verdict verdict = outcome.kind == CommandOutcome::kVerified
                                           ? StatusLabel::Verdict::kSuccess
                                           : StatusLabel::Verdict::kFailure;
  if (!outcome.from_etag) {
    Report(kStatusLine, outcome.text);
    logOutcome(outcome.text);
  } else {
    // The ETag calculator's last status line (a failure, or "Stopped by user") is the outcome,
    // as the status line shows it.
    const std::string shown = m_status;
    logOutcome(shown.c_str());
  }
  // A stopped run has no verdict to show.
  m_statusLine->setVerdict(m_verification->StopRequested() &&
                                   verdict != StatusLabel::Verdict::kSuccess
                               ? StatusLabel::Verdict::kNone
                               : verdict);
  UpdateData(false);  // the last log lines, which waited for the pane's next batch

  m_progressBar->hide();
  m_running = false;
  enableIdleControls(true);
  m_stopButton->setEnabled(false);
  m_verifyButton->setEnabled(true);
  if (m_closeAsked) {
    m_closeAsked = false;
    QDialog::done(m_closeResult);
  }
}

// The log keeps the outcome as its last line, so copying the log copies the verdict. A run whose
// last line already says it (a stop inside an entry's data ends the walk with "Stopped by user",
// the run's result too) gets it once.
void CVormicDlg::logOutcome(const char* outcome) {
  const size_t length = strlen(outcome), end_length = strlen(kLogLineEnd);
  const size_t line_start = m_log.size() - std::min(m_log.size(), length + end_length);
  const bool already_last = m_log.size() >= length + end_length &&
                            (line_start == 0 || m_log[line_start - 1] == '\n') &&
                            m_log.compare(line_start, length, outcome) == 0 &&
                            m_log.compare(line_start + length, end_length, kLogLineEnd) == 0;
  if (!already_last) Report(kLogLine, outcome);
}

// The run reads the check boxes and the expected ETag once, at its start: during the run they
// are disabled, so they never look as if a change could still reach it. Saving the log waits
// for the run's end too: its chooser would hold the run, and the log is not whole yet.
void CVormicDlg::enableIdleControls(bool enabled) {
  m_saveLogAction->setEnabled(enabled);
  m_externalCheck->setEnabled(enabled);
  m_etagCheck->setEnabled(enabled);
  m_keepGoingCheck->setEnabled(enabled);
  if (!enabled) {
    // Styles draw a placeholder in the same half-transparent text colour enabled or not, which
    // on a disabled box's grey stands out more than the disabled label beside it: the box would
    // look as if it took input. Disabled, it takes the disabled text's colour (looked up again
    // each time, so it follows the desktop's palette).
    QPalette colours = m_expectedEtagEdit->palette();
    colours.setColor(QPalette::Disabled, QPalette::PlaceholderText,
                     colours.color(QPalette::Disabled, QPalette::Text));
    m_expectedEtagEdit->setPalette(colours);
  }
  m_expectedEtagEdit->setEnabled(enabled);
  m_expectedLabel->setEnabled(enabled);
}

// An expected ETag is checked whenever one is given: a run that ignored it would report the
// check the user asked for as passed without making it.
void CVormicDlg::requireEtagForExpected() {
  if (m_etag != 0 || QString::fromStdString(m_expectedEtag).trimmed().isEmpty()) return;
  m_etag = 1;
  m_etagCheck->setChecked(true);
}

// The window's title and the folder chooser's name `archive` by its file name from the moment it
// is chosen: during the run, after it, and after a folder chooser that was cancelled.
void CVormicDlg::nameArchive(const QString& archive) {
  const QString name = QFileInfo(archive).fileName();
  setWindowTitle(QString::fromUtf8(kArchiveCaptionFmt).arg(name));
  m_folderChooserTitle = QString::fromUtf8(kChooseFolderForFmt).arg(name);
  m_archivePath = archive;
}

void CVormicDlg::OnBnClickedStop() { m_verification->RequestStop(); }

void CVormicDlg::OnBnClickedHelp() {
  const QString page = FindHelpPage();
  if (!page.isEmpty() && m_openUrl(QUrl::fromLocalFile(page))) return;
  showHelpWindow();
}

// The copy of the page built into the program, in a window of its own: it shows whatever the
// desktop lacks. One window, raised again by the next Help.
void CVormicDlg::showHelpWindow() {
  if (m_helpWindow == nullptr) {
    auto* window = new QWidget(this, Qt::Window);
    window->setObjectName(QStringLiteral("IDD_HELP_WINDOW"));
    window->setAttribute(Qt::WA_DeleteOnClose);
    auto* browser = new QTextBrowser(window);
    browser->setObjectName(QStringLiteral("IDC_HELP_TEXT"));
    browser->setOpenExternalLinks(true);
    browser->setSource(QUrl(QStringLiteral("qrc:/help/help.html")));
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser);
    window->setWindowTitle(browser->documentTitle());
    const DialogUnits units(font());
    window->resize(units.sizeToPixels({0, 0, 320, 240})
                       .boundedTo(screen() != nullptr ? screen()->availableGeometry().size()
                                                      : QSize(640, 480)));
    m_helpWindow = window;
  }
  m_helpWindow->show();
  m_helpWindow->raise();
  m_helpWindow->activateWindow();
}

void CVormicDlg::OnSaveLog() {
  if (m_running) return;
  const QString suggested =
      m_archivePath.isEmpty() ? QString::fromUtf8(kDefaultLogName) : m_archivePath + kLogSuffix;
  const QString path = m_chooseLogFile(this, suggested);
  if (path.isEmpty()) return;
  QString error;
  if (!SaveLog(path, &error)) {
    QMessageBox::warning(this, QString::fromUtf8(kMainCaption),
                         QString::fromUtf8(kSaveLogFailedFmt).arg(path, error));
  }
}

bool CVormicDlg::SaveLog(const QString& path, QString* error) const {
  QSaveFile file(path);
  const QByteArray bytes = m_logPane->toPlainText().toUtf8();
  const bool saved =
      file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit();
  if (!saved && error != nullptr) *error = file.errorString();
  return saved;
}

void CVormicDlg::OnAbout() {
  CAboutDlg about(m_hIcon, this);
  about.exec();
}

bool CVormicDlg::ChooseFolder(char* path, QWidget* owner, const char* start_folder) {
  path[0] = '\0';
  const QString chosen = m_chooseFolder(owner, QFile::decodeName(start_folder));
  const QByteArray bytes = QFile::encodeName(chosen);
  const size_t length = static_cast<size_t>(bytes.size());
  if (length == 0 || length >= kFolderBufferSize || bytes.contains('\0')) return false;
  memcpy(path, bytes.constData(), length + 1);
  return true;
}

// --- Window commands -------------------------------------------------------------------------

void CVormicDlg::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_F1:  // the standard help key opens the same page as "Help"
      OnBnClickedHelp();
      return;
    case Qt::Key_Return:
    case Qt::Key_Enter: {
      // Enter presses the focused button and nothing else: the window has no default button,
      // so a key pressed after a run never ends the program and loses the log.
      auto* button = qobject_cast<QPushButton*>(focusWidget());
      if (button != nullptr && button->isEnabled()) button->click();
      return;
    }
    case Qt::Key_Escape:
      // During a run Esc is Stop; when idle it closes the window, as in every dialog.
      if (m_running) {
        OnBnClickedStop();
        return;
      }
      break;
    default:
      break;
  }
  QDialog::keyPressEvent(event);
}

// Every way of closing (the title bar, Esc, accept and reject) ends here. During a run the run
// is asked to stop and the window ends once it has, so nothing is written after the close.
void CVormicDlg::done(int result) {
  if (m_running) {
    m_closeAsked = true;
    m_closeResult = result;
    m_verification->RequestStop();
    return;
  }
  QDialog::done(result);
}

// An archive dragged from a file manager is taken when the window is idle.
void CVormicDlg::dragEnterEvent(QDragEnterEvent* event) {
  if (!m_running && !DraggedArchive(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CVormicDlg::dragMoveEvent(QDragMoveEvent* event) {
  if (!m_running && !DraggedArchive(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void CVormicDlg::dropEvent(QDropEvent* event) {
  const QString archive = DraggedArchive(event->mimeData());
  if (m_running || archive.isEmpty()) return;
  event->acceptProposedAction();
  // The run starts once the drop is over, so the file manager is not kept waiting on it.
  QMetaObject::invokeMethod(
      this, [this, archive] { OpenArchive(archive); }, Qt::QueuedConnection);
}

// The desktop gives applications no window menu of their own, so the About entry lives in the
// dialog's context menu.
void CVormicDlg::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("IDS_ABOUT_BOX_MENU"));
  QAction* about = menu.addAction(QString::fromUtf8(kAboutMenuText));
  about->setData(IDM_ABOUT);
  connect(about, &QAction::triggered, this, &CVormicDlg::OnAbout);
  menu.exec(event->globalPos());
}

// --- Status channel --------------------------------------------------------------------------

bool CVormicDlg::PumpPendingInput(qint64 now_ms) {
  if (m_lastPumpMs >= 0 && now_ms - m_lastPumpMs < m_pumpIntervalMs) return false;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  m_lastPumpMs = now_ms;
  return true;
}

void CVormicDlg::SetProgress(uint64_t done, uint64_t total) {
  if (!m_running || total == 0) return;
  const int step = static_cast<int>(static_cast<double>(std::min(done, total)) * kProgressSteps /
                                    static_cast<double>(total));
  if (step == m_shownProgress) return;
  m_shownProgress = step;
  m_progressBar->setValue(step);
}

bool CVormicDlg::Report(int kind, const char* text) {
  const qint64 now_ms = m_clock.elapsed();  // one clock read per report
  if (kind != kLogLine || text == nullptr) PumpPendingInput(now_ms);
  if (text == nullptr) return m_verification->StopRequested();
  if (kind == kStatusLine) {
    m_status = ShortenStatusText(text);
  } else if (kind == kLogLine) {
    m_log += text;
    m_log += kLogLineEnd;
  }
  RefreshAfterReport(now_ms);
  return m_verification->StopRequested();
}
