#include "status_recorder.h"


#include <cstdlib>

#include "status.h"

StatusRecorder g_recorder;

bool ReportStatus(int kind, const char* text) {
  ++g_recorder.calls;
  if (g_recorder.stop_at != 0 && g_recorder.calls == g_recorder.stop_at) g_stopRequested = true;
  g_recorder.records.push_back({kind, text ? text : "", text == nullptr});
  return g_stopRequested;
}

void ReportProgress(uint64_t done, uint64_t total) { g_recorder.progress.push_back({done, total}); }

void StatusRecorder::Reset() {
  records.clear();
  progress.clear();
  calls = 0;
  stop_at = 0;
  g_stopRequested = false;
}

std::vector<std::string> StatusRecorder::Logs() const {
  std::vector<std::string> out;
  for (const auto& r : records)
    if (r.kind == 1 && !r.null_text) out.push_back(r.text);
  return out;
}

std::vector<std::string> StatusRecorder::Statuses() const {
  std::vector<std::string> out;
  for (const auto& r : records)
    if (r.kind == 0 && !r.null_text) out.push_back(r.text);
  return out;
}

std::string StatusRecorder::LastStatus() const {
  auto s = Statuses();
  return s.empty() ? std::string() : s.back();
}


std::vector<std::string> StatusRecorder::All() const {
  std::vector<std::string> out;
  for (const auto& r : records)
    out.push_back(std::to_string(r.kind) + ":" + (r.null_text ? "(null)" : r.text));
  return out;
}

int TestJobs() {
  const char* jobs = getenv("VORMIC_TEST_JOBS");
  return jobs != nullptr && atoi(jobs) > 1 ? atoi(jobs) : 1;
}
