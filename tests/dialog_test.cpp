// The dialog on its real widgets, without a display (QT_QPA_PLATFORM=offscreen): whole Verify
// commands over archives made by Info-ZIP's zip at test time, the buttons and the progress bar
// during and after a run, Stop and closing handled inside a report, Enter and Esc, archives
// from the command line and from a drop, the status line's shortening, the choosers' cancel
// paths and Help (with its own window when the desktop cannot show the page). The choosers and
// the URL opener are replaced by functions, so no modal window waits for a user. Work "inside a
// report" is done by a helper object whose posted event the report's input handling dispatches.
#include "archive_walk.h"
#include "engine.h"
#include "etag.h"
#include "log_view.h"
#include "resource.h"
#include "status.h"
#include "status_label.h"
#include "test_util.h"
#include "vormic_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>

#include <climits>
#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

// Runs its function when a report lets the window handle input; the function returns true to be
// run again at the next report that does.
class ReportObserver : public QObject {
 public:
  std::function<bool()> onReport;
  void arm() { QCoreApplication::postEvent(this, new QEvent(QEvent::User)); }

 protected:
  bool event(QEvent* event) override {
    if (event->type() != QEvent::User) return QObject::event(event);
    if (onReport && onReport()) arm();
    return true;
  }
};

// Queues a mouse click on `button`, to be handled whenever the window next handles input.
void PostClick(QPushButton* button) {
  const QPointF at = QRectF(button->rect()).center();
  const QPointF global = button->mapToGlobal(at);
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                              Qt::NoModifier));
  QCoreApplication::postEvent(
      button, new QMouseEvent(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                              Qt::NoModifier));
}

// Waits, while `open` runs, for the popup menu or modal window it shows; hands it to `inspect`
// and then closes it. Returns what was seen (null: nothing showed), so `open` always returns.
QWidget* WithNextWindow(const std::function<void()>& open,
                        const std::function<void(QWidget*)>& inspect) {
  QWidget* seen = nullptr;
  QTimer poll;
  poll.setInterval(1);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* shown = QApplication::activePopupWidget();
    if (shown == nullptr) shown = QApplication::activeModalWidget();
    if (shown == nullptr || !shown->isVisible()) return;
    poll.stop();
    seen = shown;
    inspect(shown);
    if (shown->isVisible()) shown->close();
  });
  poll.start();
  open();
  poll.stop();
  return seen;
}

// How far the disabled `text` colour, drawn over the disabled `ground` colour, is from that
// ground in lightness (0 to 255); the text's alpha counts, as painting blends it.
int Contrast(const QPalette& palette, QPalette::ColorRole text, QPalette::ColorRole ground) {
  const QColor fore = palette.color(QPalette::Disabled, text);
  const QColor back = palette.color(QPalette::Disabled, ground);
  const double alpha = fore.alphaF();
  const double drawn = alpha * fore.lightness() + (1 - alpha) * back.lightness();
  return static_cast<int>(std::lround(std::abs(drawn - back.lightness())));
}

std::string PaneForm(std::string bytes) {
  for (size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at))
    bytes.replace(at, 2, "\n");
  return bytes;
}

std::string Format(const char* format, int value) {
  char text[200];
  snprintf(text, sizeof text, format, value);
  return text;
}

class DialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dialog_ = std::make_unique<CVormicDlg>();
    dialog_->m_listsFolder = temp_.path();
    dialog_->m_chooseArchive = [this](QWidget*, const QString& start) {
      archiveStarts_.push_back(start);
      return archiveAnswer_;
    };
    dialog_->m_chooseFolder = [this](QWidget*, const QString& start) {
      folderStarts_.push_back(start);
      folderTitles_.push_back(dialog_->folderChooserTitle().toStdString());
      return folderAnswer_;
    };
    dialog_->show();
  }

  void TearDown() override {
    dialog_.reset();
  }

  template <typename T>
  T* Control(const char* name) {
    T* control = dialog_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(control, nullptr) << name;
    return control;
  }
  QPushButton* Verify() { return Control<QPushButton>("IDC_VERIFY"); }
  QPushButton* Stop() { return Control<QPushButton>("IDC_STOP"); }
  QCheckBox* External() { return Control<QCheckBox>("IDC_EXTERNAL"); }
  QCheckBox* Etag() { return Control<QCheckBox>("IDC_ETAG"); }
  QCheckBox* KeepGoing() { return Control<QCheckBox>("IDC_KEEP_GOING"); }
  std::string StatusShown() { return Control<QLabel>("IDC_STATUS")->text().toStdString(); }
  std::string PaneShown() { return Control<LogView>("IDC_LOG")->toPlainText().toStdString(); }
  QProgressBar* Progress() { return Control<QProgressBar>("IDC_PROGRESS"); }
  StatusLabel::Verdict VerdictShown() {
    return static_cast<StatusLabel*>(dialog_->GetDlgItem(IDC_STATUS))->verdict();
  }

  // Writes `files` (relative path, content) under the folder `name` and zips the folder's
  // content into `name`.zip with Info-ZIP (stored when `store` is set). Returns the zip path.
  std::string MakeZip(const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& files,
                      bool store = false) {
    for (const auto& [path, content] : files) WriteFile(temp_ / (name + "/" + path), content);
    const std::string zip = temp_ / (name + ".zip");
    const std::string command =
        "cd '" + (temp_ / name) + "' && zip -q -X -r " + (store ? "-0 " : "") + "'" + zip + "' .";
    EXPECT_EQ(RunCommand(command), 0) << command;
    return zip;
  }

  // Chooses `archive` (and `folder`) and presses Verify; returns when the command is over.
  void RunVerify(const std::string& archive, const std::string& folder = "") {
    archiveAnswer_ = QString::fromStdString(archive);
    folderAnswer_ = QString::fromStdString(folder);
    Verify()->click();
  }

  void SetBoxes(bool external, bool etag) {
    External()->setChecked(external);
    Etag()->setChecked(etag);
  }

  void ExpectIdle() {
    EXPECT_TRUE(Verify()->isEnabled());
    EXPECT_FALSE(Stop()->isEnabled());
  }

  TempDir temp_;
  std::unique_ptr<CVormicDlg> dialog_;
  QString archiveAnswer_, folderAnswer_;
  std::vector<QString> archiveStarts_, folderStarts_;
  std::vector<std::string> folderTitles_;  // the folder chooser's title at each call
};

