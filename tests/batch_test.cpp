// Short entries are handed to the workers in batches: runs of them of every length around the
// batch's size, long entries between them, a damaged entry inside a batch, descriptors, and an
// external run with a file missing and one that differs. With workers, every report, both name
// lists and the result must be those of one job; with a stop at any report too, and on one CPU
// (where no worker takes any: the walk checks them all itself).
#include "engine.h"
#include "parallel_check.h"
#include "line_recorder.h"
#include "run_state.h"
#include "test_util.h"
#include "zip_builder.h"

#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// While it lives, with `pin` true, the calling thread (and the threads it starts) may run on one
// CPU only: the first it was allowed.
class OneCpu {
 public:
  explicit OneCpu(bool pin) {
    if (!pin || sched_getaffinity(0, sizeof saved_, &saved_) != 0) return;
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &saved_)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    pinned_ = sched_setaffinity(0, sizeof one, &one) == 0;
    EXPECT_TRUE(pinned_);
    EXPECT_EQ(DefaultCheckJobs(), 1);
  }
  ~OneCpu() {
    if (pinned_) sched_setaffinity(0, sizeof saved_, &saved_);
  }
  OneCpu(const OneCpu&) = delete;
  OneCpu& operator=(const OneCpu&) = delete;

 private:
  cpu_set_t saved_;
  bool pinned_ = false;
};

struct Outcome {
  std::vector<std::string> lines;
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  std::string result, x1, x2;
  int64_t from_workers = 0;
};

class BatchTest : public ::testing::Test {
 protected:
  // `at_first` runs at the first status line, holding the walk meanwhile.
  Outcome Verify(Verification& v, const std::string& archive, const std::string& folder, int jobs,
                 int stop_at, std::function<void()> at_first = nullptr) {
    HeldSink held;
    held.at_first = std::move(at_first);
    LineRecorder& sink = held.rec;
    sink.stop_at = stop_at;
    VerifyOptions options;
    options.archive = archive.c_str();
    options.folder = folder.empty() ? nullptr : folder.c_str();
    options.jobs = jobs;
    const std::string lists = dir_.path();
    options.lists_folder = lists.c_str();
    v.ClearStop();
    const std::string result = v.Verify(options, &held);
    return {sink.lines, sink.progress, result, ReadFile(lists + "/x1.txt"),
            ReadFile(lists + "/x2.txt"), v.TakenFromWorkers()};
  }

  // Short entries (deflated under 4 KiB, stored under 256 KiB), `runs` of them between long ones.
  std::string MakeArchive(const std::string& name, const std::vector<int>& runs, int damaged,
                          const std::string& folder) {
    std::vector<zipt::ZipEntry> entries;
    int n = 0;
    for (size_t r = 0; r < runs.size(); ++r) {
      for (int i = 0; i < runs[r]; ++i, ++n) {
        const std::string entry = "r" + std::to_string(r) + "/s" + std::to_string(i) + ".txt";
        const std::string data = zipt::Text(1 + (n * 7) % 40);
        zipt::ZipEntry e = n % 3 == 2 ? zipt::Stored(entry, data) : zipt::Deflated(entry, data);
        if (n % 5 == 4) e.descriptor = zipt::Descriptor::kSigned;
        if (n == damaged) e.central_crc = 0x12345678;
        entries.push_back(e);
        if (!folder.empty() && n % 11 != 10) WriteFile(folder + "/" + entry, n % 13 == 12 ? data + "!" : data);
      }
      const std::string big = "big" + std::to_string(r) + ".bin";
      const std::string data = zipt::RandomBytes(20000 + 3000 * r, static_cast<uint32_t>(r));
      entries.push_back(zipt::Deflated(big, data));
      if (!folder.empty()) WriteFile(folder + "/" + big, data);
    }
    const std::string path = dir_.path() + "/" + name;
    if (!folder.empty()) {
      for (size_t r = 0; r < runs.size(); ++r) fs::create_directories(folder + "/r" + std::to_string(r));
    }
    WriteFile(path, zipt::BuildZip(zipt::Plan(entries)));
    return path;
  }

  void ExpectSame(const Outcome& got, const Outcome& want) {
    EXPECT_EQ(got.lines, want.lines);
    EXPECT_EQ(got.progress, want.progress);
    EXPECT_EQ(got.result, want.result);
    EXPECT_EQ(got.x1, want.x1);
    EXPECT_EQ(got.x2, want.x2);
  }

  TempDir dir_;
};

