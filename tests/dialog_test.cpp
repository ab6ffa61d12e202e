// The dialog on its real widgets, without a display (QT_QPA_PLATFORM=offscreen): its initial
// state and layout, whole Verify commands over archives made by Info-ZIP's zip at test time,
// the buttons during and after a run, Stop handled inside a report, the status line's
// shortening, the choosers' cancel paths, Help and the About box. The choosers are replaced by
// functions, so no modal window waits for a user. Work "inside a report" is done by a helper
// object whose posted event the report's input handling dispatches.
#include "about_dlg.h"
#include "archive_walk.h"
#include "dialog_units.h"
#include "engine_state.h"
#include "etag.h"
#include "resource.h"
#include "status.h"
#include "test_util.h"
#include "verify_run.h"
#include "vormic_dlg.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <climits>
#include <functional>
#include <gtest/gtest.h>
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

// Takes the URLs that QDesktopServices::openUrl is asked to open.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  std::vector<QUrl> urls;

 public slots:
  void open(const QUrl& url) { urls.push_back(url); }
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
    ASSERT_TRUE(SetNameListFolder(temp_.path().c_str()));
    dialog_ = std::make_unique<CVormicDlg>();
    dialog_->m_chooseArchive = [this](QWidget*) {
      ++archiveChoices_;
      return archiveAnswer_;
    };
    dialog_->m_chooseFolder = [this](QWidget*, const QString& start) {
      folderStarts_.push_back(start);
      return folderAnswer_;
    };
    dialog_->show();
  }

  void TearDown() override {
    dialog_.reset();
    g_stopRequested = false;
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
  std::string StatusShown() { return Control<QLabel>("IDC_STATUS")->text().toStdString(); }
  std::string PaneShown() {
    return Control<QPlainTextEdit>("IDC_LOG")->toPlainText().toStdString();
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
  int archiveChoices_ = 0;
  std::vector<QString> folderStarts_;
};

const std::vector<std::pair<std::string, std::string>> kThreeFiles = {
    {"a.txt", std::string(5000, 'a')},
    {"sub/b.txt", "second file\n"},
    {"sub/deeper/c.bin", std::string("\x00\x01\x02\xff", 4)}};

// --- Start-up and layout ---------------------------------------------------------------------

TEST_F(DialogTest, FreshStartShowsIntroductionAndIdleButtons) {
  EXPECT_EQ(dialog_->windowTitle().toStdString(), kMainCaption);
  EXPECT_EQ(dialog_->m_log, kIntroText);
  EXPECT_EQ(PaneShown(), PaneForm(kIntroText));
  EXPECT_EQ(StatusShown(), "");
  EXPECT_TRUE(External()->isChecked());
  EXPECT_FALSE(Etag()->isChecked());
  ExpectIdle();
  EXPECT_EQ(dialog_->focusWidget(), Verify());
  EXPECT_FALSE(dialog_->windowIcon().isNull());
  EXPECT_EQ(g_mainDialog, dialog_.get());
}

TEST_F(DialogTest, ControlsFitTheirTexts) {
  struct Row {
    int id;
    const char* name;
    const char* text;  // null: no caption to fit
  };
  const Row rows[] = {
      {IDC_STATUS, "IDC_STATUS", nullptr},
      {IDC_VERIFY, "IDC_VERIFY", kVerifyText},
      {IDC_STOP, "IDC_STOP", kStopText},
      {IDC_LOG, "IDC_LOG", nullptr},
      {IDC_EXTERNAL, "IDC_EXTERNAL", kExternalText},
      {IDC_ETAG, "IDC_ETAG", kEtagText},
      {IDC_HELP_BUTTON, "IDC_HELP_BUTTON", kHelpText},
      {IDC_EXPECTED_ETAG, "IDC_EXPECTED_ETAG", nullptr},
  };
  for (const QSize size : {QSize(1400, 700), QSize(300, 120)}) {
    dialog_->resize(size);
    QCoreApplication::processEvents();
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      QWidget* control = dialog_->GetDlgItem(row.id);
      ASSERT_NE(control, nullptr);
      EXPECT_EQ(control->objectName().toStdString(), row.name);
      if (row.text == nullptr) continue;
      if (auto* check = qobject_cast<QCheckBox*>(control)) {
        EXPECT_EQ(check->text().toStdString(), row.text);
        EXPECT_LE(check->sizeHint().width(), control->width());
      } else {
        auto* button = qobject_cast<QPushButton*>(control);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text().toStdString(), row.text);
        const int margin = button->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, button);
        EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()) + 2 * margin,
                  control->width());
      }
    }
  }
  auto* pane = Control<QPlainTextEdit>("IDC_LOG");
  EXPECT_TRUE(pane->isReadOnly());
  EXPECT_EQ(pane->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(pane->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

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
  struct Row {
    const char* name;
    std::string archive;
    bool external;
    std::string folder;
    std::string status;
    std::vector<std::string> log;
  };
  const Row rows[] = {
      {"internal", good, false, "", kSuccessText, {kVerifyingInternally, verified}},
      {"external",
       good,
       true,
       temp_ / "good",
       kSuccessText,
       {kVerifyingExternally, verified, Format(kUnopenedFmt, 0), Format(kComparedFmt, 3)}},
      {"external, folder holds one file more",
       good,
       true,
       longer,
       "Number of files in archive does not match source folder (3 != 4)",
       {kVerifyingExternally, verified, Format(kUnopenedFmt, 0), Format(kComparedFmt, 3),
        "Not in archive: " + longer + "/extra.txt"}},
      {"internal, CRC changed",
       bad,
       false,
       "",
       kResultFailed,
       {kVerifyingInternally, "Entry 0: only.txt", kCrcMismatch}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    folderStarts_.clear();
    SetBoxes(row.external, false);
    RunVerify(row.archive, row.folder);
    std::string log;
    for (const std::string& line : row.log) log += line + "\r\n";
    log += row.status + "\r\n";  // the log ends with the verdict
    EXPECT_EQ(dialog_->m_log, log);
    EXPECT_EQ(PaneShown(), PaneForm(log));
    EXPECT_EQ(dialog_->m_status, row.status);
    EXPECT_EQ(StatusShown(), row.status);
    ExpectIdle();
    // The folder chooser is asked only for an external run, and opens in the archive's folder.
    ASSERT_EQ(folderStarts_.size(), row.external ? 1u : 0u);
    if (row.external) {
      EXPECT_EQ(folderStarts_[0].toStdString(), temp_.path());
    }
  }
}

TEST_F(DialogTest, EtagRunsBeforeVerification) {
  if (!HaveProgram("zip") || !HaveProgram("md5sum"))
    GTEST_SKIP() << "Info-ZIP zip or md5sum is not installed";
  const std::string archive = MakeZip("etag", kThreeFiles);
  ASSERT_EQ(RunCommand("md5sum '" + archive + "' | cut -c1-32 > '" + (temp_ / "sum") + "'"), 0);
  const std::string md5 = ReadFile(temp_ / "sum").substr(0, 32);

  SetBoxes(false, true);
  RunVerify(archive);
  EXPECT_EQ(dialog_->m_status, kSuccessText);
  ExpectIdle();
  // The MD5 line, then the ETag line (which carries its own line feed), then the run.
  const std::string& log = dialog_->m_log;
  const std::string md5_line = "MD5: " + md5 + "\r\n";
  ASSERT_EQ(log.compare(0, md5_line.size(), md5_line), 0) << log;
  const std::string etag_head = "Multipart ETag: ";
  ASSERT_EQ(log.compare(md5_line.size(), etag_head.size(), etag_head), 0) << log;
  const std::string rest = log.substr(md5_line.size() + etag_head.size() + 32);
  EXPECT_EQ(rest, "-1\n\r\n" + std::string(kVerifyingInternally) + "\r\n" +
                      Format(kVerifiedFmt, 3) + "\r\n" + kSuccessText + "\r\n");
  EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(archive + ".md5")));
}