// The window's title while `archive_name` is the archive in hand, spelt out: an em dash in UTF-8.
std::string Caption(const std::string& archive_name) {
  return archive_name + " \xe2\x80\x94 Vormic";
}

const std::vector<std::pair<std::string, std::string>> kThreeFiles = {
    {"a.txt", std::string(5000, 'a')},
    {"sub/b.txt", "second file\n"},
    {"sub/deeper/c.bin", std::string("\x00\x01\x02\xff", 4)}};

// --- Whole commands --------------------------------------------------------------------------

TEST_F(DialogTest, VerifyShowsResultAndLog) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string good = MakeZip("good", kThreeFiles);
  // A stored entry with one byte of its data changed in the archive: its CRC no longer matches.
  std::string bad_bytes = ReadFile(MakeZip("bad", {{"only.txt", "payload-XYZ"}}, true));
  const size_t at = bad_bytes.find("payload-XYZ");
  ASSERT_NE(at, std::string::npos);
  bad_bytes[at + 8] = 'Q';
  const std::string bad = temp_ / "bad-crc.zip";
  WriteFile(bad, bad_bytes);
  const std::string longer = temp_ / "longer";  // the good folder and one file more
  ASSERT_EQ(RunCommand("cp -r '" + (temp_ / "good") + "' '" + longer + "'"), 0);
  WriteFile(longer + "/extra.txt", "not in the archive");

  const std::string verified = Format(kVerifiedFmt, 3);
  const std::string unopened = Format(kUnopenedFmt, 0), compared = Format(kComparedFmt, 3);
  struct Row {
    const char* name;
    std::string archive;
    std::string folder;  // empty: an internal run
    std::string status;
    std::vector<std::string> log;
    bool keep_going = false;
  };
  using V = StatusLabel::Verdict;
  const Row rows[] = {
      {"internal", good, "", kSuccessText, {kVerifyingInternally, verified}},
      {"external", good, temp_ / "good", kSuccessText,
       {kVerifyingExternally, verified, unopened, compared}},
      {"external, folder holds one file more", good, longer,
       "Number of files in archive does not match source folder (3 != 4)",
       {kVerifyingExternally, verified, unopened, compared,
        "Not in archive: " + longer + "/extra.txt"}},
      {"internal, CRC changed", bad, "", kResultFailed,
       {kVerifyingInternally, "Entry 0: only.txt", kCrcMismatch}},
      // "List every damaged entry": the walk goes past the damaged entry to the closing lines.
      {"internal, CRC changed, every damaged entry listed", bad, "", kResultFailed,
       {kVerifyingInternally, "Entry 0: only.txt", kCrcMismatch, Format(kVerifiedFmt, 1),
        "Damaged entries: 1 of 1"},
       true},
  };
  QString last_folder;  // the archive chooser opens where the last archive was chosen
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    folderStarts_.clear();
    archiveStarts_.clear();
    SetBoxes(!row.folder.empty(), false);
    KeepGoing()->setChecked(row.keep_going);
    RunVerify(row.archive, row.folder);
    ASSERT_EQ(archiveStarts_.size(), 1u);
    EXPECT_EQ(archiveStarts_[0], last_folder);
    last_folder = QFileInfo(QString::fromStdString(row.archive)).absolutePath();
    EXPECT_EQ(VerdictShown(), row.status == kSuccessText ? V::kSuccess : V::kFailure);
    EXPECT_FALSE(Progress()->isVisible());
    std::string log;
    for (const std::string& line : row.log) log += line + "\r\n";
    log += row.status + "\r\n";  // the log ends with the verdict
    EXPECT_EQ(dialog_->m_log, log);
    EXPECT_EQ(PaneShown(), PaneForm(log));
    EXPECT_EQ(dialog_->m_status, row.status);
    EXPECT_EQ(StatusShown(), row.status);
    ExpectIdle();
    // The folder chooser is asked only for an external run, and opens in the archive's folder.
    ASSERT_EQ(folderStarts_.size(), !row.folder.empty() ? 1u : 0u);
    if (!row.folder.empty()) {
      EXPECT_EQ(folderStarts_[0].toStdString(), temp_.path());
    }
  }
}

