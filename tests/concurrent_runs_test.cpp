// Verifiers are values: two Verification objects run at the same time on two threads, one
// internal, one external, one stopped part way, and each must give exactly what it gives alone
// (every report, every progress point, both name lists, the result). Any state the two shared
// would show as a report, count or list of one run in the other.
#include "engine.h"
#include "line_recorder.h"
#include "test_util.h"
#include "zip_builder.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

struct Outcome {
  std::vector<std::string> lines;
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  std::string result;
  std::string archive_list;
  std::string folder_list;
};

struct Job {
  std::string archive;
  std::string folder;  // empty: internal
  std::string lists;
  int jobs;
  int stop_at;
  bool etag;
};

Outcome RunJob(Verification& verification, const Job& job) {
  LineRecorder sink;
  sink.stop_at = job.stop_at;
  VerifyOptions options;
  options.archive = job.archive.c_str();
  options.folder = job.folder.empty() ? nullptr : job.folder.c_str();
  options.lists_folder = job.lists.c_str();
  options.jobs = job.jobs;
  options.etag = job.etag;
  const CommandOutcome outcome = verification.Run(options, &sink);
  return {sink.lines, sink.progress, outcome.text, ReadFile(job.lists + "/x1.txt"),
          ReadFile(job.lists + "/x2.txt")};
}

void ExpectSame(const Outcome& together, const Outcome& alone, const char* what) {
  SCOPED_TRACE(what);
  EXPECT_EQ(together.lines, alone.lines);
  EXPECT_EQ(together.progress, alone.progress);
  EXPECT_EQ(together.result, alone.result);
  EXPECT_EQ(together.archive_list, alone.archive_list);
  EXPECT_EQ(together.folder_list, alone.folder_list);
}

TEST(ConcurrentRuns, TwoVerifiersAtOnceGiveTheirSoloResults) {
  TempDir dir;
  const std::string root = dir.path();
  // Archive A: many deflated and stored entries, long enough for workers and progress lines.
  std::vector<zipt::ZipEntry> a_entries;
  for (int i = 0; i < 40; ++i) {
    const std::string data = zipt::Text(200 + 37 * i) + zipt::RandomBytes(5000 + 311 * i, i);
    a_entries.push_back(i % 3 == 0 ? zipt::Stored("a/" + std::to_string(i) + ".bin", data)
                                   : zipt::Deflated("a/" + std::to_string(i) + ".txt", data));
  }
  WriteFile(root + "/a.zip", zipt::BuildZip(zipt::Plan(a_entries)));
  // Archive B and its folder: equal but for one file, so the external run fails on it.
  std::vector<zipt::ZipEntry> b_entries;
  std::filesystem::create_directories(root + "/src");
  for (int i = 0; i < 25; ++i) {
    const std::string name = "f" + std::to_string(i) + ".txt";
    const std::string data = zipt::Text(300 + 53 * i);
    b_entries.push_back(zipt::Deflated(name, data));
    WriteFile(root + "/src/" + name, i == 20 ? data + "x" : data);
  }
  WriteFile(root + "/src/extra.txt", "not in the archive\n");
  WriteFile(root + "/b.zip", zipt::BuildZip(zipt::Plan(b_entries)));
  for (const char* lists : {"/la", "/lb", "/lc"}) std::filesystem::create_directory(root + lists);

  struct Pair {
    const char* name;
    Job first;
    Job second;
  };
  const Pair pairs[] = {
      {"internal and external, one job each",
       {root + "/a.zip", "", root + "/la", 1, 0, false},
       {root + "/b.zip", root + "/src", root + "/lb", 1, 0, false}},
      {"internal with workers and external with workers",
       {root + "/a.zip", "", root + "/la", 3, 0, false},
       {root + "/b.zip", root + "/src", root + "/lb", 2, 0, false}},
      {"one stopped part way, the other whole, with ETags",
       {root + "/a.zip", "", root + "/la", 2, 25, true},
       {root + "/b.zip", "", root + "/lc", 2, 0, true}},
  };
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(pair.name);
    Verification solo;
    const Outcome first_alone = RunJob(solo, pair.first);
    const std::string first_md5 = ReadFile(pair.first.archive + ".md5");
    const Outcome second_alone = RunJob(solo, pair.second);
    const std::string second_md5 = ReadFile(pair.second.archive + ".md5");
    ASSERT_FALSE(first_alone.lines.empty());
    ASSERT_FALSE(second_alone.lines.empty());

    for (int round = 0; round < 3; ++round) {
      Verification one, two;
      Outcome first, second;
      std::thread other([&] { second = RunJob(two, pair.second); });
      first = RunJob(one, pair.first);
      other.join();
      ExpectSame(first, first_alone, "first");
      ExpectSame(second, second_alone, "second");
      EXPECT_EQ(ReadFile(pair.first.archive + ".md5"), first_md5);
      EXPECT_EQ(ReadFile(pair.second.archive + ".md5"), second_md5);
    }
  }
}

// The outcomes the pairs above rely on, so a change that made every run alike cannot pass.
TEST(ConcurrentRuns, SoloOutcomesDiffer) {
  TempDir dir;
  const std::string root = dir.path();
  WriteFile(root + "/good.zip", zipt::BuildZip(zipt::Plan({zipt::Deflated("x.txt", zipt::Text(50))})));
  std::string bad = zipt::BuildZip(zipt::Plan({zipt::Stored("y.txt", zipt::Text(50))}));
  bad[40] ^= 0x20;  // inside the stored data: a CRC mismatch
  WriteFile(root + "/bad.zip", bad);
  Verification verification;
  LineRecorder sink;
  VerifyOptions options;
  options.lists_folder = root.c_str();
  options.archive = "";
  std::string good_path = root + "/good.zip", bad_path = root + "/bad.zip";
  options.archive = good_path.c_str();
  EXPECT_EQ(verification.Run(options, &sink).kind, CommandOutcome::kVerified);
  options.archive = bad_path.c_str();
  const CommandOutcome failed = verification.Run(options, &sink);
  EXPECT_EQ(failed.kind, CommandOutcome::kFailed);
  EXPECT_STREQ(failed.text, kResultFailed);
  sink.stop_at = 1;
  sink.calls = 0;
  options.archive = good_path.c_str();
  EXPECT_EQ(verification.Run(options, &sink).kind, CommandOutcome::kStopped);
}

}  // namespace