// The expected ETag box, read only when ETag is ticked: the outcome texts in the status line and
// the log, and the verification only after a match.
TEST_F(DialogTest, ExpectedEtagBox) {
  if (!HaveProgram("zip") || !HaveProgram("md5sum"))
    GTEST_SKIP() << "Info-ZIP zip or md5sum is not installed";
  const std::string archive = MakeZip("expected", kThreeFiles);
  ASSERT_EQ(RunCommand("md5sum '" + archive + "' | cut -c1-32 > '" + (temp_ / "sum") + "'"), 0);
  const std::string md5 = ReadFile(temp_ / "sum").substr(0, 32);
  const std::string other = std::string(md5.rbegin(), md5.rend());  // hex, not the MD5
  auto* box = Control<QLineEdit>("IDC_EXPECTED_ETAG");
  EXPECT_EQ(box->placeholderText().toStdString(), kExpectedEtagPlaceholder);
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
      {"read_only_with_etag", false, other, kSuccessText, verified},
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
    EXPECT_EQ(box->text().toStdString(), row.value) << "the box keeps its text";
  }
}

// --- The run loop: buttons, Stop and check boxes inside reports ------------------------------

TEST_F(DialogTest, ButtonsSwapForTheRunAndBack) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("run", kThreeFiles);
  bool seen = false, verify_enabled = true, stop_enabled = false;
  ReportObserver observer;
  observer.onReport = [&] {
    seen = true;
    verify_enabled = Verify()->isEnabled();
    stop_enabled = Stop()->isEnabled();
    return false;
  };
  observer.arm();
  SetBoxes(false, false);
  RunVerify(archive);
  ASSERT_TRUE(seen) << "no report handled the waiting input";
  EXPECT_FALSE(verify_enabled);
  EXPECT_TRUE(stop_enabled);
  ExpectIdle();
  EXPECT_EQ(dialog_->m_status, kSuccessText);
}

