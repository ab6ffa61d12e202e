// Measures what the dialog adds to a verification: the same archive verified by the engine alone
// (a verification reporting to a sink that shows nothing), by
// vormic-cli (with --cli, its output to /dev/null) and from the dialog's Verify command with its
// choosers replaced, in interleaved rounds; the memory a dialog run adds against the log it
// shows; the cost of one status report; and how long input that arrives during a run waits
// before a report handles it, Stop included. Runs offscreen unless QT_QPA_PLATFORM says otherwise.
//
//   dialog_bench ARCHIVE [--folder FOLDER] [--cli VORMIC_CLI] [--repeat N] [--pump-ms N] [--quick]
//   dialog_bench --screenshots PREFIX GOOD.zip BAD.zip [--dark] [-style Fusion]
//       (on a display: whole-screen shots of the window and its menus; --dark: a dark palette)
#include "engine.h"
#include "help_button.h"
#include "log_view.h"
#include "resource.h"
#include "status.h"
#include "vormic_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The name lists of every run go here, the engine's alone, the dialog's and vormic-cli's alike,
// so the three do the same work.
constexpr const char* kListsFolder = "/tmp";

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU time of the whole process: less swayed than wall time by other work on a shared machine.
double CpuSeconds() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Timing {
  double wall;
  double cpu;
};
double Millis(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// An event stamped when it was posted; `stop` makes its handler press Stop.
struct StampEvent : QEvent {
  static const QEvent::Type kType;
  StampEvent(Clock::time_point at, bool press_stop) : QEvent(kType), posted(at), stop(press_stop) {}
  Clock::time_point posted;
  bool stop;
};
const QEvent::Type StampEvent::kType = static_cast<QEvent::Type>(QEvent::registerEventType());

// Lives on the GUI thread; records how long each stamped event waited.
class LatencyProbe : public QObject {
 public:
  explicit LatencyProbe(CVormicDlg* dialog) : dialog_(dialog) {}
  std::vector<double> waits_ms;
  Clock::time_point stop_handled{};

 protected:
  bool event(QEvent* event) override {
    if (event->type() != StampEvent::kType) return QObject::event(event);
    auto* stamp = static_cast<StampEvent*>(event);
    const Clock::time_point now = Clock::now();
    waits_ms.push_back(Millis(now - stamp->posted));
    if (stamp->stop) {
      stop_handled = now;
      dialog_->m_stopButton->click();
    }
    return true;
  }

 private:
  CVormicDlg* dialog_;
};

// Posts stamped events from another thread at random moments, as a user's input arrives.
class InputSource {
 public:
  InputSource(QObject* target, int count, int min_gap_ms, int max_gap_ms, bool stop_last)
      : thread_([=, this] {
          std::mt19937 random(12345);
          std::uniform_int_distribution<int> gap(min_gap_ms, max_gap_ms);
          for (int i = 0; i < count && !quit_; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
            if (quit_) break;
            QCoreApplication::postEvent(target,
                                        new StampEvent(Clock::now(), stop_last && i == count - 1));
          }
        }) {}
  ~InputSource() {
    quit_ = true;
    thread_.join();
  }

 private:
  std::atomic<bool> quit_{false};
  std::thread thread_;
};

struct Options {
  std::string archive;
  std::string folder;  // empty: an internal run
  std::string cli;     // vormic-cli to time beside the dialog; empty: none
  int repeat = 3;
  int pump_ms = kDefaultPumpIntervalMs;
  bool quick = false;  // the timings alone: no report cost, no input latency
};

// Resident memory of this process in KiB (VmRSS), or -1.
long ResidentKib() {
  FILE* status = fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (fgets(line, sizeof line, status) != nullptr)
    if (sscanf(line, "VmRSS: %ld kB", &kib) == 1) break;
  fclose(status);
  return kib;
}

// One vormic-cli run as a shell would start it, standard output to /dev/null (where a user's
// terminal or pipe would take it), --quiet. Wall time, and the child's CPU time.
Timing CliRun(const Options& options) {
  std::vector<const char*> args = {options.cli.c_str(), "--quiet"};
  if (!options.folder.empty()) {
    args.push_back("--folder");
    args.push_back(options.folder.c_str());
  }
  args.push_back("--lists");
  args.push_back(kListsFolder);
  args.push_back(options.archive.c_str());
  args.push_back(nullptr);
  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child == 0) {
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    execv(args[0], const_cast<char* const*>(args.data()));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double wall = Seconds(Clock::now() - start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) fprintf(stderr, "vormic-cli failed\n");
  const auto cpu = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
  };
  return {wall, cpu(usage.ru_utime) + cpu(usage.ru_stime)};
}