// The expected ETag box: the outcome texts in the status line and the log, and the verification
// only after a match. A value in the box is always checked: typing it ticks ETag, and a run
// started with ETag clear ticks it (a blank box asks for nothing).
TEST_F(DialogTest, ExpectedEtagBox) {
  if (!HaveProgram("zip") || !HaveProgram("md5sum") || !HaveProgram("python3"))
    GTEST_SKIP() << "Info-ZIP zip, md5sum or python3 is not installed";
  const std::string archive = MakeZip("expected", kThreeFiles);
  ASSERT_EQ(RunCommand("md5sum '" + archive + "' | cut -c1-32 > '" + (temp_ / "sum") + "'"), 0);
  const std::string md5 = ReadFile(temp_ / "sum").substr(0, 32);
  const std::string other = std::string(md5.rbegin(), md5.rend());  // hex, not the MD5
  ASSERT_EQ(RunCommand("python3 -c 'import base64, hashlib, sys; print(base64.b64encode("
                       "hashlib.sha256(open(sys.argv[1], \"rb\").read()).digest()).decode())' '" +
                       archive + "' > '" + (temp_ / "sha") + "'"),
            0);
  const std::string sha256 = "SHA256:" + ReadFile(temp_ / "sha").substr(0, 44);
  auto* box = Control<QLineEdit>("IDC_EXPECTED_ETAG");
  EXPECT_EQ(box->placeholderText().toStdString(), kExpectedEtagPlaceholder);
  // The box has a label of its own, whose mnemonic takes the focus there.
  auto* label = Control<QLabel>("IDC_EXPECTED_LABEL");
  EXPECT_EQ(label->text().toStdString(), "E&xpected:");
  EXPECT_EQ(label->buddy(), box);
  EXPECT_TRUE(label->isVisible());
  dialog_->activateWindow();  // a mnemonic is a shortcut of the active window
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
  QTest::keyClick(dialog_.get(), Qt::Key_X, Qt::AltModifier);
  EXPECT_TRUE(box->hasFocus());
  // Typing (or pasting) a value ticks ETag; blanks do not, and clearing the box leaves it ticked.
  SetBoxes(false, false);
  box->clear();
  QTest::keyClicks(box, "  ");
  EXPECT_FALSE(Etag()->isChecked());
  QTest::keyClicks(box, "ab");
  EXPECT_TRUE(Etag()->isChecked());
  box->selectAll();
  QTest::keyClick(box, Qt::Key_Delete);
  EXPECT_EQ(box->text().toStdString(), "");
  EXPECT_TRUE(Etag()->isChecked());
  const std::string verified =
      std::string(kVerifyingInternally) + "\r\n" + Format(kVerifiedFmt, 3) + "\r\n";
  struct Row {
    const char* name;
    bool etag;
    std::string value;
    std::string status;
    std::string log_tail;  // the end of the log before its last line, the outcome
  };
  const Row rows[] = {
      {"whole_file_md5", true, md5, kSuccessText,
       "ETag matches with whole-file parts\r\n" + verified},
      {"blank_checks_nothing", true, "  ", kSuccessText, "-1\n\r\n" + verified},
      {"not_the_md5", true, other, "ETag does not match " + other,
       std::string(kNotMd5StyleEtag) + "\r\n"},
      {"value_ticks_etag", false, other, "ETag does not match " + other,
       std::string(kNotMd5StyleEtag) + "\r\n"},
      {"blank_leaves_etag_clear", false, "  ", kSuccessText, verified},
      // Checksums beside the ETag, separated by blanks; one that is not a checksum of its
      // algorithm ends the command before anything is read, one that differs after the read.
      {"etag_and_checksum", true, " " + sha256 + "  " + md5, kSuccessText,
       "ETag matches with whole-file parts\r\nChecksum matches: SHA256\r\n" + verified},
      {"checksum_differs", false, "CRC32:AAAAAA==", "Checksum does not match CRC32:AAAAAA==", ""},
      {"not_a_checksum", true, md5 + " SHA256:AAAAAA==", "Not a SHA256 checksum: AAAAAA==", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetBoxes(false, row.etag);
    box->setText(QString::fromStdString(row.value));
    RunVerify(archive);
    EXPECT_EQ(dialog_->m_status, row.status);
    const std::string& log = dialog_->m_log;
    const std::string tail = row.log_tail + row.status + "\r\n";
    ASSERT_GE(log.size(), tail.size()) << log;
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail) << log;
    if (row.status != kSuccessText) {
      EXPECT_EQ(log, tail) << "no verification";
    }
    if (row.etag && row.value == "  ") {  // the ETag's lines come first, the MD5 line whole
      EXPECT_EQ(log.rfind("MD5: " + md5 + "\r\nMultipart ETag: ", 0), 0u) << log;
      EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(archive + ".md5")));
    }
    EXPECT_EQ(box->text().toStdString(), row.value) << "the box keeps its text";
    EXPECT_EQ(Etag()->isChecked(), row.etag || row.value != "  ");
    EXPECT_EQ(QFileInfo::exists(QString::fromStdString(archive + ".md5")),
              row.status == kSuccessText && (row.etag || row.value != "  "));
    QFile::remove(QString::fromStdString(archive + ".md5"));
  }
}

// --- The run loop: buttons, Stop and check boxes inside reports ------------------------------

// At every report of a run Verify is disabled, Stop enabled and the progress bar shown, never
// going back, and the title names the archive; the check boxes and the expected ETag are
// disabled, so clicks and keys inside a report change nothing, and the run goes on as it began
// (external, no ETag). Once it is over they take input again.
TEST_F(DialogTest, RunHoldsButtonsProgressAndBoxes) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  // 300 KB that deflate cannot shrink: the entry's data comes in many chunks, each a report.
  std::string noise(300000, '\0');
  uint32_t x = 12345;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  const std::string archive = MakeZip("run", {{"a.txt", "small"}, {"noise.bin", noise}});
  dialog_->m_pumpIntervalMs = 0;
  int reports = 0, wrong_buttons = 0, wrong_titles = 0, hidden = 0, backwards = 0, between = 0;
  int last = -1;
  int enabled_options = 0, disabled_placeholder_contrast = 0;
  bool changed_by_input = false;
  auto* box = Control<QLineEdit>("IDC_EXPECTED_ETAG");
  ReportObserver observer;
  observer.onReport = [&] {
    if (++reports == 1) {
      QTest::mouseClick(External(), Qt::LeftButton);
      QTest::mouseClick(Etag(), Qt::LeftButton);
      QTest::mouseClick(KeepGoing(), Qt::LeftButton);
      QTest::keyClicks(box, "abc");
      changed_by_input = !External()->isChecked() || Etag()->isChecked() ||
                         KeepGoing()->isChecked() || !box->text().isEmpty();
    }
    disabled_placeholder_contrast =
        Contrast(box->palette(), QPalette::PlaceholderText, QPalette::Base);
    if (External()->isEnabled() || Etag()->isEnabled() || box->isEnabled() ||
        KeepGoing()->isEnabled() || dialog_->GetDlgItem(IDC_EXPECTED_LABEL)->isEnabled())
      ++enabled_options;
    if (Verify()->isEnabled() || !Stop()->isEnabled()) ++wrong_buttons;
    if (dialog_->windowTitle().toStdString() != Caption("run.zip")) ++wrong_titles;
    if (!Progress()->isVisible()) ++hidden;
    const int value = Progress()->value();
    if (value < last) ++backwards;
    if (value > 0 && value < kProgressSteps) ++between;
    last = value;
    return true;
  };
  observer.arm();
  SetBoxes(true, false);
  RunVerify(archive, temp_ / "run");
  observer.onReport = nullptr;
  ASSERT_GT(reports, 10) << "too few reports handled the waiting input";
  EXPECT_EQ(wrong_buttons, 0);
  EXPECT_EQ(wrong_titles, 0);
  EXPECT_EQ(dialog_->windowTitle().toStdString(), Caption("run.zip"));  // and after it
  EXPECT_EQ(hidden, 0);
  EXPECT_EQ(backwards, 0);
  EXPECT_GT(between, 5);
  EXPECT_EQ(last, kProgressSteps);  // the result's report comes after the whole archive
  ExpectIdle();
  EXPECT_FALSE(Progress()->isVisible());
  EXPECT_EQ(enabled_options, 0);
  EXPECT_FALSE(changed_by_input);
  // Disabled, the empty box's placeholder reads as disabled: it stands out from the box no more
  // than the disabled label's text from the window.
  EXPECT_LE(disabled_placeholder_contrast,
            Contrast(box->palette(), QPalette::Text, QPalette::Window));
  EXPECT_TRUE(External()->isEnabled() && Etag()->isEnabled() && box->isEnabled() &&
              KeepGoing()->isEnabled());
  EXPECT_EQ(dialog_->m_external, 1);
  EXPECT_EQ(dialog_->m_etag, 0);
  EXPECT_EQ(dialog_->m_keepGoing, 0);
  EXPECT_EQ(dialog_->m_status, kSuccessText);
  EXPECT_EQ(dialog_->m_log.rfind(kVerifyingExternally, 0), 0u);
}

