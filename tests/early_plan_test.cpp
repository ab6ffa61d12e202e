// Entries much larger than the rest are started by a worker ahead of the walk's order. The walk
// is held at its first report until the early plans are made (or checked), so they are made for
// certain; then every report, both name lists and the result must be those of one job, also when
// the archive or the compared file changes after the early check, when the directory lies about
// the large entry's size, and when the run is stopped while the large entry is being checked.
#include "engine.h"
#include "line_recorder.h"
#include "parallel_check.h"
#include "run_state.h"
#include "test_util.h"
#include "zip_builder.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kShortEntries = 300;
constexpr uint64_t kTestEarlyLength = 128 * 1024;  // the tests' large entries are a few times this
constexpr int64_t kPastTheEnd = 0x7FFF0000;        // a size lie that reaches past the archive

// Data that deflate codes with Huffman blocks at about half its size: 16 letters at random.
std::string Letters(size_t n, uint32_t seed) {
  std::string data = zipt::RandomBytes(n, seed);
  for (char& c : data) c = static_cast<char>('a' + (c & 15));
  return data;
}

enum class Change {
  kNone,
  kLocalExtraLonger,  // after the early check: the first large entry's data starts 4 bytes later
  kFileReplaced,      // after the early check: its file in the folder is replaced by another
                      // of the same length whose last byte differs
};

struct Row {
  const char* name;
  // Spread over the last 40 short entries. With more than one, every entry is handed over in a
  // plan of its own, so the scan, held back by its full list of plans while the walk waits,
  // never reaches them: only early plans are made for them, as many as may wait.
  int large_entries;
  bool external;
  Change change;
  int64_t size_lie;  // bytes the directory adds to the first large entry's size
  int stop_at;       // 0: no stop
  bool planned;      // whether the early plans are made (the walk waits for them)
  bool taken;        // whether the walk takes them
};

struct Outcome {
  std::vector<std::string> lines;
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  std::string result, x1, x2;
  int64_t from_workers = 0, early = 0, planned = 0;
};

class EarlyPlanTest : public ::testing::Test {
 protected:
  std::string Archive() const { return dir_ / "early.zip"; }
  std::string Folder() const { return dir_ / "src"; }

  // Writes the archive (and, for an external row, the folder) afresh: the short entries, the
  // large ones among the last 40 of them, and five short ones after. Keeps where the first
  // large entry's local header lies.
  void Make(const Row& row) {
    std::vector<zipt::ZipEntry> entries;
    const int step = 40 / row.large_entries;
    int large = 0;
    fs::remove_all(Folder());
    for (int i = 0; i < kShortEntries + 5; ++i) {
      const std::string name = "s/" + std::to_string(i) + ".txt";
      const std::string data = zipt::Text(5 + i % 30);
      entries.push_back(zipt::Deflated(name, data));
      if (row.external) WriteFile(Folder() + "/" + name, data);
      if (large < row.large_entries && i >= kShortEntries - 40 && i % step == 0) {
        const std::string big = "large" + std::to_string(large) + ".bin";
        const std::string data_big = Letters(3 * kTestEarlyLength, static_cast<uint32_t>(large));
        entries.push_back(zipt::Deflated(big, data_big));
        if (large == 0 && row.size_lie != 0)
          entries.back().central_compressed = static_cast<uint32_t>(
              static_cast<int64_t>(zipt::Deflate(data_big).size()) + row.size_lie);
        if (row.external) WriteFile(Folder() + "/" + big, data_big);
        if (large == 0) first_large_ = entries.size() - 1;
        ++large;
      }
    }
    const zipt::ZipLayout layout = zipt::BuildZipLayout(zipt::Plan(entries));
    first_large_local_ = layout.entries[first_large_].local;
    WriteFile(Archive(), layout.bytes);
  }

