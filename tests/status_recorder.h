// The test programs' Status channel: ReportStatus records every (kind, text) in order and can
// raise the stop request at a chosen report, so tests assert the exact lines a run produced.
// ReportProgress keeps every (done, total) pair.
#pragma once

#include "open_fds.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct StatusRecord {
  int kind;
  std::string text;
  bool null_text;
};

struct StatusRecorder {
  std::vector<StatusRecord> records;
  int calls = 0;
  int stop_at = 0;  // raise g_stopRequested at this report (1 = the first); 0 = never
  std::vector<std::pair<uint64_t, uint64_t>> progress;  // (done, total) of every ReportProgress

  // Forgets every record, clears the stop request and the planned stop.
  void Reset();
  std::vector<std::string> Logs() const;      // kind 1 texts, in order
  std::vector<std::string> Statuses() const;  // kind 0 texts, in order
  std::string LastStatus() const;
  std::vector<std::string> All() const;  // every record as "<kind>:<text>" ("<kind>:(null)")
};

// Jobs for the second run of the differential checks: VORMIC_TEST_JOBS, or 1 (no second run)
// when it is not set. ctest registers the walk's tables a second time with 4.
int TestJobs();

extern StatusRecorder g_recorder;

