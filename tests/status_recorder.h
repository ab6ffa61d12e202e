// The test programs' status sink: records every (kind, text) in order and can ask for a stop at
// a chosen report, so tests assert the exact lines a run produced. Progress keeps every
// (done, total) pair.
#pragma once

#include "open_fds.h"
#include "status.h"
#include "test_run.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct StatusRecord {
  int kind;
  std::string text;
  bool null_text;
};

struct StatusRecorder final : StatusSink {
  std::vector<StatusRecord> records;
  int calls = 0;
  int stop_at = 0;  // ask for a stop at this report (1 = the first) and after; 0 = never
  std::vector<std::pair<uint64_t, uint64_t>> progress;  // (done, total) of every Progress
  std::string console;  // every Console text, in order

  bool StatusLine(const char* text) override { return Record(kStatusLine, text); }
  bool LogLine(const char* text) override { return Record(kLogLine, text); }
  bool StopPoint() override { return Record(kStatusLine, nullptr); }
  void Progress(uint64_t done, uint64_t total) override { progress.push_back({done, total}); }
  // Printed too, so tests that capture standard output see the ETag's console block there.
  void Console(const char* text) override;

  // Forgets every record, clears the stop request and the planned stop.
  void Reset();
  std::vector<std::string> Logs() const;      // kind 1 texts, in order
  std::vector<std::string> Statuses() const;  // kind 0 texts, in order
  std::string LastStatus() const;
  std::vector<std::string> All() const;  // every record as "<kind>:<text>" ("<kind>:(null)")

 private:
  bool Record(int kind, const char* text);
};

// Jobs for the second run of the differential checks: VORMIC_TEST_JOBS, or 1 (no second run)
// when it is not set. ctest registers the walk's tables a second time with 4.
int TestJobs();

extern StatusRecorder g_recorder;