Timing EngineAlone(const Options& options, CVormicDlg* /*dialog*/) {
  static Verification verification;  // its own buffers, as the dialog's are its own
  NullSink sink;                     // shows nothing
  VerifyOptions run;
  run.archive = options.archive.c_str();
  run.folder = options.folder.empty() ? nullptr : options.folder.c_str();
  run.jobs = DefaultCheckJobs();
  run.lists_folder = kListsFolder;
  const Clock::time_point start = Clock::now();
  const double cpu_start = CpuSeconds();
  const char* result = verification.Verify(run, &sink);
  const Timing timing{Seconds(Clock::now() - start), CpuSeconds() - cpu_start};
  if (strcmp(result, kResultOk) != 0) fprintf(stderr, "engine alone: %s\n", result);
  return timing;
}

Timing FromDialog(CVormicDlg* dialog, bool expect_success = true) {
  const Clock::time_point start = Clock::now();
  const double cpu_start = CpuSeconds();
  dialog->m_verifyButton->click();
  const Timing timing{Seconds(Clock::now() - start), CpuSeconds() - cpu_start};
  if (expect_success && dialog->m_status != "Successful verification")
    fprintf(stderr, "dialog: %s\n", dialog->m_status.c_str());
  return timing;
}

// Lets the window handle its events for `ms` milliseconds.
void Settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

double Percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  if (values.empty()) return 0;
  size_t at = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[at];
}

int Bench(const Options& options) {
  CVormicDlg dialog;
  dialog.m_listsFolder = kListsFolder;
  dialog.m_chooseArchive = [&](QWidget*, const QString&) {
    return QString::fromStdString(options.archive);
  };
  dialog.m_chooseFolder = [&](QWidget*, const QString&) {
    return QString::fromStdString(options.folder);
  };
  dialog.m_pumpIntervalMs = options.pump_ms;
  dialog.show();
  dialog.findChild<QCheckBox*>(QStringLiteral("IDC_EXTERNAL"))->setChecked(!options.folder.empty());
  dialog.findChild<QCheckBox*>(QStringLiteral("IDC_ETAG"))->setChecked(false);
  QCoreApplication::processEvents();

  printf("archive: %s\n", options.archive.c_str());
  printf("run: %s, input handled every %d ms\n", options.folder.empty() ? "internal" : "external",
         options.pump_ms);
  EngineAlone(options, &dialog);  // brings the archive into the page cache
  std::vector<double> engine_wall, engine_cpu, dialog_wall, dialog_cpu, cli_wall, cli_cpu;
  long rss_growth_kib = 0;
  for (int i = 0; i < options.repeat; ++i) {
    const Timing e = EngineAlone(options, &dialog);
    if (!options.cli.empty()) {
      const Timing c = CliRun(options);
      cli_wall.push_back(c.wall);
      cli_cpu.push_back(c.cpu);
    }
    const long rss_before = ResidentKib();
    const Timing d = FromDialog(&dialog);
    rss_growth_kib = std::max(rss_growth_kib, ResidentKib() - rss_before);
    engine_wall.push_back(e.wall);
    engine_cpu.push_back(e.cpu);
    dialog_wall.push_back(d.wall);
    dialog_cpu.push_back(d.cpu);
  }
  auto best = [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); };
  printf("engine alone: wall median %.3f s (best %.3f), cpu median %.3f s (best %.3f), %d runs\n",
         Median(engine_wall), best(engine_wall), Median(engine_cpu), best(engine_cpu),
         options.repeat);
  printf("from dialog:  wall median %.3f s (best %.3f), cpu median %.3f s (best %.3f)\n",
         Median(dialog_wall), best(dialog_wall), Median(dialog_cpu), best(dialog_cpu));
  printf("overhead: wall median %+.1f%%, best %+.1f%%; cpu median %+.1f%%, best %+.1f%%\n",
         100.0 * (Median(dialog_wall) / Median(engine_wall) - 1),
         100.0 * (best(dialog_wall) / best(engine_wall) - 1),
         100.0 * (Median(dialog_cpu) / Median(engine_cpu) - 1),
         100.0 * (best(dialog_cpu) / best(engine_cpu) - 1));
  if (!cli_wall.empty()) {
    printf("vormic-cli:   wall median %.3f s (best %.3f), cpu median %.3f s (best %.3f)\n",
           Median(cli_wall), best(cli_wall), Median(cli_cpu), best(cli_cpu));
    printf("dialog / vormic-cli: wall median %.3fx, best %.3fx; cpu median %.3fx\n",
           Median(dialog_wall) / Median(cli_wall), best(dialog_wall) / best(cli_wall),
           Median(dialog_cpu) / Median(cli_cpu));
  }
  printf(
      "log: %zu lines, %zu bytes, %d lines in the pane; resident memory grew by at most %ld "
      "KiB in a dialog run\n",
      static_cast<size_t>(std::count(dialog.m_log.begin(), dialog.m_log.end(), '\n')),
      dialog.m_log.size(), static_cast<LogView*>(dialog.GetDlgItem(IDC_LOG))->lineCount(),
      rss_growth_kib);
  if (options.quick) return 0;

  // One status report as the engine makes them: a new text each time.
  {
    constexpr int kCalls = 200000;
    char text[300];
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < kCalls; ++i) {
      snprintf(text, sizeof text, "some/folder/entry-%d.bin (%d remaining)", i % 977, kCalls - i);
      dialog.Report(kStatusLine, text);
    }
    const double per_call_us =
        std::chrono::duration<double, std::micro>(Clock::now() - start).count() / kCalls;
    printf("Report(status line): %.2f us per call over %d calls\n", per_call_us, kCalls);
  }

  // Input arriving at random moments during a dialog run.
  {
    LatencyProbe probe(&dialog);
    {
      InputSource input(&probe, 1000000, 3, 17, false);
      FromDialog(&dialog);
    }
    QCoreApplication::processEvents();
    const std::vector<double>& w = probe.waits_ms;
    printf(
        "pending input during a run: %zu events, wait median %.2f ms, p95 %.2f ms, max %.2f ms\n",
        w.size(), Median(w), Percentile(w, 0.95),
        w.empty() ? 0 : *std::max_element(w.begin(), w.end()));
  }

  // A Stop click posted a while into a run: until the click is handled, and until the run is over.
  {
    LatencyProbe probe(&dialog);
    Clock::time_point returned;
    double wait_ms = 0;
    {
      InputSource input(&probe, 1, 300, 300, true);
      FromDialog(&dialog, false);
      returned = Clock::now();
    }
    if (!probe.waits_ms.empty()) {
      wait_ms = probe.waits_ms.back();
      printf("stop click: handled %.2f ms after it was posted, run returned %.2f ms after that\n",
             wait_ms, Millis(returned - probe.stop_handled));
      printf("stop result: status \"%s\"\n", dialog.m_status.c_str());
    } else {
      printf("stop click: the run ended before the click was posted\n");
    }
  }
  return 0;
}