TEST_F(DialogTest, WaitingStopClickEndsRunAtFirstReport) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("stop", kThreeFiles);
  SetBoxes(false, false);
  dialog_->verification().RequestStop();  // a stop left from before must not end the new run
  archiveAnswer_ = QString::fromStdString(archive);
  PostClick(Stop());  // handled by the run's first report, once Stop is enabled
  Verify()->click();
  // The opening line's report handled the click; the first entry's report returned the stop.
  EXPECT_EQ(dialog_->m_log, std::string(kVerifyingInternally) + "\r\n" + kStopped + "\r\n" +
                                kStoppedByUser + "\r\n");
  EXPECT_EQ(dialog_->m_status, kStoppedByUser);
  ExpectIdle();
}

TEST_F(DialogTest, StopClickedInsideReportEndsRunAtThatReport) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 1; i <= 12; ++i) {
    char name[16];
    snprintf(name, sizeof name, "f%02d.txt", i);
    files.push_back({name, name});
  }
  const std::string archive = MakeZip("many", files, true);
  dialog_->m_pumpIntervalMs = 0;      // every report handles input, so the order is exact
  std::vector<std::string> statuses;  // the status line as each report found it
  ReportObserver observer;
  observer.onReport = [&] {
    statuses.push_back(dialog_->m_status);
    if (dialog_->m_status == "f05.txt") QTest::mouseClick(Stop(), Qt::LeftButton);
    return true;
  };
  observer.arm();
  SetBoxes(false, false);
  RunVerify(archive);
  QCoreApplication::processEvents();  // the observer's last event, after the run
  observer.onReport = nullptr;

  // The click came in the report that announced f06: that report returned the stop, so f06 is
  // the last entry the run reached. The "Stopped" log line and the log's copy of the result
  // handle no input (the walk does not look at their answers); the result's report did, and
  // the observer's last look came after the run.
  std::string seen;
  for (const std::string& status : statuses) seen += status + "|";
  ASSERT_GE(statuses.size(), 3u) << seen;
  EXPECT_EQ(statuses[statuses.size() - 3], "f05.txt") << seen;
  EXPECT_EQ(statuses[statuses.size() - 2], "f06.txt") << seen;  // in the result's report
  EXPECT_EQ(statuses.back(), kStoppedByUser) << seen;
  for (const std::string& status : statuses) EXPECT_NE(status, "f07.txt");
  EXPECT_EQ(dialog_->m_log, std::string(kVerifyingInternally) + "\r\n" + kStopped + "\r\n" +
                                kStoppedByUser + "\r\n");
  EXPECT_EQ(dialog_->m_status, kStoppedByUser);
  ExpectIdle();
}

// A stop at any report of a run, with and without the ETag first: the log ends with one
// "Stopped by user", never two (a stop inside an entry's data makes the walk's last line the
// run's outcome too).
TEST_F(DialogTest, StopAtAnyReportEndsLogWithOneOutcome) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  std::string noise(100000, '\0');  // deflate cannot shrink it: several chunks, each a report
  uint32_t x = 777;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245 + 12345) >> 24);
  const std::string archive = MakeZip("stops", {{"a.txt", "small"}, {"noise.bin", noise}});
  const std::string outcome = std::string(kStoppedByUser) + "\r\n";
  dialog_->m_pumpIntervalMs = 0;
  for (const bool etag : {false, true}) {
    int stopped_runs = 0;
    for (int at = 1;; ++at) {
      SCOPED_TRACE(std::string(etag ? "ETag, " : "") + "stop at report " + std::to_string(at));
      int reports = 0;
      bool clicked = false;
      ReportObserver observer;
      observer.onReport = [&] {
        if (++reports < at) return true;
        clicked = true;
        QTest::mouseClick(Stop(), Qt::LeftButton);
        return false;
      };
      observer.arm();
      SetBoxes(false, etag);
      Control<QLineEdit>("IDC_EXPECTED_ETAG")->clear();
      RunVerify(archive);
      observer.onReport = nullptr;
      QCoreApplication::processEvents();
      if (!clicked) break;  // the run was over before this report: every one has been tried
      if (dialog_->m_status != kStoppedByUser) continue;  // the click came after the last check
      ++stopped_runs;
      const std::string& log = dialog_->m_log;
      ASSERT_GE(log.size(), outcome.size()) << log;
      EXPECT_EQ(log.substr(log.size() - outcome.size()), outcome) << log;
      const bool twice = log.size() >= 2 * outcome.size() &&
                         log.substr(log.size() - 2 * outcome.size()) == outcome + outcome;
      EXPECT_FALSE(twice) << log;
    }
    EXPECT_GT(stopped_runs, 5);
  }
}

// --- Closing, keys, the command line and drops ------------------------------------------------

// Every way of closing during a run asks for a stop; the window ends only once the run has
// stopped, and an ETag stopped this way writes no .md5 file. Esc during a run is Stop alone.
TEST_F(DialogTest, ClosingDuringRunStopsItThenEnds) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("close", kThreeFiles);
  const QString md5 = QString::fromStdString(archive + ".md5");
  struct Row {
    const char* name;
    std::function<void()> close;
    bool ends;
  };
  const Row rows[] = {
      {"title-bar close", [&] { dialog_->close(); }, true},
      {"Cancel", [&] { dialog_->reject(); }, true},
      {"OK", [&] { dialog_->accept(); }, true},
      {"Esc", [&] { QTest::keyClick(dialog_.get(), Qt::Key_Escape); }, false},
  };
  for (const Row& row : rows) {
    for (const bool etag : {true, false}) {
      SCOPED_TRACE(std::string(row.name) + (etag ? ", ETag" : ", verification"));
      dialog_->show();
      bool open_after_close = false;
      ReportObserver observer;
      observer.onReport = [&] {
        row.close();
        open_after_close = dialog_->isVisible() && dialog_->IsRunning();
        return false;
      };
      observer.arm();
      SetBoxes(false, etag);
      RunVerify(archive);
      EXPECT_TRUE(open_after_close);
      EXPECT_TRUE(dialog_->verification().StopRequested());
      EXPECT_EQ(dialog_->isVisible(), !row.ends);
      EXPECT_FALSE(QFileInfo::exists(md5));
      EXPECT_EQ(dialog_->m_log,
                (etag ? "" : std::string(kVerifyingInternally) + "\r\n" + kStopped + "\r\n") +
                    kStoppedByUser + "\r\n");
      ExpectIdle();
    }
  }
  // Idle, Esc closes as in any dialog.
  dialog_->show();
  QTest::keyClick(dialog_.get(), Qt::Key_Escape);
  EXPECT_FALSE(dialog_->isVisible());
}