TEST_F(BatchTest, WorkersGiveWhatOneJobGives) {
  const int kBatch = ParallelCheck::kBatchEntries;
  struct Row {
    const char* name;
    std::vector<int> runs;
    int damaged;  // the short entry with a wrong CRC-32, or -1
    bool external;
  };
  const Row rows[] = {
      {"runs around the batch size", {1, kBatch - 1, kBatch, kBatch + 1, 2 * kBatch + 3}, -1, false},
      {"a damaged entry inside a batch", {kBatch + 5, 3}, kBatch + 2, false},
      {"short entries only at the end", {0, 0, 40}, -1, false},
      {"external: files missing and differing", {kBatch + 7, kBatch}, -1, true},
  };
  // Whether the walk meets an entry before a worker has planned it depends on the threads'
  // timing (a walk through a small archive may end before a worker starts); over all the runs
  // below, workers must have taken some.
  int64_t from_workers = 0;
  // On one CPU the walk checks every entry itself, whatever the job count: every row again so.
  for (bool one_cpu : {false, true})
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.name) + (one_cpu ? ", on one CPU" : ""));
    OneCpu pinned(one_cpu);
    const std::string folder = row.external ? dir_.path() + "/src-" + row.name : "";
    std::string stem = std::string(row.name);
    for (char& c : stem) c = c == ' ' || c == ':' ? '_' : c;
    if (!folder.empty()) fs::create_directories(folder);
    const std::string archive = MakeArchive(stem + ".zip", row.runs, row.damaged, folder);
    Verification one, many;
    const Outcome want = Verify(one, archive, folder, 1, 0);
    ASSERT_GT(want.lines.size(), 20u);
    for (int jobs : {2, 4}) {
      SCOPED_TRACE(std::to_string(jobs) + " jobs");
      const Outcome got = Verify(many, archive, folder, jobs, 0);
      ExpectSame(got, want);
      if (one_cpu) {
        EXPECT_EQ(got.from_workers, 0);
      }
      from_workers += got.from_workers;
    }
    // A stop at every third report: the tail after it is the one job's too.
    for (int stop_at = 1; stop_at <= static_cast<int>(want.lines.size()); stop_at += 3) {
      SCOPED_TRACE("stop at " + std::to_string(stop_at));
      const Outcome got = Verify(many, archive, folder, 3, stop_at);
      if (one_cpu) {
        EXPECT_EQ(got.from_workers, 0);
      }
      from_workers += got.from_workers;
      ExpectSame(got, Verify(one, archive, folder, 1, stop_at));
      if (HasFailure()) return;
    }
  }
  EXPECT_GT(from_workers, 0);
}

// A walk that catches up with a batch's worker checks the members not started yet itself: with
// workers slowed down at every member, the walk takes over most of each batch. Every report,
// name list and result stays the one job's, with stops inside taken-over members too.
TEST_F(BatchTest, WalkTakesOverWhatASlowWorkerHasNotStarted) {
  if (DefaultCheckJobs() == 1) GTEST_SKIP() << "one CPU: no workers start";
  const int kBatch = ParallelCheck::kBatchEntries;
  struct Row {
    const char* name;
    std::vector<int> runs;
    int damaged;
    bool external;
  };
  const Row rows[] = {
      {"batches of every fill", {kBatch - 1, kBatch + 1, 2 * kBatch}, -1, false},
      {"a damaged entry late in a batch", {kBatch + 2}, kBatch - 3, false},
      {"external", {kBatch + 7}, -1, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string folder = row.external ? dir_.path() + "/slow-src" : "";
    if (!folder.empty()) fs::create_directories(folder);
    std::string stem = std::string("slow-") + row.name;
    for (char& c : stem) c = c == ' ' ? '_' : c;
    const std::string archive = MakeArchive(stem + ".zip", row.runs, row.damaged, folder);
    Verification one, slow;
    ParallelCheck& workers = slow.state().parallel_check;
    workers.SetMemberPause(std::chrono::milliseconds(3));
    const Outcome want = Verify(one, archive, folder, 1, 0);
    for (int jobs : {2, 3}) {
      SCOPED_TRACE(std::to_string(jobs) + " jobs");
      // The walk waits until a worker has begun a batch (a walk on a loaded machine may
      // otherwise pass every entry before a worker plans one).
      const int64_t before = workers.member_pauses();
      const Outcome got = Verify(slow, archive, folder, jobs, 0, [&] {
        EXPECT_TRUE(WaitFor([&] { return workers.member_pauses() > before; }));
      });
      ExpectSame(got, want);
      EXPECT_GT(workers.taken_over(), 0);
      EXPECT_GT(got.from_workers, 0) << "the member a worker had begun is its";
    }
    for (int stop_at : {2, 9, static_cast<int>(want.lines.size()) - 4}) {
      SCOPED_TRACE("stop at " + std::to_string(stop_at));
      ExpectSame(Verify(slow, archive, folder, 2, stop_at), Verify(one, archive, folder, 1, stop_at));
    }
  }
}

// Compared against a folder, a worker looks up each member of a batch by its own name: with the
// walk held until a worker has checked a whole batch, the walk takes every member whose file is
// there from it (a member looked up by another's name would be checked again by the walk, with
// the same output). Without a folder no names are kept.
TEST_F(BatchTest, EachMemberComparedByItsOwnName) {
  if (DefaultCheckJobs() == 1) GTEST_SKIP() << "one CPU: no workers start";
  const int kBatch = ParallelCheck::kBatchEntries;
  const std::string folder = dir_.path() + "/names-src";
  fs::create_directories(folder);
  const std::string archive = MakeArchive("names.zip", {2 * kBatch}, -1, folder);
  Verification one, held;
  ParallelCheck& workers = held.state().parallel_check;
  // Counts the members started; the pause itself is too short to matter.
  workers.SetMemberPause(std::chrono::microseconds(1));
  const Outcome want = Verify(one, archive, folder, 1, 0);
  const Outcome got = Verify(held, archive, folder, 2, 0, [&] {
    // A member of the second batch started: the first is done.
    EXPECT_TRUE(WaitFor([&] { return workers.member_pauses() > kBatch; }));
  });
  ExpectSame(got, want);
  // The first batch's members but the one whose file is missing (entry 10).
  EXPECT_GE(got.from_workers, kBatch - 1);
}

// The cases above end differently, so equal outcomes mean something.
TEST_F(BatchTest, CasesEndAsExpected) {
  Verification v;
  const std::string good = MakeArchive("good.zip", {20, 5}, -1, "");
  const std::string bad = MakeArchive("bad.zip", {20, 5}, 9, "");
  EXPECT_EQ(Verify(v, good, "", 2, 0).result, "OK");
  const Outcome failed = Verify(v, bad, "", 2, 0);
  EXPECT_EQ(failed.result, "Verification failed");
  EXPECT_NE(std::find(failed.lines.begin(), failed.lines.end(), "1:Entry 9: r0/s9.txt"),
            failed.lines.end());
}

}  // namespace