// A dark palette for Fusion (-style Fusion), as dark desktop themes give one: light text on dark
// grey, a blue selection.
QPalette DarkPalette() {
  const QColor window(53, 53, 53), base(35, 35, 35), text(230, 230, 230), muted(128, 128, 128);
  const QColor highlight(42, 130, 218);
  QPalette dark;
  dark.setColor(QPalette::Window, window);
  dark.setColor(QPalette::WindowText, text);
  dark.setColor(QPalette::Base, base);
  dark.setColor(QPalette::AlternateBase, window);
  dark.setColor(QPalette::ToolTipBase, base);
  dark.setColor(QPalette::ToolTipText, text);
  dark.setColor(QPalette::PlaceholderText, muted);
  dark.setColor(QPalette::Text, text);
  dark.setColor(QPalette::Button, window);
  dark.setColor(QPalette::ButtonText, text);
  dark.setColor(QPalette::BrightText, Qt::red);
  dark.setColor(QPalette::Link, highlight);
  dark.setColor(QPalette::Highlight, highlight);
  dark.setColor(QPalette::HighlightedText, Qt::black);
  dark.setColor(QPalette::Light, window.lighter(150));
  dark.setColor(QPalette::Midlight, window.lighter(125));
  dark.setColor(QPalette::Mid, window.darker(125));
  dark.setColor(QPalette::Dark, window.darker(150));
  dark.setColor(QPalette::Shadow, Qt::black);
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    dark.setColor(QPalette::Disabled, role, muted);
  dark.setColor(QPalette::Disabled, QPalette::Base, window);
  return dark;
}