// A close at any point of an ETag run and its verification: the .md5 file exists exactly when
// the ETag had been written before the close (its lines were already in the log).
TEST_F(DialogTest, CloseAtAnyReportWritesNothingAfterIt) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("sweep", kThreeFiles);
  const QString md5 = QString::fromStdString(archive + ".md5");
  dialog_->m_pumpIntervalMs = 0;
  int at = 1;
  for (;; ++at) {
    SCOPED_TRACE(at);
    QFile::remove(md5);
    dialog_->show();
    int reports = 0;
    bool closed = false, etag_logged = false;
    ReportObserver observer;
    observer.onReport = [&] {
      if (++reports < at) return true;
      etag_logged = dialog_->m_log.find("Multipart ETag") != std::string::npos;
      closed = true;
      dialog_->close();
      return false;
    };
    observer.arm();
    SetBoxes(false, true);
    RunVerify(archive);
    observer.onReport = nullptr;
    QCoreApplication::processEvents();
    if (!closed) break;  // the run was over before this report: every one has been tried
    EXPECT_FALSE(dialog_->isVisible());
    EXPECT_EQ(QFileInfo::exists(md5), etag_logged);
  }
  EXPECT_GT(at, 5);
}

TEST_F(DialogTest, EnterNeverEndsTheProgram) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("enter", kThreeFiles);
  SetBoxes(false, false);
  auto* pane = Control<LogView>("IDC_LOG");
  for (const bool after_run : {false, true}) {
    SCOPED_TRACE(after_run ? "after a run" : "idle");
    if (after_run) RunVerify(archive);
    for (QWidget* target : {static_cast<QWidget*>(pane), static_cast<QWidget*>(dialog_.get())}) {
      target->setFocus();
      QTest::keyClick(target, Qt::Key_Return);
      QTest::keyClick(target, Qt::Key_Enter);
      EXPECT_TRUE(dialog_->isVisible()) << target->objectName().toStdString();
    }
  }
  // On a button Enter presses that button: Verify asks for an archive (cancelled here).
  archiveStarts_.clear();
  archiveAnswer_.clear();
  Verify()->setFocus();
  QTest::keyClick(Verify(), Qt::Key_Return);
  EXPECT_EQ(archiveStarts_.size(), 1u);
  EXPECT_TRUE(dialog_->isVisible());
}

