// libFuzzer target: a verification with one job and with four must be one and the same run to
// whoever watches it. For the input as an archive served from memory it runs, each with 1 and
// then 4 jobs, an internal run, an external run against the fixed comparison folder, and an
// internal and an external run stopped at a report chosen from the input; every report (status
// lines, silent stop checks, log lines, in order), both name lists and the result must be equal,
// and no stream or descriptor may outlive a run.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "test_run.h"
#include "fuzz_support.h"
#include "stream_io.h"

namespace {

struct Run {
  std::vector<fuzz::Report> reports;
  std::string result;
  std::string lists;
};

std::string ReadList(const char* name) {
  std::string text;
  std::string path = fuzz::ScratchFolder() + "/lists" + "/" + name;
  if (FILE* f = fopen(path.c_str(), "rb")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    fclose(f);
  }
  return text;
}

Run VerifyWith(int jobs, bool external, int stop_at, int fds) {
  g_testJobs = jobs;
  fuzz::ResetStatus(stop_at);
  fuzz::g_status.keep_all = true;
  const char* result =
      RunVerification(external ? fuzz::CompareFolder().c_str() : "", fuzz::kMemoryArchivePath,
                      external);
  fuzz::RequireClosed(fds);
  Run run{fuzz::g_status.reports, result, ReadList("x1.txt") + "\n--\n" + ReadList("x2.txt")};
  fuzz::g_status.keep_all = false;
  return run;
}

void Describe(const char* what, const Run& run) {
  fprintf(stderr, "%s: %s\n", what, run.result.c_str());
  for (const fuzz::Report& r : run.reports)
    fprintf(stderr, "  %s %s\n", r.kind == 1 ? "log:" : "status:", r.text.c_str());
}

void RequireSame(bool external, int stop_at, int fds) {
  const Run one = VerifyWith(1, external, stop_at, fds);
  const Run four = VerifyWith(4, external, stop_at, fds);
  bool same = one.result == four.result && one.lists == four.lists &&
              one.reports.size() == four.reports.size();
  for (size_t i = 0; same && i < one.reports.size(); ++i)
    same = one.reports[i].kind == four.reports[i].kind &&
           one.reports[i].text == four.reports[i].text;
  if (!same) {
    fprintf(stderr, "%s run, stop at %d\n", external ? "external" : "internal", stop_at);
    Describe("1 job", one);
    Describe("4 jobs", four);
  }
  fuzz::Require(same, "4 jobs reported otherwise than 1");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > fuzz::kMaxInput) return 0;
  fuzz::SetUpOnce();
  fuzz::ServeFromMemory(data, size);
  ClearReadFault();
  const int fds = fuzz::CountOpenFds();
  // Every entry to a worker, or only the longer ones (the walk checks the rest itself), as the
  // input's last byte says: fuzzed archives' entries are short, so the usual lengths would
  // leave the workers nothing.
  const bool mixed = size > 0 && (data[size - 1] & 1) != 0;
  TestVerification().SetHandOverLengths(mixed ? 64 : 0, mixed ? 256 : 0);
  for (bool external : {false, true}) {
    RequireSame(external, 0, fds);
    const int reports = fuzz::g_status.calls;
    if (reports > 1) RequireSame(external, fuzz::StopPointFor(data, size, reports), fds);
  }
  fuzz::ResetStatus(0);
  g_testJobs = 1;
  return 0;
}