  // The row's change, made at the walk's first report: with workers, once the early check of
  // the first large entry has ended, so that the worker's plan or comparison is out of date.
  void MakeChange(const Row& row) {
    if (row.change == Change::kLocalExtraLonger) {
      // Only the two bytes, in place: workers still read the archive's other entries, and a
      // file written afresh would be short (truncated) for a moment under them.
      std::string bytes = ReadFile(Archive());
      const size_t at = first_large_local_ + zipt::kLocalExtraLenAt;
      zipt::Poke16(bytes, at, static_cast<uint8_t>(bytes[at]) + 4u);
      const int fd = open(Archive().c_str(), O_WRONLY);
      ASSERT_GE(fd, 0);
      EXPECT_EQ(pwrite(fd, bytes.data() + at, 2, static_cast<off_t>(at)), 2);
      close(fd);
    } else if (row.change == Change::kFileReplaced) {
      // Written beside it and renamed over it: a file of its own, whatever the clock's grain.
      const std::string path = Folder() + "/large0.bin";
      std::string data = ReadFile(path);
      data.back() = static_cast<char>(data.back() ^ 1);
      WriteFile(path + ".new", data);
      fs::rename(path + ".new", path);
    }
  }

  Outcome Verify(Verification& v, const Row& row, int jobs) {
    Make(row);
    HeldSink sink;
    sink.rec.stop_at = row.stop_at;
    ParallelCheck& workers = v.state().parallel_check;
    sink.at_first = [&] {
      if (jobs > 1 && row.planned) {
        const int64_t want = Waiting(row, jobs);
        EXPECT_TRUE(WaitFor([&] { return workers.planned_early() >= want; }));
        if (row.change != Change::kNone) {
          EXPECT_TRUE(WaitFor([&] { return workers.checked_early() >= 1; }));
        }
        if (row.large_entries > 1) {
          // Every plan that may wait is made and checked: no more come while the walk waits.
          EXPECT_TRUE(WaitFor([&] { return workers.checked_early() >= want; }));
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          EXPECT_EQ(workers.planned_early(), want);
        }
      }
      MakeChange(row);
    };
    VerifyOptions options;
    const std::string archive = Archive(), folder = Folder(), lists = dir_.path();
    options.archive = archive.c_str();
    options.folder = row.external ? folder.c_str() : nullptr;
    options.lists_folder = lists.c_str();
    options.jobs = jobs;
    v.ClearStop();
    v.SetEarlyLengths(kTestEarlyLength, ParallelCheck::kEarlyTimesMean);
    if (row.large_entries > 1) {
      v.SetHandOverLengths(0, 0);
    } else {
      v.SetHandOverLengths(ParallelCheck::kDecodedHandOver, ParallelCheck::kStoredHandOver);
    }
    const std::string result = v.Verify(options, &sink);
    return {sink.rec.lines,       sink.rec.progress,      result,
            ReadFile(lists + "/x1.txt"), ReadFile(lists + "/x2.txt"), v.TakenFromWorkers(),
            v.TakenEarly(),       workers.planned_early()};
  }

  // Every report, both name lists and the result are one job's.
  static void ExpectSame(const Outcome& got, const Outcome& want) {
    EXPECT_EQ(got.lines, want.lines);
    EXPECT_EQ(got.progress, want.progress);
    EXPECT_EQ(got.result, want.result);
    EXPECT_EQ(got.x1, want.x1);
    EXPECT_EQ(got.x2, want.x2);
  }

  // The early plans the walk finds waiting when it has been held at its first entry.
  static int64_t Waiting(const Row& row, int jobs) {
    const int64_t room = ParallelCheck::kEarlyPerJob * jobs;
    return row.large_entries < room ? row.large_entries : room;
  }

  TempDir dir_;
  size_t first_large_ = 0;
  size_t first_large_local_ = 0;
};