// An archive given on the command line or dropped on the idle window is verified as if it had
// been chosen: no archive chooser, the folder chooser when External is ticked. A drop during a
// run, or of anything but one .zip file, is refused.
TEST_F(DialogTest, ArchiveFromCommandLineOrDropStartsRun) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("given", kThreeFiles);
  WriteFile(temp_ / "notes.txt", "not an archive");
  auto drop = [&](const std::vector<std::string>& paths) {
    QMimeData data;
    QList<QUrl> urls;
    for (const std::string& path : paths)
      urls.append(QUrl::fromLocalFile(QString::fromStdString(path)));
    data.setUrls(urls);
    const QPoint at(dialog_->width() / 2, dialog_->height() / 2);
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(dialog_.get(), &enter);
    QDropEvent dropped(QPointF(at), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(dialog_.get(), &dropped);
    QCoreApplication::processEvents();  // the run starts once the drop is over
    return enter.isAccepted() && dropped.isAccepted();
  };
  struct Row {
    const char* name;
    std::function<void()> start;
    bool external;
  };
  const Row rows[] = {
      {"command line", [&] { dialog_->OpenArchive(QString::fromStdString(archive)); }, false},
      {"command line, External", [&] { dialog_->OpenArchive(QString::fromStdString(archive)); },
       true},
      {"drop", [&] { EXPECT_TRUE(drop({archive})); }, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    archiveStarts_.clear();
    folderStarts_.clear();
    dialog_->m_status.clear();
    folderAnswer_ = QString::fromStdString(temp_ / "given");
    SetBoxes(row.external, false);
    row.start();
    EXPECT_TRUE(archiveStarts_.empty());
    EXPECT_EQ(folderStarts_.size(), row.external ? 1u : 0u);
    EXPECT_EQ(dialog_->m_status, kSuccessText);
  }
  SetBoxes(false, false);
  dialog_->m_status.clear();
  EXPECT_FALSE(drop({temp_ / "notes.txt"}));
  EXPECT_FALSE(drop({archive, archive}));
  EXPECT_EQ(dialog_->m_status, "");
  // During a run: the drop is refused and the run goes on alone.
  bool refused = false;
  ReportObserver observer;
  observer.onReport = [&] {
    refused = !drop({archive});
    return false;
  };
  observer.arm();
  RunVerify(archive);
  EXPECT_TRUE(refused);
  EXPECT_EQ(dialog_->m_log, std::string(kVerifyingInternally) + "\r\n" +
                                Format(kVerifiedFmt, 3) + "\r\n" + kSuccessText + "\r\n");
}

TEST_F(DialogTest, CancelledChooserLeavesPaneAndButtons) {
  const std::string archive = temp_ / "never-opened.zip";
  const std::string too_long = "/" + std::string(kFolderBufferSize - 1, 'd');  // no room for NUL
  struct Row {
    const char* name;
    std::string archive, folder;
    bool external;
    size_t folder_asks;
    std::string title;  // the archive chosen stays named: the user sees what was dropped
  };
  const Row rows[] = {
      {"archive chooser cancelled", "", "", true, 0, "Vormic"},
      {"folder chooser cancelled", archive, "", true, 1, Caption("never-opened.zip")},
      {"folder path does not fit", archive, too_long, true, 1, Caption("never-opened.zip")},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    folderStarts_.clear();
    folderTitles_.clear();
    SetBoxes(row.external, false);
    RunVerify(row.archive, row.folder);
    EXPECT_EQ(PaneShown(), PaneForm(kIntroText));
    EXPECT_EQ(StatusShown(), "");
    EXPECT_EQ(folderStarts_.size(), row.folder_asks);
    EXPECT_EQ(dialog_->windowTitle().toStdString(), row.title);
    for (const std::string& title : folderTitles_)
      EXPECT_EQ(title, "Choose the folder never-opened.zip was made from");
    ExpectIdle();
  }
  // The longest path that fits is taken whole: the run starts and reports.
  const std::string longest = "/" + std::string(kFolderBufferSize - 2, 'd');
  RunVerify(archive, longest);
  EXPECT_EQ(dialog_->m_log, std::string(kVerifyingExternally) + "\r\n" + kCantOpenArchive +
                                "\r\n" + kResultFailed + "\r\n");
  EXPECT_EQ(dialog_->m_status, kResultFailed);
}

// --- Layout ----------------------------------------------------------------------------------

// The row of buttons stays put and Help keeps its distance from the right edge, while the status
// line and the pane take what the window gains or loses (the expected ETag box narrows only when
// Help comes close); the pane starts right under the status line when idle and makes room for
// the bar only while a run shows it.
TEST_F(DialogTest, PaneAndStatusLineFollowTheWindow) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("layout", kThreeFiles);
  QWidget* status = dialog_->GetDlgItem(IDC_STATUS);
  QWidget* pane = dialog_->GetDlgItem(IDC_LOG);
  QWidget* help = dialog_->GetDlgItem(IDC_HELP_BUTTON);
  const QRect status0 = status->geometry(), pane0 = pane->geometry();
  const int help_margin = dialog_->width() - help->geometry().right();
  std::vector<std::pair<QWidget*, QRect>> row;
  for (int id : {IDC_VERIFY, IDC_STOP, IDC_EXTERNAL, IDC_ETAG, IDC_EXPECTED_LABEL, IDC_KEEP_GOING})
    row.push_back({dialog_->GetDlgItem(id), dialog_->GetDlgItem(id)->geometry()});

  const QSize grown = dialog_->size() + QSize(120, 90);
  dialog_->resize(grown);
  ASSERT_EQ(dialog_->size(), grown);
  EXPECT_EQ(status->geometry(), status0.adjusted(0, 0, 120, 0));
  EXPECT_EQ(pane->geometry(), pane0.adjusted(0, 0, 120, 90));
  EXPECT_EQ(dialog_->width() - help->geometry().right(), help_margin);
  for (const auto& [control, place] : row)
    EXPECT_EQ(control->geometry(), place) << control->objectName().toStdString();

  // Idle: no room kept for the bar. During a run: status line, bar, pane, top to bottom, and
  // the pane's bottom edge where it was.
  const QRect idle_pane = pane->geometry();
  EXPECT_LT(idle_pane.top() - status->geometry().bottom(), 2 * Progress()->height());
  QRect run_status, run_bar, run_pane;
  ReportObserver observer;
  observer.onReport = [&] {
    run_status = status->geometry();
    run_bar = Progress()->geometry();
    run_pane = pane->geometry();
    return false;
  };
  observer.arm();
  SetBoxes(false, false);
  RunVerify(archive);
  ASSERT_FALSE(run_bar.isNull());
  EXPECT_GT(run_bar.top(), run_status.bottom());
  EXPECT_GT(run_pane.top(), run_bar.bottom());
  EXPECT_GT(run_bar.bottom(), idle_pane.top());  // the bar stands where the idle pane begins
  EXPECT_EQ(run_pane.bottom(), idle_pane.bottom());
  EXPECT_EQ(pane->geometry(), idle_pane);  // and the pane is back once the run is over

  // At the minimum size every control still shows whole, a run's pane included, and a pane that
  // showed its last line still does.
  dialog_->m_log.clear();
  for (int i = 0; i < 200; ++i) dialog_->m_log += Format("line %d\r\n", i);
  dialog_->UpdateData(false);
  QScrollBar* lines = static_cast<LogView*>(pane)->verticalScrollBar();
  ASSERT_GT(lines->maximum(), 0);
  ASSERT_EQ(lines->value(), lines->maximum());
  const int box_width = dialog_->GetDlgItem(IDC_EXPECTED_ETAG)->width();
  dialog_->resize(dialog_->minimumSize());
  EXPECT_EQ(lines->value(), lines->maximum());
  // The expected ETag box gave up room, so the window can be narrower than its full row.
  EXPECT_LT(dialog_->GetDlgItem(IDC_EXPECTED_ETAG)->width(), box_width);
  Progress()->show();
  const QRect inside = dialog_->rect();
  for (QWidget* w : dialog_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
    if (w->isHidden()) continue;
    EXPECT_TRUE(inside.contains(w->geometry())) << w->objectName().toStdString();
  }
  EXPECT_FALSE(help->geometry().intersects(dialog_->GetDlgItem(IDC_EXPECTED_ETAG)->geometry()));
  EXPECT_GT(pane->height(), 2 * pane->fontMetrics().lineSpacing());
  Progress()->hide();
}

// --- The Status channel ----------------------------------------------------------------------

