// The command line's Status channel: log lines to standard output as they come, the live status
// line in place on a terminal's standard error, the last status line kept for the closing line,
// and SIGINT turned into the stop request. Every shown text goes through shown_text.h. One
// thread; the only state a signal handler touches is the interrupt count.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "status.h"

// The sink every run of the command line reports to. Each call answers true once Ctrl-C was
// pressed or standard output failed.
class TerminalSink final : public StatusSink {
 public:
  bool StatusLine(const char* text) override;
  bool LogLine(const char* text) override;
  bool StopPoint() override;
  void Progress(uint64_t done, uint64_t total) override;
  // The ETag's console block, after the live status line is taken off the terminal.
  void Console(const char* text) override;

 private:
  static bool StopWanted();
};

// How reports are shown; set once, before the first report.
struct StatusOptions {
  bool live = false;  // draw the status line on standard error (a terminal, not --quiet)
};
void ConfigureStatus(const StatusOptions& options);

// SIGINTs received, raised by the handler that InstallInterruptHandler() sets. The first asks
// the run to stop: the next report returns the stop request, as the dialog's Stop does. The
// second ends the program at once, by SIGINT with the default action.
extern volatile sig_atomic_t g_interrupts;
void InstallInterruptHandler();

// The last status line (kind 0) as reported, cut only past 8 KiB; empty before the first.
const char* LastStatusLine();

// Shows `text` as the status line, as TerminalSink::StatusLine does (drawn on a live terminal at
// most every 50 ms), without a progress of its own: for a caller that composes the line itself.
// One thread.
void ShowStatus(const char* text);

// Writes the log line `text` to `out` as standard output shows it: in its shown form
// (shown_text.h), then a line feed; the ETag line's own final line feed stays one and leaves an
// empty line. LogTextLength() is the length of `text` without that own line feed.
void WriteLogText(FILE* out, const char* text);
size_t LogTextLength(const char* text);

// Takes the live status line off the terminal, if one is shown.
void ClearStatusLine();

// True once a write to standard output has failed; *error then holds that failure's errno.
// From then on every report returns the stop request: nobody can read the rest.
bool OutputFailed(int* error);

// Records a failed write to standard output (with errno as it stands) unless one is recorded.
void NoteOutputFailure();
