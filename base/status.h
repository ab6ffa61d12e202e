// The Status channel: how the engine and the ETag calculator tell the user what they are doing
// and learn whether the user asked them to stop. Each program (the dialog, the command line,
// every test program) defines ReportStatus once; the engine only declares and calls it.
// Everything here runs on one thread. ReportProgress is defined beside it by the same programs.
#pragma once

#include <cstdint>

inline constexpr int kStatusLine = 0;  // replaces the one-line status (current activity)
inline constexpr int kLogLine = 1;     // appends one line to the message pane / log

// The stop request: cleared by a front end when a command starts, raised by its Stop (a button,
// SIGINT), handed back by every ReportStatus call. The engine and the ETag calculator never read
// it directly. Defined in status.cpp.
extern bool g_stopRequested;

// Shows `text` as the status line (kind 0) or appends it as a log line (kind 1); a null `text`
// shows nothing. Returns the stop request as it stands after the call, so a Stop handled during
// the call is already seen by the caller. Never blocks.
bool ReportStatus(int kind, const char* text);

// Tells how far the current piece of work has come: `done` of `total` units (archive bytes for a
// verification, parts for an ETag), `done` never above `total`. Shows it only; asks for no stop
// request, so the stop points stay those of ReportStatus. Never blocks; cheap enough to be called
// at every report.
void ReportProgress(uint64_t done, uint64_t total);