TEST_F(DialogTest, StatusLineKeepsEndsOfLongTexts) {
  dialog_->m_pumpIntervalMs = 0;  // the status line takes the text of every report
  const std::string a50(50, 'a'), b50(50, 'b');
  const std::string e_acute = "\xc3\xa9";         // 2 bytes
  const std::string rocket = "\xf0\x9f\x9a\x80";  // 4 bytes
  struct Row {
    const char* name;
    std::string text, shown;
  };
  const Row rows[] = {
      {"100 bytes are shown whole", std::string(100, 'x'), std::string(100, 'x')},
      {"101 bytes lose byte 51", a50 + "X" + b50, a50 + "..." + b50},
      {"a character across the head cut stays out",
       std::string(49, 'a') + e_acute + std::string(60, 'b'), std::string(49, 'a') + "..." + b50},
      {"a character across the tail cut stays out",
       std::string(60, 'a') + rocket + std::string(48, 'b'), a50 + "..." + std::string(48, 'b')},
      {"characters that end at the cuts are kept",
       std::string(48, 'a') + e_acute + "-" + e_acute + std::string(48, 'b'),
       std::string(48, 'a') + e_acute + "..." + e_acute + std::string(48, 'b')},
      {"markup is shown as typed", "<b>bold</b> &amp; <img src=x>",
       "<b>bold</b> &amp; <img src=x>"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_FALSE(dialog_->Report(kStatusLine, row.text.c_str()));
    EXPECT_EQ(dialog_->m_status, row.shown);
    EXPECT_EQ(StatusShown(), row.shown);
    EXPECT_EQ(QString::fromUtf8(dialog_->m_status.c_str()).toStdString(), row.shown);
  }
  EXPECT_EQ(Control<QLabel>("IDC_STATUS")->textFormat(), Qt::PlainText);
}

TEST_F(DialogTest, LogRewrittenWhenNotOnlyGrown) {
  // The pane gets only the new tail when the log grew; any other change must reach it whole.
  struct Row {
    const char* name;
    std::string before, after;
  };
  const Row rows[] = {
      {"grown by a line", "first\r\n", "first\r\nsecond\r\n"},
      {"same length, other text", "first\r\n", "other\r\n"},
      {"longer, other start", "first\r\n", "fiRst\r\nsecond\r\n"},
      {"shorter", "first\r\nsecond\r\n", "first\r\n"},
      {"cleared", "first\r\n", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    dialog_->m_log = row.before;
    dialog_->UpdateData(false);
    ASSERT_EQ(PaneShown(), PaneForm(row.before));
    dialog_->m_log = row.after;
    dialog_->UpdateData(false);
    EXPECT_EQ(PaneShown(), PaneForm(row.after));
    dialog_->UpdateData(true);
    EXPECT_EQ(dialog_->m_log, row.after);
  }
}

// --- Saving the log --------------------------------------------------------------------------

// SaveLog writes the pane's text as UTF-8, byte for byte what the pane shows (a byte that is not
// UTF-8 as U+FFFD), replacing a file only when the whole text is written.
TEST_F(DialogTest, SaveLogWritesThePanesText) {
  const std::string path = temp_ / "saved.log";
  struct Row {
    const char* name;
    std::string log, saved;
  };
  const Row rows[] = {
      {"lines end in line feeds", "Verifying internally...\r\nVerified 3 files\r\n",
       "Verifying internally...\nVerified 3 files\n"},
      {"UTF-8 stays as it is", "Entry 0: caf\xc3\xa9 \xe2\x82\xac.txt\r\n",
       "Entry 0: caf\xc3\xa9 \xe2\x82\xac.txt\n"},
      {"a byte that is not UTF-8", "Entry 0: \xff.txt\r\n", "Entry 0: \xef\xbf\xbd.txt\n"},
      {"empty", "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    dialog_->m_log = row.log;
    dialog_->UpdateData(false);
    QString error;
    ASSERT_TRUE(dialog_->SaveLog(QString::fromStdString(path), &error)) << error.toStdString();
    EXPECT_EQ(ReadFile(path), row.saved);
    EXPECT_EQ(ReadFile(path), PaneShown());
  }
  // A folder that is not there: false with a reason, nothing written.
  const std::string nowhere = temp_ / "missing/saved.log";
  QString error;
  EXPECT_FALSE(dialog_->SaveLog(QString::fromStdString(nowhere), &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(nowhere)));
}

// "Save log…" in the pane's context menu and Ctrl+S ask for a file beside the archive and save
// there; during a run both are off.
TEST_F(DialogTest, SaveLogFromMenuAndCtrlS) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("saved", kThreeFiles);
  std::vector<QString> suggested;
  QString answer = QString::fromStdString(temp_ / "run.log");
  dialog_->m_chooseLogFile = [&](QWidget*, const QString& start) {
    suggested.push_back(start);
    return answer;
  };
  auto* pane = Control<LogView>("IDC_LOG");
  auto open_pane_menu = [&] {
    QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5),
                            pane->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(pane->viewport(), &event);
  };
  QAction* save = nullptr;
  auto find_save = [&](QWidget* menu) {
    for (QAction* action : menu->actions())
      if (action->text() == QString::fromUtf8("&Save log\xe2\x80\xa6")) save = action;
  };
  dialog_->activateWindow();  // Ctrl+S is a shortcut of the active window
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));

  // During a run: the menu's entry is disabled and Ctrl+S asks nothing.
  bool enabled_in_run = true;
  ReportObserver observer;
  observer.onReport = [&] {
    WithNextWindow(open_pane_menu, find_save);
    enabled_in_run = save != nullptr && save->isEnabled();
    QTest::keyClick(pane, Qt::Key_S, Qt::ControlModifier);
    return false;
  };
  observer.arm();
  SetBoxes(false, false);
  RunVerify(archive);
  ASSERT_NE(save, nullptr);
  EXPECT_FALSE(enabled_in_run);
  EXPECT_TRUE(suggested.empty());
  EXPECT_EQ(save->shortcut(), QKeySequence(QKeySequence::Save));

  // After it, from the menu: the chooser suggests the archive's path with ".log".
  save = nullptr;
  WithNextWindow(open_pane_menu, [&](QWidget* menu) {
    find_save(menu);
    ASSERT_NE(save, nullptr);
    EXPECT_TRUE(save->isEnabled());
    static_cast<QMenu*>(menu)->setActiveAction(save);
    QTest::keyClick(menu, Qt::Key_Return);
  });
  ASSERT_EQ(suggested.size(), 1u);
  EXPECT_EQ(suggested[0].toStdString(), archive + ".log");
  EXPECT_EQ(ReadFile(temp_ / "run.log"), PaneShown());
  EXPECT_EQ(PaneShown(), PaneForm(dialog_->m_log));

  // Ctrl+S, with the focus in the pane or on a button; a cancelled chooser writes nothing. The
  // menu that just closed may have left the window inactive, and a window's shortcut needs it
  // active.
  answer = QString::fromStdString(temp_ / "keys.log");
  dialog_->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(dialog_.get()));
  for (QWidget* focus : {static_cast<QWidget*>(pane), static_cast<QWidget*>(Verify())}) {
    focus->setFocus();
    QTest::keyClick(focus, Qt::Key_S, Qt::ControlModifier);
  }
  EXPECT_EQ(suggested.size(), 3u);
  EXPECT_EQ(ReadFile(temp_ / "keys.log"), PaneShown());
  answer.clear();
  QTest::keyClick(pane, Qt::Key_S, Qt::ControlModifier);
  EXPECT_EQ(suggested.size(), 4u);
}

