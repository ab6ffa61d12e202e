// libFuzzer target: a verification with one job and with four must be one and the same run to
// whoever watches it. For the input as an archive served from memory it runs, each with 1 and
// then 4 jobs, an internal run, an external run against the fixed comparison folder, and an
// internal and an external run stopped at a report chosen from the input; then, with the input
// as a file, the command with the ETag first (one read): whole, stopped at a report inside the
// ETag part, and with an expected ETag that does not match. Every report (status lines, silent
// stop checks, log lines, in order), both name lists, the ETag file and the result must be
// equal, and no stream or descriptor may outlive a run.
// A bit of the input makes the walk go on past damaged entries, so the runs that list every
// damaged entry are compared too.
#include <cstdint>
#include <cstdio>
#include <fstream>
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

// Every report, the result and the lists alike.
bool SameRun(const Run& a, const Run& b) {
  if (a.result != b.result || a.lists != b.lists || a.reports.size() != b.reports.size())
    return false;
  for (size_t i = 0; i < a.reports.size(); ++i)
    if (a.reports[i].kind != b.reports[i].kind || a.reports[i].text != b.reports[i].text)
      return false;
  return true;
}

void RequireSame(bool external, int stop_at, int fds) {
  const Run one = VerifyWith(1, external, stop_at, fds);
  const Run four = VerifyWith(4, external, stop_at, fds);
  const bool same = SameRun(one, four);
  if (!same) {
    fprintf(stderr, "%s run, stop at %d\n", external ? "external" : "internal", stop_at);
    Describe("1 job", one);
    Describe("4 jobs", four);
  }
  fuzz::Require(same, "4 jobs reported otherwise than 1");
}

// The command with the ETag first, on `archive` (a file): the reports, the lists and the ETag
// file it leaves.
Run EtagCommandWith(int jobs, const std::string& archive, bool external, const char* expected,
                    int stop_at, int fds) {
  g_testJobs = jobs;
  remove((archive + ".md5").c_str());
  fuzz::ResetStatus(stop_at);
  fuzz::g_status.keep_all = true;
  EtagOptions etag;
  etag.expected = expected;
  const CommandOutcome outcome =
      RunEtagCommand(external ? fuzz::CompareFolder().c_str() : "", archive.c_str(), external, etag);
  fuzz::RequireClosed(fds);
  std::string md5;
  if (FILE* f = fopen((archive + ".md5").c_str(), "rb")) {
    char buffer[512];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) md5.append(buffer, n);
    fclose(f);
  }
  Run run{fuzz::g_status.reports,
          std::string(outcome.from_etag ? "etag: " : "") + outcome.text,
          ReadList("x1.txt") + "\n--\n" + ReadList("x2.txt") + "\n--\n" + md5};
  fuzz::g_status.keep_all = false;
  return run;
}

void RequireSameEtagCommand(const std::string& archive, bool external, const char* expected,
                            int stop_at, int fds) {
  const Run one = EtagCommandWith(1, archive, external, expected, stop_at, fds);
  const Run four = EtagCommandWith(4, archive, external, expected, stop_at, fds);
  const bool same = SameRun(one, four);
  if (!same) {
    fprintf(stderr, "ETag and %s run, stop at %d\n", external ? "external" : "internal", stop_at);
    Describe("1 job", one);
    Describe("4 jobs", four);
  }
  fuzz::Require(same, "4 jobs reported otherwise than 1 after the ETag");
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
  // Entries started early: none, the ones at least as long as the mean, or any of them.
  const int early = size > 0 ? (data[size - 1] >> 2) % 3 : 0;
  TestVerification().SetEarlyLengths(early == 0 ? UINT64_MAX : 0, early == 1 ? 1 : 0);
  g_testKeepGoing = size > 0 && (data[size - 1] & 2) != 0;
  for (bool external : {false, true}) {
    RequireSame(external, 0, fds);
    const int reports = fuzz::g_status.calls;
    if (reports > 1) RequireSame(external, fuzz::StopPointFor(data, size, reports), fds);
  }
  // The ETag reads a file beside the verification: the input is written to one, and the open
  // hook (which serves the memory path and is not made for two threads) is set aside meanwhile.
  const std::string archive = fuzz::ScratchFolder() + "/input.zip";
  {
    std::ofstream out(archive, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }
  fuzz::UseOpenHook(false);
  const bool external = size > 1 && (data[size - 2] & 1) != 0;
  RequireSameEtagCommand(archive, external, nullptr, 0, fds);
  // A stop inside the ETag part: at one of its progress lines, which come first.
  int etag_lines = 0;
  for (const fuzz::Report& r : EtagCommandWith(1, archive, external, nullptr, 0, fds).reports) {
    if (r.text.rfind("Calculating ETag", 0) != 0) break;
    ++etag_lines;
  }
  if (etag_lines > 0)
    RequireSameEtagCommand(archive, external, nullptr,
                           fuzz::StopPointFor(data, size, etag_lines), fds);
  const int reports = fuzz::g_status.calls;
  if (reports > 1)
    RequireSameEtagCommand(archive, external, nullptr, fuzz::StopPointFor(data, size, reports), fds);
  RequireSameEtagCommand(archive, external, "0123456789abcdef0123456789abcdef-1", 0, fds);
  fuzz::UseOpenHook(true);
  remove((archive + ".md5").c_str());
  fuzz::ResetStatus(0);
  g_testJobs = 1;
  g_testKeepGoing = false;
  return 0;
}