TEST_F(DialogTest, WaitingStopClickEndsRunAtFirstReport) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("stop", kThreeFiles);
  SetBoxes(false, false);
  g_stopRequested = true;  // a stop left from before must not end the new run
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
  // the last entry the run reached; the "Stopped" line, the result and its copy in the log
  // followed, and the observer's last look came after the run.
  std::string seen;
  for (const std::string& status : statuses) seen += status + "|";
  ASSERT_GE(statuses.size(), 5u) << seen;
  EXPECT_EQ(statuses[statuses.size() - 5], "f05.txt") << seen;
  EXPECT_EQ(statuses[statuses.size() - 4], "f06.txt") << seen;  // in the "Stopped" report
  EXPECT_EQ(statuses[statuses.size() - 3], "f06.txt") << seen;  // in the result's report
  EXPECT_EQ(statuses[statuses.size() - 2], kStoppedByUser) << seen;  // in the log's copy
  EXPECT_EQ(statuses.back(), kStoppedByUser) << seen;
  for (const std::string& status : statuses) EXPECT_NE(status, "f07.txt");
  EXPECT_EQ(dialog_->m_log, std::string(kVerifyingInternally) + "\r\n" + kStopped + "\r\n" +
                                kStoppedByUser + "\r\n");
  EXPECT_EQ(dialog_->m_status, kStoppedByUser);
  ExpectIdle();
}

TEST_F(DialogTest, StopDuringEtagSkipsVerification) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("etagstop", kThreeFiles);
  SetBoxes(false, true);
  archiveAnswer_ = QString::fromStdString(archive);
  PostClick(Stop());
  Verify()->click();
  // No ETag lines, no verification: the outcome alone.
  EXPECT_EQ(dialog_->m_log, std::string(kStoppedByUser) + "\r\n");
  EXPECT_EQ(PaneShown(), PaneForm(std::string(kStoppedByUser) + "\r\n"));
  EXPECT_EQ(dialog_->m_status, kStoppedByUser);
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(archive + ".md5")));
  ExpectIdle();
}