// --- Help and About --------------------------------------------------------------------------

// Help and F1 hand the shipped page to the desktop; when it cannot show it, the page opens in a
// window of the program's own.
TEST_F(DialogTest, HelpShowsPageThroughDesktopOrOwnWindow) {
  for (const bool desktop_opens : {true, false}) {
    SCOPED_TRACE(desktop_opens ? "desktop opens it" : "no URL handler");
    std::vector<QUrl> urls;
    dialog_->m_openUrl = [&](const QUrl& url) {
      urls.push_back(url);
      return desktop_opens;
    };
    QTest::mouseClick(Control<QPushButton>("IDC_HELP_BUTTON"), Qt::LeftButton);
    QTest::keyClick(dialog_.get(), Qt::Key_F1);
    ASSERT_EQ(urls.size(), 2u);
    for (const QUrl& url : urls) {
      ASSERT_TRUE(url.isLocalFile());
      const QFileInfo page(url.toLocalFile());
      EXPECT_EQ(page.fileName().toStdString(), kHelpPageName);
      EXPECT_TRUE(page.isFile()) << url.toLocalFile().toStdString();
    }
    auto* window = dialog_->findChild<QWidget*>(QStringLiteral("IDD_HELP_WINDOW"));
    ASSERT_EQ(window != nullptr, !desktop_opens);
    if (window == nullptr) continue;
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isWindow());
    EXPECT_EQ(window->windowTitle().toStdString(), "Vormic Help");
    auto* browser = window->findChild<QTextBrowser*>();
    ASSERT_NE(browser, nullptr);
    EXPECT_TRUE(browser->toPlainText().contains(QStringLiteral("Verifying an archive")));
    // The second press raised the same window instead of opening another.
    EXPECT_EQ(dialog_->findChildren<QTextBrowser*>().size(), 1);
  }
}

// Help's arrow (or a right click, Alt+Down or F4 on it) opens its menu: the help page again and
// the About box. A click on the rest of the button still opens the page straight away.
TEST_F(DialogTest, HelpMenuHoldsAbout) {
  auto* help = Control<QPushButton>("IDC_HELP_BUTTON");
  std::vector<QUrl> urls;
  dialog_->m_openUrl = [&](const QUrl& url) {
    urls.push_back(url);
    return true;
  };
  const QPoint arrow(help->width() - 4, help->height() / 2);
  struct Row {
    const char* name;
    std::function<void()> open;
  };
  const Row rows[] = {
      {"arrow", [&] { QTest::mouseClick(help, Qt::LeftButton, Qt::NoModifier, arrow); }},
      {"right click",
       [&] {
         QContextMenuEvent event(QContextMenuEvent::Mouse, help->rect().center(),
                                 help->mapToGlobal(help->rect().center()));
         QCoreApplication::sendEvent(help, &event);
       }},
      {"Alt+Down", [&] { QTest::keyClick(help, Qt::Key_Down, Qt::AltModifier); }},
      {"F4", [&] { QTest::keyClick(help, Qt::Key_F4); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::vector<std::string> entries;
    QWidget* seen = WithNextWindow(row.open, [&](QWidget* shown) {
      for (QAction* action : shown->actions()) entries.push_back(action->text().toStdString());
    });
    ASSERT_NE(qobject_cast<QMenu*>(seen), nullptr);
    EXPECT_EQ(entries, (std::vector<std::string>{"Help", "&About Vormic..."}));
    EXPECT_FALSE(help->isDown());
  }
  EXPECT_TRUE(urls.empty());

  // Its entries: the About box, modal, and the page.
  std::string about_title;
  WithNextWindow([&] { QTest::mouseClick(help, Qt::LeftButton, Qt::NoModifier, arrow); },
                 [&](QWidget* menu) {
                   WithNextWindow(
                       [&] {
                         auto* entries = static_cast<QMenu*>(menu);
                         entries->setActiveAction(entries->actions().at(1));
                         QTest::keyClick(entries, Qt::Key_Return);
                       },
                       [&](QWidget* box) { about_title = box->windowTitle().toStdString(); });
                 });
  EXPECT_EQ(about_title, "About Vormic");
  WithNextWindow([&] { QTest::mouseClick(help, Qt::LeftButton, Qt::NoModifier, arrow); },
                 [&](QWidget* menu) {
                   auto* entries = static_cast<QMenu*>(menu);
                   entries->setActiveAction(entries->actions().at(0));
                   QTest::keyClick(entries, Qt::Key_Return);
                 });
  EXPECT_EQ(urls.size(), 1u);
  // The rest of the button is the plain Help button: no menu, the page at once.
  EXPECT_EQ(WithNextWindow([&] { QTest::mouseClick(help, Qt::LeftButton); }, [](QWidget*) {}),
            nullptr);
  EXPECT_EQ(urls.size(), 2u);
}

// The About box says in one line what Vormic does and names the decoders in use with their
// versions, as vormic-cli --version does; every text shows whole.
TEST_F(DialogTest, AboutSaysWhatAndWhichVersions) {
  char decoders[160];
  ASSERT_TRUE(FormatDecoderVersions(decoders, sizeof decoders));
  const std::string versions = std::string("inflate and CRC-32: ") + CodecName(DefaultCodec()) +
                               "\nother methods: " + decoders;
  std::map<std::string, std::string> texts;
  bool fits = true;
  QWidget* box = WithNextWindow(
      [&] { dialog_->OnAbout(); },
      [&](QWidget* shown) {
        for (QLabel* label : shown->findChildren<QLabel*>()) {
          if (label->text().isEmpty()) continue;  // the icon
          texts[label->objectName().toStdString()] = label->text().toStdString();
          const QSize needed = label->wordWrap()
                                   ? QSize(label->width(), label->heightForWidth(label->width()))
                                   : label->sizeHint();
          if (needed.width() > label->width() || needed.height() > label->height() ||
              !shown->rect().contains(label->geometry()))
            fits = false;
        }
      });
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(texts["IDC_VERSION"], "Vormic, Version " VORMIC_VERSION);
  EXPECT_EQ(texts["IDC_DESCRIPTION"], "Tells whether a ZIP archive is intact.");
  EXPECT_EQ(texts["IDC_VERSIONS"], versions);
  EXPECT_TRUE(fits);
}

}  // namespace

int main(int argc, char** argv) {
  // The dialog never needs a display here, listing the tests included.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