// Whole-screen pictures on the display at hand (Xvfb with a window manager): the window at
// start, a run of GOOD with its progress bar, GOOD's success and BAD's failure, then Help's menu,
// the About box and the pane's context menu over the failure. GOOD should take a few tenths of
// a second or more to verify, so the second picture falls inside its run.
int Screenshots(const char* prefix, const char* good, const char* bad) {
  CVormicDlg dialog;
  dialog.m_listsFolder = kListsFolder;
  QString archive;
  dialog.m_chooseArchive = [&](QWidget*, const QString&) { return archive; };
  int rc = 0;
  auto shoot = [&](const char* name) {
    const QString file = QString::fromLocal8Bit(prefix) + QLatin1Char('-') +
                         QString::fromLatin1(name) + QStringLiteral(".png");
    if (!QGuiApplication::primaryScreen()->grabWindow(0).save(file)) rc = 1;
    printf("%s: window %dx%d, progress bar %s\n", qPrintable(file), dialog.width(), dialog.height(),
           dialog.GetDlgItem(IDC_PROGRESS)->isVisible() ? "shown" : "hidden");
  };
  // Shoots the popup menu or modal window that `open` shows, then closes it.
  auto shoot_popup = [&](const char* name, const std::function<void()>& open) {
    QTimer::singleShot(500, &dialog, [&, name] {
      QWidget* shown = QApplication::activePopupWidget();
      if (shown == nullptr) shown = QApplication::activeModalWidget();
      shoot(name);
      if (shown != nullptr) shown->close();
    });
    open();
  };
  QTimer::singleShot(1000, &dialog, [&] {
    shoot("start");
    dialog.findChild<QCheckBox*>(QStringLiteral("IDC_EXTERNAL"))->setChecked(false);
    archive = QString::fromLocal8Bit(good);
    // Fires inside the run, from a report's input handling, early enough for a fast machine
    // (GOOD takes a few tenths of a second there); the run waits while the report shoots.
    QTimer::singleShot(100, &dialog, [&] {
      Settle(200);
      shoot("running");
    });
    dialog.m_verifyButton->click();
    Settle(500);
    shoot("success");
    archive = QString::fromLocal8Bit(bad);
    dialog.m_verifyButton->click();
    Settle(500);
    shoot("failure");
    auto* help = static_cast<HelpButton*>(dialog.GetDlgItem(IDC_HELP_BUTTON));
    shoot_popup("help-menu", [help] { help->showDropDown(); });
    shoot_popup("about", [&] { dialog.OnAbout(); });
    shoot_popup("pane-menu", [&] {
      QWidget* pane = static_cast<LogView*>(dialog.GetDlgItem(IDC_LOG))->viewport();
      const QPoint at(pane->width() / 3, pane->height() / 3);
      QContextMenuEvent event(QContextMenuEvent::Mouse, at, pane->mapToGlobal(at));
      QCoreApplication::sendEvent(pane, &event);
    });
    dialog.accept();
  });
  dialog.show();
  dialog.exec();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  const bool screenshot = argc >= 5 && strcmp(argv[1], "--screenshots") == 0;
  if (!screenshot && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);  // takes Qt's own options (-style Fusion) out of argv
  if (screenshot && (argc == 5 || (argc == 6 && strcmp(argv[5], "--dark") == 0))) {
    if (argc == 6) QApplication::setPalette(DarkPalette());
    return Screenshots(argv[2], argv[3], argv[4]);
  }

  Options options;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--folder") == 0 && i + 1 < argc) {
      options.folder = argv[++i];
    } else if (strcmp(argv[i], "--cli") == 0 && i + 1 < argc) {
      options.cli = argv[++i];
    } else if (strcmp(argv[i], "--quick") == 0) {
      options.quick = true;
    } else if (strcmp(argv[i], "--pump-ms") == 0 && i + 1 < argc) {
      options.pump_ms = std::max(0, atoi(argv[++i]));
    } else if (strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      options.repeat = std::max(1, atoi(argv[++i]));
    } else if (options.archive.empty() && argv[i][0] != '-') {
      options.archive = argv[i];
    } else {
      fprintf(stderr,
              "usage: dialog_bench ARCHIVE [--folder FOLDER] [--cli VORMIC_CLI] [--repeat N]\n"
              "                    [--pump-ms N] [--quick]\n"
              "       dialog_bench --screenshots PREFIX GOOD.zip BAD.zip [--dark]\n");
      return 2;
    }
  }
  if (options.archive.empty()) {
    fprintf(stderr, "usage: dialog_bench ARCHIVE [--folder FOLDER] [--repeat N] [--pump-ms N]\n");
    return 2;
  }
  return Bench(options);
}
