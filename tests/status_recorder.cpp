#include "status_recorder.h"

#include <cstdio>
#include <cstdlib>

StatusRecorder g_recorder;

StatusSink* TestSink() { return &g_recorder; }

bool StatusRecorder::Record(int kind, const char* text) {
  ++calls;
  records.push_back({kind, text ? text : "", text == nullptr});
  return stop_at != 0 && calls >= stop_at;
}

void StatusRecorder::Console(const char* text) {
  console += text;
  fputs(text, stdout);
  fflush(stdout);
}

void StatusRecorder::Reset() {
  records.clear();
  progress.clear();
  console.clear();
  calls = 0;
  stop_at = 0;
  ClearRunStop();
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
