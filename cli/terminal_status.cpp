// The command line's status sink. Owns the copy of the last status line (8 KiB: the longest
// status text is a folder path of PATH_MAX bytes) and the 16 KiB area the live line is drawn
// from; the live line is redrawn at most every 50 ms, so progress costs the run nothing.
#include "terminal_status.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>
#include <sys/ioctl.h>
#include <unistd.h>

#include "etag.h"
#include "shown_text.h"
#include "status.h"

volatile sig_atomic_t g_interrupts = 0;

namespace {

constexpr long kRedrawIntervalNs = 50L * 1000 * 1000;  // at most 20 redraws a second
constexpr size_t kStatusRoom = 8192;
constexpr size_t kDrawRoom = 16384;  // a full line of the widest terminal fits many times
constexpr int kFallbackColumns = 80;  // when the terminal will not say

StatusOptions g_options;
char g_lastStatus[kStatusRoom];  // the last kind-0 text
char g_drawArea[kDrawRoom];      // "\r", the cut line, "\x1b[K"
bool g_lineShown = false;        // a live status line stands on the terminal now
timespec g_lastDraw{};           // zero: the first status line is drawn at once
bool g_outputFailed = false;
int g_outputError = 0;
uint64_t g_progressDone = 0;  // the last ReportProgress; a total of 0: no progress known yet
uint64_t g_progressTotal = 0;

void OnInterrupt(int) {
  if (g_interrupts > 0) {
    // The second Ctrl-C: the user will not wait for the next report. SIGINT is blocked while
    // this handler runs, so the raised one arrives, with the default action, as it returns.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(SIGINT, &default_action, nullptr);
    raise(SIGINT);
    return;
  }
  g_interrupts = 1;
}

bool RedrawDue() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  long elapsed = (now.tv_sec - g_lastDraw.tv_sec) * 1000000000L + (now.tv_nsec - g_lastDraw.tv_nsec);
  return elapsed >= kRedrawIntervalNs;
}

int TerminalColumns() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return kFallbackColumns;
}

// Draws the last status line over the one shown, cut to the terminal's width less one cell, so
// that the cursor never wraps to a new row and "\r" always returns to the line's start.
// The line starts with the progress of the work as a whole percentage, once there is one.
void DrawStatusLine() {
  constexpr size_t kClearLen = 3;  // "\x1b[K" clears what a longer line left
  g_drawArea[0] = '\r';
  size_t n = 1;
  int columns = TerminalColumns() - 1;
  if (g_progressTotal > 0) {
    const auto percent = static_cast<unsigned>(static_cast<double>(g_progressDone) * 100.0 /
                                               static_cast<double>(g_progressTotal));
    const int len = snprintf(g_drawArea + n, sizeof g_drawArea - n, "%u%% ", percent);
    if (len > 0 && len < columns) {  // a terminal narrower than that shows the name alone
      n += static_cast<size_t>(len);
      columns -= len;
    }
  }
  n += CutShown(g_lastStatus, columns, g_drawArea + n, sizeof g_drawArea - n - kClearLen);
  memcpy(g_drawArea + n, "\x1b[K", kClearLen);
  fwrite(g_drawArea, 1, n + kClearLen, stderr);
  g_lineShown = true;
  clock_gettime(CLOCK_MONOTONIC, &g_lastDraw);
}

// The one log text whose own trailing line feed is part of its format: the ETag line, in either
// form. Its ETag is hex digits, "-" and a count, so nothing of an archive can make a text look
// like it.
bool EndsInOwnLineFeed(const char* text, size_t len) {
  for (const char* format : {kEtagLineFmt, kSizedEtagLineFmt}) {
    size_t prefix = static_cast<size_t>(strchr(format, '%') - format);
    if (len > prefix && strncmp(text, format, prefix) == 0 && text[len - 1] == '\n') return true;
  }
  return false;
}

void WriteLogLine(const char* text) {
  ClearStatusLine();  // the log line takes the terminal's row; the status line comes back below
  WriteLogText(stdout, text);
  // Log lines are few (opening, failure and closing lines), so each is passed on at once; that
  // also sends on the ETag calculator's own lines, which wait in the buffer for this one.
  if (fflush(stdout) != 0 || ferror(stdout)) NoteOutputFailure();
  if (g_options.live && g_lastStatus[0] != '\0' && RedrawDue()) DrawStatusLine();
}

}  // namespace

void WriteLogText(FILE* out, const char* text) {
  size_t len = strlen(text);
  // A line feed of the ETag line's own stays one and leaves an empty line, as in the dialog's
  // pane; a line feed anywhere else can only come from a name and is shown escaped.
  bool own_line_feed = EndsInOwnLineFeed(text, len);
  WriteShown(out, text, own_line_feed ? len - 1 : len);
  fputs(own_line_feed ? "\n\n" : "\n", out);
}

size_t LogTextLength(const char* text) {
  size_t len = strlen(text);
  return EndsInOwnLineFeed(text, len) ? len - 1 : len;
}

void ShowStatus(const char* text) {
  size_t len = strnlen(text, kStatusRoom - 1);
  memcpy(g_lastStatus, text, len);
  g_lastStatus[len] = '\0';
  if (g_options.live && RedrawDue()) DrawStatusLine();
}

void ConfigureStatus(const StatusOptions& options) { g_options = options; }

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;  // a write to a slow pipe carries on instead of failing
  sigaction(SIGINT, &action, nullptr);
}

const char* LastStatusLine() { return g_lastStatus; }

void ClearStatusLine() {
  if (!g_lineShown) return;
  fputs("\r\x1b[K", stderr);
  g_lineShown = false;
}

bool OutputFailed(int* error) {
  *error = g_outputError;
  return g_outputFailed;
}

void NoteOutputFailure() {
  if (g_outputFailed) return;
  g_outputFailed = true;
  g_outputError = errno != 0 ? errno : EIO;
}

void TerminalSink::Progress(uint64_t done, uint64_t total) {
  g_progressDone = done;
  g_progressTotal = total;
}

bool TerminalSink::StatusLine(const char* text) {
  ShowStatus(text);
  return StopWanted();
}

bool TerminalSink::LogLine(const char* text) {
  WriteLogLine(text);
  return StopWanted();
}

bool TerminalSink::StopPoint() { return StopWanted(); }

void TerminalSink::Console(const char* text) {
  ClearStatusLine();
  fputs(text, stdout);
  if (fflush(stdout) != 0 || ferror(stdout)) NoteOutputFailure();
}

// Read last, so that a Ctrl-C that came while a report waited on a slow terminal is seen by its
// caller, as a Stop handled inside the dialog's report is.
bool TerminalSink::StopWanted() { return g_interrupts > 0 || g_outputFailed; }
