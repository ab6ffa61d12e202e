// The command line's Status channel: log lines to standard output as they come, the live status
// line on a terminal's standard error, and the last status line kept for the closing line.
// Every byte that could drive a terminal (control characters) is shown escaped. One thread; the
// only state shared with a signal handler is the interrupt count.
#pragma once

#include <csignal>
#include <cstdio>

// How the status channel shows its reports; set once before the first report.
struct StatusOptions {
  bool live = false;  // show the status line in place on standard error
};
void ConfigureStatus(const StatusOptions& options);

// SIGINT count, raised by the handler installed by InstallInterruptHandler(). The first SIGINT
// asks the run to stop at its next report; the second ends the program.
extern volatile sig_atomic_t g_interrupts;
void InstallInterruptHandler();

// The last status line reported (kind 0), as reported; empty before the first.
const char* LastStatusLine();

// Writes `text` to `out` with every control character (below 0x20, and 0x7F) written as \xNN,
// so an archive's names cannot move the cursor or retitle the terminal.
void WriteEscaped(FILE* out, const char* text);

// Removes the live status line from the terminal, if one is shown.
void ClearStatusLine();
