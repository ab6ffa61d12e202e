// The command line's ReportStatus. Owns the copy of the last status line (8 KiB: the longest
// status text is a path of PATH_MAX bytes) and the state of the live line on standard error.
#include "terminal_status.h"

#include <cstring>
#include <ctime>
#include <sys/ioctl.h>
#include <unistd.h>

#include "engine_state.h"
#include "status.h"

volatile sig_atomic_t g_interrupts = 0;

namespace {

constexpr long kRedrawIntervalNs = 50 * 1000 * 1000;  // at most 20 redraws a second
constexpr size_t kStatusRoom = 8192;

StatusOptions g_options;
char g_lastStatus[kStatusRoom];  // the last kind-0 text, cut only if it exceeds 8 KiB
bool g_lineShown = false;        // a live status line is on the terminal now
bool g_lineStale = false;        // g_lastStatus changed since it was drawn
timespec g_lastDraw{};

void OnInterrupt(int) {
  if (g_interrupts > 0) {
    // A second Ctrl-C: the user does not want to wait for the next report.
    signal(SIGINT, SIG_DFL);
    raise(SIGINT);
    return;
  }
  g_interrupts = 1;
}

long NanosSince(const timespec& then) {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (now.tv_sec - then.tv_sec) * 1000000000L + (now.tv_nsec - then.tv_nsec);
}

int TerminalColumns() {
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// Draws the last status line over the previous one, cut to the terminal's width. A column is
// counted per character (a UTF-8 sequence is never split) and four per escaped byte.
void DrawStatusLine() {
  int room = TerminalColumns() - 1;  // the cursor's own cell keeps the line from wrapping
  char line[kStatusRoom * 4 + 16];
  size_t n = 0;
  line[n++] = '\r';
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(g_lastStatus); *p;) {
    if (*p < 0x20 || *p == 0x7F) {
      if (room < 4) break;
      n += static_cast<size_t>(snprintf(line + n, sizeof line - n, "\\x%02x", *p));
      room -= 4;
      ++p;
      continue;
    }
    size_t len = 1;
    while ((p[len] & 0xC0) == 0x80) ++len;  // the continuation bytes of this character
    if (room < 1) break;
    memcpy(line + n, p, len);
    n += len;
    p += len;
    --room;
  }
  memcpy(line + n, "\x1b[K", 3);  // clear what a longer previous line left
  n += 3;
  fwrite(line, 1, n, stderr);
  fflush(stderr);
  g_lineShown = true;
  g_lineStale = false;
  clock_gettime(CLOCK_MONOTONIC, &g_lastDraw);
}

}  // namespace

void ConfigureStatus(const StatusOptions& options) { g_options = options; }

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

const char* LastStatusLine() { return g_lastStatus; }

void WriteEscaped(FILE* out, const char* text) {
  const char* run = text;
  for (const char* p = text;; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c != 0 && c >= 0x20 && c != 0x7F) continue;
    fwrite(run, 1, static_cast<size_t>(p - run), out);
    if (c == 0) return;
    fprintf(out, "\\x%02x", c);
    run = p + 1;
  }
}

void ClearStatusLine() {
  if (!g_lineShown) return;
  fputs("\r\x1b[K", stderr);
  fflush(stderr);
  g_lineShown = false;
}

bool ReportStatus(int kind, const char* text) {
  if (g_interrupts > 0) g_stopRequested = true;
  if (text == nullptr) return g_stopRequested;
  if (kind == kStatusLine) {
    snprintf(g_lastStatus, sizeof g_lastStatus, "%s", text);
    g_lineStale = true;
    if (g_options.live && NanosSince(g_lastDraw) >= kRedrawIntervalNs) DrawStatusLine();
  } else if (kind == kLogLine) {
    // A log line stands on its own line: the live line makes room and comes back later.
    ClearStatusLine();
    // A text that ends in a line feed of its own keeps it, leaving an empty line, as the
    // dialog's pane does; every other control character is escaped.
    size_t len = strlen(text);
    bool own_newline = len > 0 && text[len - 1] == '\n';
    if (own_newline) {
      char copy[kStatusRoom];
      snprintf(copy, sizeof copy, "%.*s", static_cast<int>(len - 1), text);
      WriteEscaped(stdout, copy);
      fputc('\n', stdout);
    } else {
      WriteEscaped(stdout, text);
    }
    fputc('\n', stdout);
    if (g_options.live) {
      fflush(stdout);
      if (g_lastStatus[0] != '\0') DrawStatusLine();
    }
  }
  return g_stopRequested;
}