TEST_F(DialogTest, CheckBoxChangedDuringRunIsSetBack) {
  if (!HaveProgram("zip")) GTEST_SKIP() << "Info-ZIP zip is not installed";
  const std::string archive = MakeZip("boxes", kThreeFiles);
  dialog_->m_pumpIntervalMs = 0;
  int reports = 0;
  bool cleared_by_click = false, ticked_at_next_report = false;
  ReportObserver observer;
  observer.onReport = [&] {
    if (++reports == 1) {
      QTest::mouseClick(External(), Qt::LeftButton);
      QTest::mouseClick(Etag(), Qt::LeftButton);
      cleared_by_click = !External()->isChecked() && Etag()->isChecked();
      return true;
    }
    ticked_at_next_report = External()->isChecked() && !Etag()->isChecked();
    return false;
  };
  observer.arm();
  SetBoxes(true, false);
  RunVerify(archive, temp_ / "boxes");
  EXPECT_TRUE(cleared_by_click);
  EXPECT_TRUE(ticked_at_next_report);
  EXPECT_EQ(dialog_->m_external, 1);
  EXPECT_EQ(dialog_->m_etag, 0);
  EXPECT_EQ(dialog_->m_status, kSuccessText);  // an external run with no ETag, as it began
  EXPECT_EQ(dialog_->m_log.rfind(kVerifyingExternally, 0), 0u);
}

TEST_F(DialogTest, CancelledChooserLeavesPaneAndButtons) {
  const std::string archive = temp_ / "never-opened.zip";
  const std::string too_long = "/" + std::string(kFolderBufferSize - 1, 'd');  // no room for NUL
  struct Row {
    const char* name;
    std::string archive, folder;
    bool external;
    size_t folder_asks;
  };
  const Row rows[] = {
      {"archive chooser cancelled", "", "", true, 0},
      {"folder chooser cancelled", archive, "", true, 1},
      {"folder path does not fit", archive, too_long, true, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    folderStarts_.clear();
    SetBoxes(row.external, false);
    RunVerify(row.archive, row.folder);
    EXPECT_EQ(PaneShown(), PaneForm(kIntroText));
    EXPECT_EQ(StatusShown(), "");
    EXPECT_EQ(folderStarts_.size(), row.folder_asks);
    ExpectIdle();
  }
  // The longest path that fits is taken whole: the run starts and reports.
  const std::string longest = "/" + std::string(kFolderBufferSize - 2, 'd');
  RunVerify(archive, longest);
  EXPECT_EQ(dialog_->m_log, std::string(kVerifyingExternally) + "\r\n" + kCantOpenArchive +
                                "\r\n" + kResultFailed + "\r\n");
  EXPECT_EQ(dialog_->m_status, kResultFailed);
}

// --- The Status channel ----------------------------------------------------------------------

TEST_F(DialogTest, StatusLineKeepsEndsOfLongTexts) {
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
    EXPECT_FALSE(ReportStatus(kStatusLine, row.text.c_str()));
    EXPECT_EQ(dialog_->m_status, row.shown);
    EXPECT_EQ(StatusShown(), row.shown);
    EXPECT_EQ(QString::fromUtf8(dialog_->m_status.c_str()).toStdString(), row.shown);
  }
  EXPECT_EQ(Control<QLabel>("IDC_STATUS")->textFormat(), Qt::PlainText);
}

