// A command with the ETag reads the archive once, the verification beside the ETag step, yet
// whoever watches must see exactly what the ETag step and then the verification show when run
// one after the other: every report in order, every progress point, the console block, the
// result, the name lists and the ETag file; and this also when a stop is asked for at any one
// of those reports. The held reports and lists are also made to overflow, and the ETag to wait
// for the verification at every read.
#include "engine.h"
#include "etag.h"
#include "one_read.h"
#include "line_recorder.h"
#include "test_util.h"
#include "zip_builder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Outcome {
  std::vector<std::string> lines;
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  std::string console;
  std::string result;
  bool stop_requested = false;
  std::string x1, x2, md5;
};

struct Case {
  const char* name;
  std::string archive;
  std::string folder;    // empty: internal
  std::string expected;  // an expected ETag, or empty
  int jobs;
};

class OneReadTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SetEtagPartSizeForTesting(4096)); }
  void TearDown() override { SetEtagPartSizeForTesting(kEtagPartSize); }

  std::string root() const { return dir_.path(); }
  std::string lists() const { return root() + "/lists"; }

  // The files every run starts from: old name lists and an old ETag file, so a run that must
  // not write them shows it.
  void ResetFiles(const Case& c) {
    WriteFile(lists() + "/x1.txt", "old x1\n");
    WriteFile(lists() + "/x2.txt", "old x2\n");
    if (!fs::is_directory(c.archive + ".md5")) WriteFile(c.archive + ".md5", "old md5\n");
  }

  VerifyOptions Options(const Case& c) const {
    VerifyOptions options;
    options.archive = c.archive.c_str();
    options.folder = c.folder.empty() ? nullptr : c.folder.c_str();
    options.jobs = c.jobs;
    options.lists_folder = lists_.c_str();
    options.etag = true;
    if (!c.expected.empty()) options.etag_options.expected = c.expected.c_str();
    return options;
  }

  Outcome Finish(Verification& v, const LineRecorder& sink, const Case& c, const std::string& result) {
    return {sink.lines,       sink.progress,
            sink.console,     result,
            v.StopRequested(), ReadFile(lists() + "/x1.txt"),
            ReadFile(lists() + "/x2.txt"),
            fs::is_regular_file(c.archive + ".md5") ? ReadFile(c.archive + ".md5") : "(none)"};
  }

  // The command as it is run: one read.
  Outcome InOneRead(Verification& v, const Case& c, int stop_at) {
    ResetFiles(c);
    LineRecorder sink;
    sink.stop_at = stop_at;
    const CommandOutcome outcome = v.Run(Options(c), &sink);
    EXPECT_FALSE(v.HoldsOpenStreams());
    return Finish(v, sink, c, std::string(outcome.from_etag ? "etag: " : "") + outcome.text);
  }

  // The same command as two steps, one after the other: what it must look like.
  Outcome OneAfterOther(Verification& v, const Case& c, int stop_at) {
    ResetFiles(c);
    LineRecorder sink;
    sink.stop_at = stop_at;
    v.ClearStop();
    const VerifyOptions options = Options(c);
    if (!v.ComputeEtag(c.archive.c_str(), options.etag_options, &sink))
      return Finish(v, sink, c, std::string("etag: ") + v.etag().failure());
    return Finish(v, sink, c, ShownResult(v.Verify(options, &sink)));
  }

  void ExpectSame(const Outcome& got, const Outcome& want) {
    EXPECT_EQ(got.lines, want.lines);
    EXPECT_EQ(got.progress, want.progress);
    EXPECT_EQ(got.console, want.console);
    EXPECT_EQ(got.result, want.result);
    EXPECT_EQ(got.stop_requested, want.stop_requested);
    EXPECT_EQ(got.x1, want.x1);
    EXPECT_EQ(got.x2, want.x2);
    EXPECT_EQ(got.md5, want.md5);
  }

  std::vector<Case> Cases() {
    fs::create_directories(lists());
    lists_ = lists();
    // Entries over many 4 KiB ETag parts, some long enough for workers and progress lines.
    std::vector<zipt::ZipEntry> entries;
    fs::create_directories(root() + "/src");
    for (int i = 0; i < 12; ++i) {
      const std::string name = "f" + std::to_string(i) + (i % 4 == 0 ? ".bin" : ".txt");
      const std::string data = i % 4 == 0 ? zipt::RandomBytes(9000 + 500 * i, i)
                                          : zipt::Text(2000 + 700 * i);
      entries.push_back(i % 3 == 0 ? zipt::Stored(name, data) : zipt::Deflated(name, data));
      if (i != 7) WriteFile(root() + "/src/" + name, data);  // one missing in the folder
    }
    WriteFile(root() + "/src/extra.txt", "not in the archive\n");
    const std::string good = zipt::BuildZip(zipt::Plan(entries));
    WriteFile(root() + "/good.zip", good);
    std::string bad = good;
    bad[bad.size() / 2] ^= 0x40;  // inside an entry's data in the middle of the archive
    WriteFile(root() + "/bad.zip", bad);
    WriteFile(root() + "/unwritable.zip", good);
    fs::create_directories(root() + "/unwritable.zip.md5");  // the ETag file cannot replace it
    const std::string good_path = root() + "/good.zip";
    return {
        {"internal, one job", good_path, "", "", 1},
        {"internal, three jobs", good_path, "", "", 3},
        {"corrupt entry", root() + "/bad.zip", "", "", 2},
        {"external, a file missing and one extra", good_path, root() + "/src", "", 2},
        {"expected ETag that does not match", good_path, "", "0123456789abcdef0123456789abcdef-9", 2},
        {"ETag file cannot be written", root() + "/unwritable.zip", "", "", 1},
        {"missing archive", root() + "/missing.zip", "", "", 2},
    };
  }

  TempDir dir_;
  std::string lists_;
};

