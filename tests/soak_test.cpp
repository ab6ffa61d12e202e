// Soak: 10,000 verifications in one process, cycling through a sound internal run, a sound
// external run, a run that fails mid-archive (its archive stream is closed by the run, not the
// walk) and a run stopped mid-inflate, with an ETag computation every tenth cycle. Whatever a
// run allocates or opens must be given back: the open descriptors after the last cycle equal
// those after the first, and the resident memory after the last cycle is within a few pages
// (the allocator's own bookkeeping) of that after the first and of that after a short warm-up.
// Every run's result is checked too, so a run that silently stops working fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "test_run.h"
#include "etag.h"
#include "status_recorder.h"
#include "test_util.h"
#include "zip_builder.h"

#if defined(__SANITIZE_ADDRESS__)
// AddressSanitizer keeps freed blocks in quarantine (256 MiB by default, and a per-thread cache
// of about 1 MiB in front of it) instead of reusing them, so resident memory would grow with
// every allocation whether or not anything leaks: measured here, the per-thread cache alone
// added over 500 pages in the first 30 cycles. Without either a freed block is reused and a
// real leak still shows (and leak detection at exit still reports it).
extern "C" const char* __asan_default_options() {
  return "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
}
#endif

namespace {

constexpr int kVerifications = 10000;
constexpr long kSlackPages = 8;
// The allocator sets up its size classes (and, under AddressSanitizer, their shadow memory) in
// the first cycles; what comes after them must not grow. Each cycle is four verifications.
constexpr int kWarmUpCycles = 50;

// Resident pages of this process, read without touching the heap (a reading that allocated
// would change what it measures). The first reading also brings in the code it runs after the
// number is taken, some 16 pages measured here: the test takes one before it starts counting.
long ResidentPages() {
  int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[128];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  char* end = nullptr;
  strtol(text, &end, 10);  // total program size; the resident count follows
  const long resident = strtol(end, &end, 10);
  return resident > 0 ? resident : -1;
}

// Sends standard output (the ETag lines) to /dev/null for the life of the object.
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, STDOUT_FILENO);
    close(null_fd);
  }
  ~QuietStdout() {
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_;
};

TEST(Soak, TenThousandRunsGiveBackWhatTheyTake) {
  TempDir dir;
  TempDir lists;
  ASSERT_TRUE(SetNameListFolder(lists.path().c_str()));
  const std::string big = zipt::RandomBytes(40000, 5);  // three 16 KiB chunks of input
  const zipt::ZipPlan plan = zipt::Plan({zipt::Entry("a.txt", zipt::Text(50)),
                                         zipt::Entry("big.bin", big, 8),
                                         zipt::Entry("c.txt", zipt::Text(400), 8)});
  const std::string good = dir / "good.zip";
  const std::string bad = dir / "bad.zip";
  zipt::ZipLayout layout = zipt::BuildZipLayout(plan);
  WriteFile(good, layout.bytes);
  // The second entry's central CRC-32 off by one: the walk fails after reading its data.
  WriteFile(bad, zipt::MessWith(layout.bytes,
                                layout.entries[1].central + zipt::kCentralCrcAt, 0x01));
  const std::string src = dir / "src";
  WriteFile(src + "/a.txt", zipt::Text(50));
  WriteFile(src + "/big.bin", big);
  WriteFile(src + "/c.txt", zipt::Text(400));

  ASSERT_GT(ResidentPages(), 0);  // the reading's own first-use pages, before any count
  long first_pages = 0, warm_pages = 0, last_pages = 0;
  int first_fds = 0, last_fds = 0;
  int failures = 0;
  std::string first_failure;
  {
    QuietStdout quiet;
    for (int done = 0, cycle = 0; done < kVerifications; ++cycle) {
      g_recorder.Reset();  // the stop request of the last stopped run, too
      if (cycle % 10 == 0 && !ComputeEtag(good.c_str())) {
        ++failures;
        first_failure = "ETag: " + g_recorder.LastStatus();
      }
      struct Step {
        const char* archive;
        bool external;
        int stop_at;
        const char* want;
      } steps[] = {
          {good.c_str(), false, 0, "OK"},
          {good.c_str(), true, 0, "OK"},
          {bad.c_str(), false, 0, "Verification failed"},
          {good.c_str(), false, 4, "Stopped by user"},  // at big.bin's first progress line
      };
      for (const Step& s : steps) {
        g_recorder.Reset();
        g_recorder.stop_at = s.stop_at;
        const char* got = RunVerification(s.external ? src.c_str() : "", s.archive, s.external);
        if ((std::string(got) != s.want || TestVerification().HoldsOpenStreams()) && failures++ == 0)
          first_failure = std::string("run ") + std::to_string(done) + ": " + got;
        ++done;
      }
      if (cycle == 0) {
        // Descriptors first: the listing's own buffer is then in the page count, as it is in
        // the last one.
        first_fds = CountOpenFds();
        first_pages = ResidentPages();
      }
      if (cycle == kWarmUpCycles) warm_pages = ResidentPages();
      if (failures > 0) break;
    }
    last_fds = CountOpenFds();
    last_pages = ResidentPages();
  }
  g_recorder.Reset();
  SetNameListFolder(kDefaultNameListFolder);
  ASSERT_EQ(failures, 0) << first_failure;
  ASSERT_GT(first_pages, 0);
  EXPECT_EQ(last_fds, first_fds);
  EXPECT_LE(last_pages - first_pages, kSlackPages)
      << "resident pages grew from " << first_pages << " after the first cycle to " << last_pages;
  EXPECT_LE(last_pages - warm_pages, kSlackPages)
      << "resident pages grew from " << warm_pages << " after the warm-up to " << last_pages;
}

}  // namespace