TEST_F(DialogTest, ReportKindsChangeOnlyTheirMember) {
  dialog_->m_log.clear();
  ASSERT_FALSE(ReportStatus(kLogLine, "abc"));
  EXPECT_EQ(dialog_->m_log, "abc\r\n");
  EXPECT_EQ(PaneShown(), "abc\n");
  ASSERT_FALSE(ReportStatus(kLogLine, "<i>name</i>"));
  EXPECT_EQ(PaneShown(), "abc\n<i>name</i>\n");
  ReportStatus(kStatusLine, "status");

  // Kind 2 and a null text change no member; kind 2 still refreshes the controls, so a box the
  // user changed is set back; a null text refreshes nothing.
  External()->setChecked(false);
  ReportStatus(kLogLine, nullptr);
  EXPECT_FALSE(External()->isChecked());
  ReportStatus(2, "ignored");
  EXPECT_TRUE(External()->isChecked());
  EXPECT_EQ(dialog_->m_log, "abc\r\n<i>name</i>\r\n");
  EXPECT_EQ(dialog_->m_status, "status");

  g_stopRequested = true;
  EXPECT_TRUE(ReportStatus(kStatusLine, nullptr));
  EXPECT_TRUE(ReportStatus(kLogLine, "after stop"));
  EXPECT_EQ(PaneShown(), "abc\n<i>name</i>\nafter stop\n");
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

// --- Help and About --------------------------------------------------------------------------

TEST_F(DialogTest, HelpOpensShippedPage) {
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
  QTest::mouseClick(Control<QPushButton>("IDC_HELP_BUTTON"), Qt::LeftButton);
  QTest::keyClick(dialog_.get(), Qt::Key_F1);
  QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
  ASSERT_EQ(catcher.urls.size(), 2u);
  for (const QUrl& url : catcher.urls) {
    ASSERT_TRUE(url.isLocalFile());
    const QFileInfo page(url.toLocalFile());
    EXPECT_EQ(page.fileName().toStdString(), kHelpPageName);
    EXPECT_TRUE(page.isFile()) << url.toLocalFile().toStdString();
  }
}

TEST_F(DialogTest, ContextMenuOpensAboutBox) {
  std::string entry, caption, version;
  bool ok_is_default = false, about_seen = false, gave_up = false;
  // Ends whatever menu or About box is still open: a nested loop the timers below did not end
  // must fail the test, not hang it.
  auto close_all = [] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (!w->isVisible()) continue;
      if (auto* about = qobject_cast<CAboutDlg*>(w)) {
        about->reject();
      } else if (auto* menu = qobject_cast<QMenu*>(w)) {
        menu->close();
      }
    }
  };
  // The menu and the box each run a nested loop; these timers act inside them. They belong to
  // `scope`, so none that is still pending fires after the test.
  QObject scope;
  QTimer::singleShot(0, &scope, [&] {
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    if (menu == nullptr || menu->actions().isEmpty()) {
      ADD_FAILURE() << "no popup menu with an entry came up";
      close_all();
      return;
    }
    entry = menu->actions().first()->text().toStdString();
    QTimer::singleShot(0, &scope, [&] {
      auto* about = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
      if (about == nullptr) {
        ADD_FAILURE() << "the menu entry opened no About box";
        close_all();
        return;
      }
      about_seen = true;
      caption = about->windowTitle().toStdString();
      if (auto* label = about->findChild<QLabel*>(QStringLiteral("IDC_VERSION")))
        version = label->text().toStdString();
      auto* ok = about->findChild<QPushButton*>(QStringLiteral("IDOK"));
      if (ok == nullptr) {
        ADD_FAILURE() << "the About box has no OK button";
        about->reject();
        return;
      }
      ok_is_default = ok->isDefault();
      QTest::mouseClick(ok, Qt::LeftButton);
      if (about->isVisible()) {
        ADD_FAILURE() << "OK did not close the About box";
        about->reject();
      }
    });
    menu->actions().first()->trigger();
    menu->close();
  });
  // Whatever the timers above miss, this one ends.
  QTimer::singleShot(10000, &scope, [&] {
    gave_up = true;
    close_all();
  });
  const QPoint at(dialog_->width() / 2, dialog_->height() / 2);
  QContextMenuEvent event(QContextMenuEvent::Mouse, at, dialog_->mapToGlobal(at));
  QCoreApplication::sendEvent(dialog_.get(), &event);
  EXPECT_FALSE(gave_up) << "a menu or box was still open after 10 s";
  EXPECT_EQ(entry, kAboutMenuText);
  ASSERT_TRUE(about_seen);
  EXPECT_EQ(caption, kAboutCaption);
  EXPECT_EQ(version, kAboutVersionText);
  EXPECT_TRUE(ok_is_default);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  // The dialog never needs a display here, listing the tests included.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  ::testing::InitGoogleTest(&argc, argv);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

#include "dialog_test.moc"
