// Shared by the fuzz targets: a Status channel that keeps only what the targets assert on, the
// archive served from memory through the engine's open hook, a scratch folder with the name
// lists and a fixed comparison folder, and the checks every target makes after a run. One
// thread; everything here is process-wide and set up once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "open_fds.h"

namespace fuzz {

// The path under which the hook serves the current input; every other path goes to the file
// system as usual.
inline constexpr const char* kMemoryArchivePath = "/vormic-fuzz/memory.zip";
inline constexpr size_t kMaxInput = 1 << 20;  // larger inputs are passed over

struct Report {
  int kind;
  std::string text;
};

// What ReportStatus kept of the current run.
struct StatusLog {
  bool keep_all = false;        // keep every report (the differential target compares them)
  std::vector<Report> reports;  // every report when keep_all
  int calls = 0;
  int stop_at = 0;              // raise the stop request at this call (1 = the first); 0 never
  int status_after_stop = 0;    // kind-0 reports after the one that raised the stop
  bool saw_verified = false;    // a "Verified %d files" log line came
};
extern StatusLog g_status;

// Clears the log and the stop request; `stop_at` as in StatusLog.
void ResetStatus(int stop_at);

// Creates, once per process, the scratch folder (under $TMPDIR or /tmp) with the name-list
// folder and the comparison folder <scratch>/root/top filled with the seeds' files; points the
// name lists there and installs the open hook. Aborts when the folder cannot be made.
void SetUpOnce();
const std::string& ScratchFolder();
// True when VORMIC_FUZZ_VERBOSE is set: log lines are echoed to stderr, for looking at a seed.
bool Verbose();
const std::string& CompareFolder();

// Installs (true) or sets aside (false) the open hook SetUpOnce() installed: a run whose paths
// are all files, opened from two threads at once, has the hook set aside.
void UseOpenHook(bool use);
// Makes `data` the bytes served at kMemoryArchivePath until the next call.
void ServeFromMemory(const uint8_t* data, size_t size);
// Memory streams opened and not yet closed.
int OpenMemoryStreams();

// True when an end record signature starts 22 to 65,557 bytes before the end of `data`: the
// only place the walk accepts one, so no input without it may ever verify.
bool HasEndRecordSignature(const uint8_t* data, size_t size);
// A report number from 1 to `reports` taken from the input (a hash of its first 256 bytes and
// its size), so a replay of the same input stops at the same report.
int StopPointFor(const uint8_t* data, size_t size, int reports);

// Aborts with `what` on stderr unless `condition` holds: a finding for libFuzzer.
void Require(bool condition, const char* what);

// After a verification run: no archive or name list stream is left, no memory stream is left
// open, no descriptor is open that was not open before (`fds_before`).
void RequireClosed(int fds_before);
using ::CountOpenFds;

}  // namespace fuzz