// Without a stop, and then with a stop asked for at every report in turn (every third one after
// the first two cases, to keep the time down).
TEST_F(OneReadTest, ShowsWhatTheTwoStepsShowOneAfterTheOther) {
  int case_number = 0;
  for (const Case& c : Cases()) {
    const int stride = case_number++ < 2 ? 1 : 3;
    SCOPED_TRACE(c.name);
    Verification one, two;
    const Outcome want = OneAfterOther(two, c, 0);
    ASSERT_FALSE(want.lines.empty());
    ExpectSame(InOneRead(one, c, 0), want);
    const int reports = static_cast<int>(want.lines.size());
    for (int stop_at = 1; stop_at <= reports; stop_at += stride) {
      SCOPED_TRACE("stop at report " + std::to_string(stop_at) + " of " + std::to_string(reports));
      ExpectSame(InOneRead(one, c, stop_at), OneAfterOther(two, c, stop_at));
      if (HasFailure()) return;
    }
  }
}

// Limits far below the product's: the held reports and lists fill up (the verification then
// waits for the ETag's end) and the ETag waits for the verification before every read.
TEST_F(OneReadTest, OverflowingHoldsAndAWaitingEtagChangeNothing) {
  struct Limits {
    size_t reports;
    size_t list;
    uint64_t window;
  };
  const Limits limits[] = {{64, 16, 0}, {1000, 100000, 4096}, {100000, 8, 1 << 20}};
  for (const Case& c : Cases()) {
    SCOPED_TRACE(c.name);
    Verification two;
    const Outcome want = OneAfterOther(two, c, 0);
    for (const Limits& limit : limits) {
      SCOPED_TRACE("limits " + std::to_string(limit.reports) + ", " + std::to_string(limit.list) +
                   ", " + std::to_string(limit.window));
      Verification one;
      one.SetOneReadLimits(limit.reports, limit.list, limit.window);
      ExpectSame(InOneRead(one, c, 0), want);
      const int stop_at = static_cast<int>(want.lines.size()) * 2 / 3;
      ExpectSame(InOneRead(one, c, stop_at), OneAfterOther(two, c, stop_at));
    }
  }
}

// The cases above are not all alike: the ETag fails in some, the verification in others.
TEST_F(OneReadTest, CasesEndDifferently) {
  std::vector<std::string> results;
  for (const Case& c : Cases()) {
    Verification v;
    results.push_back(InOneRead(v, c, 0).result);
  }
  EXPECT_EQ(results[0], "Successful verification");
  EXPECT_EQ(results[2], "Verification failed");
  EXPECT_EQ(results[3], "Archive does not match source folder (1 not in folder, 1 not in archive)");
  EXPECT_EQ(results[4], "etag: ETag does not match 0123456789abcdef0123456789abcdef-9");
  EXPECT_EQ(results[5], "etag: Can't write ETag file");
  EXPECT_EQ(results[6], "etag: Can't open archive");
}

}  // namespace