TEST_F(EarlyPlanTest, LargeEntriesStartedEarlyGiveWhatOneJobGives) {
  const Row rows[] = {
      {"one large entry near the end", 1, false, Change::kNone, 0, 0, true, true},
      {"compared with the folder", 1, true, Change::kNone, 0, 0, true, true},
      {"more large entries than early plans may wait", 9, false, Change::kNone, 0, 0, true, true},
      {"its local header changes after the early check", 1, false, Change::kLocalExtraLonger, 0,
       0, true, false},
      {"its file changes after the early check", 1, true, Change::kFileReplaced, 0, 0, true, false},
      // The directory's size reaches past the archive's end: no early plan, the walk fails it.
      {"the directory claims a size past the end", 1, false, Change::kNone, kPastTheEnd, 0, false,
       false},
      // A size a little too large still lies within the archive: planned and taken, and the
      // worker's verdict on the bytes that follow the stream is the walk's own.
      {"the directory claims 100 bytes more", 1, false, Change::kNone, 100, 0, true, true},
      {"stopped while the large entry is checked", 1, false, Change::kNone, 0, 3, true, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Verification one, many;
    const Outcome want = Verify(one, row, 1);
    ASSERT_GT(want.lines.size(), static_cast<size_t>(row.stop_at != 0 ? 2 : kShortEntries));
    for (int jobs : {2, 4}) {
      SCOPED_TRACE(std::to_string(jobs) + " jobs");
      const Outcome got = Verify(many, row, jobs);
      ExpectSame(got, want);
      const int64_t waiting = Waiting(row, jobs);
      if (row.planned) {
        EXPECT_GE(got.planned, waiting);
      } else {
        EXPECT_EQ(got.planned, 0);
      }
      if (row.taken) {
        EXPECT_GE(got.early, waiting);
        EXPECT_LE(got.early, row.large_entries);
        EXPECT_GE(got.from_workers, got.early);
      } else {
        EXPECT_EQ(got.early, 0);
      }
      if (HasFailure()) return;
    }
  }
}

// A thread beside the workers that holds a core (the ETag's reader in a one-read run): while it
// does, at most jobs - 1 workers check at once, one at least, the early checks among them, and
// the outcome is still one job's.
TEST_F(EarlyPlanTest, CoreHeldBesideLeavesOneWorkerLess) {
  const Row row = {"five large entries", 5, false, Change::kNone, 0, 0, true, true};
  Verification one, many;
  const Outcome want = Verify(one, row, 1);
  std::atomic<bool> held{true};
  ParallelCheck& workers = many.state().parallel_check;
  workers.SetSharedCore(&held);
  for (int jobs : {2, 3, 4}) {
    SCOPED_TRACE(std::to_string(jobs) + " jobs");
    const Outcome got = Verify(many, row, jobs);
    ExpectSame(got, want);
    EXPECT_GE(got.early, Waiting(row, jobs));
    EXPECT_GE(workers.most_checking(), 1);
    EXPECT_LE(workers.most_checking(), jobs - 1);
  }
  workers.SetSharedCore(nullptr);
}

// The rows above end differently, so equal outcomes mean something.
TEST_F(EarlyPlanTest, RowsEndAsExpected) {
  Verification v;
  const Outcome good = Verify(v, {"good", 1, false, Change::kNone, 0, 0, false, false}, 1);
  EXPECT_EQ(good.result, "OK");
  const Outcome moved =
      Verify(v, {"moved", 1, false, Change::kLocalExtraLonger, 0, 0, false, false}, 1);
  EXPECT_EQ(moved.result, "Verification failed");
  const Outcome replaced =
      Verify(v, {"replaced", 1, true, Change::kFileReplaced, 0, 0, false, false}, 1);
  EXPECT_EQ(replaced.result, "Verification failed");
  EXPECT_NE(std::find(replaced.lines.begin(), replaced.lines.end(),
                      "1:Contents differ in file " + Folder() + "/large0.bin"),
            replaced.lines.end());
  // A size past the end is no fault of its own: the stream's end decides, as it does in one job.
  const Outcome past =
      Verify(v, {"past", 1, false, Change::kNone, kPastTheEnd, 0, false, false}, 1);
  EXPECT_EQ(past.result, "OK");
  const Outcome stopped = Verify(v, {"stopped", 1, false, Change::kNone, 0, 3, false, false}, 1);
  EXPECT_EQ(stopped.lines.back(), "1:Stopped by user");
}

}  // namespace
