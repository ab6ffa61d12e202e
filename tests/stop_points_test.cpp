// Every stop point of a run: the reports of a full run are counted, then the run is repeated
// with the stop request raised at report 1, 2, ... N. A stop raised at a report is seen at the
// first status line from that report on (log lines never look at it); what follows that
// status line depends on who reported it:
//   ETag progress     the status line "Stopped by user"; the computation returns false, no
//                     verification runs and the ETag file is left as it was
//   entry status      "Stopped"
//   inflate progress  "Stopped", then "Stopped by user"
//   folder walk       nothing more
// and no other status line after it: the reports equal the full run's up to that line plus
// that tail, and a stopped verification's result is "Stopped by user".
// Every run must leave no stream and no descriptor open. Three runs: internal, external, and
// ETag followed by an internal verification, as the front ends do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "test_run.h"
#include "etag.h"
#include "status.h"
#include "status_recorder.h"
#include "test_util.h"
#include "zip_builder.h"

namespace fs = std::filesystem;

namespace {

using zipt::Descriptor;
using zipt::Entry;
using zipt::Text;

// Random bytes do not compress: 60,000 of them inflate over four 16 KiB chunks of input.
const std::string kBig = zipt::RandomBytes(60000, 3);

struct File {
  std::string name;
  std::string data;
};
const std::vector<File> kFiles = {
    {"a.txt", Text(20)}, {"big.bin", kBig}, {"desc.txt", Text(3000)}, {"plain.txt", Text(5)}};

std::string StopArchive() {
  return zipt::BuildZip(zipt::Plan({Entry("dir/", ""), Entry("a.txt", kFiles[0].data),
                                    Entry("big.bin", kFiles[1].data, 8),
                                    Entry("desc.txt", kFiles[2].data, 8, Descriptor::kSigned),
                                    Entry("plain.txt", kFiles[3].data, 0, Descriptor::kUnsigned)}));
}

enum class Mode { kInternal, kExternal, kEtag };

struct CommandRun {
  std::vector<StatusRecord> records;
  std::string result;  // "(not run)" when the ETag computation ended the command
  bool etag_ok = false;
};

class StopPointsTest : public ::testing::TestWithParam<Mode> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetNameListFolder(lists_.path().c_str()));
    WriteFile(archive(), StopArchive());
    fs::create_directories(src() + "/dir");
    for (const File& f : kFiles) WriteFile(src() + "/" + f.name, f.data);
    fds_ = CountOpenFds();
  }
  void TearDown() override {
    SetNameListFolder(kDefaultNameListFolder);
    g_recorder.Reset();
  }

  std::string src() const { return dir_ / "src"; }
  std::string archive() const { return dir_ / "s.zip"; }
  std::string etag_file() const { return archive() + ".md5"; }

  // One command as a front end runs it, with `jobs`: the stop request cleared once at its start.
  CommandRun RunCommand(Mode mode, int stop_at, int jobs = 1) {
    g_testJobs = jobs;
    g_recorder.Reset();
    g_recorder.stop_at = stop_at;
    CommandRun run;
    run.result = "(not run)";
    bool verify = true;
    if (mode == Mode::kEtag) {
      run.etag_ok = ComputeEtag(archive().c_str());
      verify = run.etag_ok;
    }
    if (verify) {
      bool external = mode == Mode::kExternal;
      run.result = RunVerification(external ? src().c_str() : "", archive().c_str(), external);
    }
    run.records = g_recorder.records;
    EXPECT_FALSE(TestVerification().HoldsOpenStreams()) << "archive stream left open";
    EXPECT_EQ(CountOpenFds(), fds_) << "a descriptor was left open";
    return run;
  }

  TempDir dir_;
  TempDir lists_;
  int fds_ = 0;
};

bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

// Who made a status line of the full run, told by its text and by what came before it.
enum class Reporter { kEtagProgress, kEntryStatus, kInflateProgress, kFolderWalk };

Reporter WhoReported(const std::vector<StatusRecord>& full, size_t index) {
  const std::string& text = full[index].text;
  if (StartsWith(text, "Calculating ETag (part ")) return Reporter::kEtagProgress;
  for (size_t i = 0; i < index; ++i)
    if (full[i].kind == kLogLine && StartsWith(full[i].text, "Verified ")) return Reporter::kFolderWalk;
  if (text.size() > 11 && text.compare(text.size() - 11, 11, " remaining)") == 0)
    return Reporter::kInflateProgress;
  return Reporter::kEntryStatus;
}