namespace {

// The held reports are kept short (shared beginnings of status lines, progress as changes):
// whatever goes in must come out as it went in, after the ETag's reports. The ETag waits for
// the verification at its second read (a window of 0), so every report below is held.
TEST(OneReadHold, ReportsComeOutAsTheyWentIn) {
  TempDir dir;
  const std::string archive = dir.path() + "/a.bin";
  WriteFile(archive, zipt::RandomBytes(kEtagReadSize + 1000, 5));
  EtagCalculator etag;
  EtagOptions options;
  LineRecorder sink;
  StopRequest stop;
  OneRead one;
  one.SetLimits(kHeldReportBytes, kHeldListBytes, 0);
  ASSERT_TRUE(one.Begin(&etag, archive.c_str(), options, &sink, &stop));
  const std::string long_name(3000, 'n');
  struct Report {
    int kind;  // 0 status, 1 log, 2 stop point, 3 progress
    std::string text;
    uint64_t done, total;
  };
  const std::vector<Report> reports = {
      {0, "dir/a.txt", 0, 0},
      {3, "", 100, 1000},
      {0, "dir/a.txt (16384 remaining)", 0, 0},
      {0, "dir/a.txt (0 remaining)", 0, 0},
      {3, "", 90, 1000},  // backwards
      {0, "dir/b.txt", 0, 0},
      {0, "dir/", 0, 0},  // a beginning of the one before
      {0, "", 0, 0},
      {2, "", 0, 0},
      {1, "Verifying internally...", 0, 0},
      {3, "", 5000, 70000},  // another total
      {3, "", 5000, 70000},
      {0, long_name, 0, 0},
      {0, long_name + "x", 0, 0},
      {0, "other", 0, 0},
      {3, "", 0, 70000},
  };
  for (const Report& r : reports) {
    switch (r.kind) {
      case 0: EXPECT_FALSE(one.StatusLine(r.text.c_str())); break;
      case 1: EXPECT_FALSE(one.LogLine(r.text.c_str())); break;
      case 2: EXPECT_FALSE(one.StopPoint()); break;
      default: one.Progress(r.done, r.total); break;
    }
  }
  const OneReadEnd end = one.Finish();
  EXPECT_TRUE(end.etag_ok);
  EXPECT_FALSE(end.rerun);
  std::vector<std::string> lines;
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  for (const Report& r : reports) {
    if (r.kind == 3) {
      progress.push_back({r.done, r.total});
    } else {
      lines.push_back(r.kind == 2 ? "0:(null)" : std::to_string(r.kind) + ":" + r.text);
    }
  }
  ASSERT_GE(sink.lines.size(), lines.size());
  EXPECT_EQ(std::vector<std::string>(sink.lines.end() - static_cast<long>(lines.size()),
                                     sink.lines.end()),
            lines);
  EXPECT_EQ(sink.lines.front(), "0:Calculating ETag (part 1 of 1)");
  ASSERT_GE(sink.progress.size(), progress.size());
  using Pairs = std::vector<std::pair<uint64_t, uint64_t>>;
  EXPECT_EQ(Pairs(sink.progress.end() - static_cast<long>(progress.size()), sink.progress.end()),
            progress);
}

}  // namespace

// The window between the two readers follows the memory the system has available: a quarter of
// it, within its bounds, and the smallest when /proc/meminfo gives no figure.
TEST(OneReadWindow, AQuarterOfTheAvailableMemoryWithinBounds) {
  constexpr uint64_t kMiB = uint64_t{1} << 20;
  const struct {
    const char* meminfo;
    uint64_t available;
    uint64_t window;
  } rows[] = {
      {"MemTotal:       24554024 kB\nMemFree:        20000000 kB\nMemAvailable:   "
       "22000000 kB\nBuffers: 1 kB\n",
       22000000ull * 1024, kMaxOneReadWindow},
      {"MemTotal: 2097152 kB\nMemAvailable: 2097152 kB\n", 2048 * kMiB, 512 * kMiB},
      {"MemAvailable: 262144 kB\n", 256 * kMiB, kMinOneReadWindow},
      {"MemAvailable: 1048580 kB\n", 1048580ull * 1024, 1048580ull * 256},
      {"MemTotal: 2097152 kB\nMemFree: 1 kB\n", 0, kMinOneReadWindow},  // an old kernel
      {"XMemAvailable: 2097152 kB\n", 0, kMinOneReadWindow},
      {"MemAvailable: lots\n", 0, kMinOneReadWindow},
      {"", 0, kMinOneReadWindow},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.meminfo);
    EXPECT_EQ(MemAvailableIn(row.meminfo), row.available);
    EXPECT_EQ(OneReadWindowFor(MemAvailableIn(row.meminfo)), row.window);
  }
  EXPECT_EQ(OneReadWindowFor(UINT64_MAX), kMaxOneReadWindow);
}