std::string Describe(const std::vector<StatusRecord>& records) {
  std::string out;
  for (const auto& r : records) out += (r.kind == kLogLine ? "  log: " : "  status: ") + r.text + "\n";
  return out;
}

TEST_P(StopPointsTest, EveryReportIsAStopPoint) {
  const Mode mode = GetParam();
  WriteFile(etag_file(), "left from before\n");
  const CommandRun full = RunCommand(mode, 0);
  ASSERT_EQ(full.result, "OK") << Describe(full.records);
  if (mode == Mode::kEtag) {
    ASSERT_TRUE(full.etag_ok);
  }
  const std::string etag_text = ReadFile(etag_file());
  if (mode == Mode::kEtag) {
    ASSERT_NE(etag_text, "left from before\n") << "the ETag file was not replaced";
  }
  const size_t n = full.records.size();
  ASSERT_GT(n, 10u) << Describe(full.records);

  int stopped_in[4] = {0, 0, 0, 0};
  for (size_t stop_at = 1; stop_at <= n + 1; ++stop_at) {
    SCOPED_TRACE("stop at report " + std::to_string(stop_at) + " of " + std::to_string(n));
    WriteFile(etag_file(), "left from before\n");
    // The stopped runs use TestJobs(): the log of any number of jobs is one job's, cut there.
    CommandRun got = RunCommand(mode, static_cast<int>(stop_at), TestJobs());

    // The first status line at or after the report that raised the stop sees it.
    size_t seen = stop_at - 1;
    while (seen < n && full.records[seen].kind != kStatusLine) ++seen;
    std::vector<StatusRecord> want(full.records.begin(),
                                   full.records.begin() + static_cast<long>(seen < n ? seen + 1 : n));
    std::string want_result = full.result;
    bool want_etag_written = true;
    if (seen < n) {
      Reporter who = WhoReported(full.records, seen);
      ++stopped_in[static_cast<int>(who)];
      switch (who) {
        case Reporter::kEtagProgress:
          want.push_back({kStatusLine, "Stopped by user", false});
          want_result = "(not run)";
          want_etag_written = false;
          EXPECT_FALSE(got.etag_ok);
          break;
        case Reporter::kEntryStatus:
          want.push_back({kLogLine, "Stopped", false});
          want_result = "Stopped by user";
          break;
        case Reporter::kInflateProgress:
          want.push_back({kLogLine, "Stopped", false});
          want.push_back({kLogLine, "Stopped by user", false});
          want_result = "Stopped by user";
          break;
        case Reporter::kFolderWalk:
          want_result = "Stopped by user";
          break;
      }
    }
    ASSERT_EQ(got.records.size(), want.size()) << "got:\n"
                                              << Describe(got.records) << "want:\n"
                                              << Describe(want);
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(got.records[i].kind, want[i].kind) << "report " << i + 1;
      EXPECT_EQ(got.records[i].text, want[i].text) << "report " << i + 1;
    }
    EXPECT_EQ(got.result, want_result);
    if (mode == Mode::kEtag) {
      EXPECT_EQ(ReadFile(etag_file()), want_etag_written ? etag_text : "left from before\n");
    }
  }
  // The last run above was not stopped: with the usual hand-over lengths the two deflated
  // entries went to workers, and the short ones too unless the walk got to them before a
  // worker batched them.
  if (TestJobs() > 1) {
    EXPECT_GE(TestVerification().TakenFromWorkers(), 2);
  }
  // Every kind of stop point the run has was met.
  EXPECT_EQ(stopped_in[static_cast<int>(Reporter::kEtagProgress)] > 0, mode == Mode::kEtag);
  EXPECT_GT(stopped_in[static_cast<int>(Reporter::kEntryStatus)], 4);
  EXPECT_GE(stopped_in[static_cast<int>(Reporter::kInflateProgress)], 5);  // big.bin: 4, desc.txt: 1+
  EXPECT_EQ(stopped_in[static_cast<int>(Reporter::kFolderWalk)] > 0, mode == Mode::kExternal);
}

INSTANTIATE_TEST_SUITE_P(Runs, StopPointsTest,
                         ::testing::Values(Mode::kInternal, Mode::kExternal, Mode::kEtag),
                         [](const ::testing::TestParamInfo<Mode>& mode_info) {
                           switch (mode_info.param) {
                             case Mode::kInternal: return std::string("Internal");
                             case Mode::kExternal: return std::string("External");
                             default: return std::string("EtagThenInternal");
                           }
                         });

}  // namespace
