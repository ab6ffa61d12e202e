// Multipart ETag: file sizes around the part edges checked against Python's hashlib, the part
// limit, stops at progress lines, read faults, names that do not fit, ETag files that cannot
// be written, and archives that are not regular files. Small parts come from the part-size
// seam, so the 10,000-part cases run on files of kilobytes.
#include "etag.h"

#include "status_recorder.h"
#include "stream_io.h"
#include "test_util.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t kMiB10 = kEtagPartSize;

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 gen(seed);
  std::string out(size, '\0');
  for (auto& c : out) c = static_cast<char>(gen());
  return out;
}

std::string Progress(int part, int parts) {
  return "Calculating ETag (part " + std::to_string(part) + " of " + std::to_string(parts) + ")";
}

// Names in `dir` other than `keep`: a temporary file left behind shows up here.
std::vector<std::string> OtherFiles(const std::string& dir, const std::vector<std::string>& keep) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (std::find(keep.begin(), keep.end(), name) == keep.end()) out.push_back(name);
  }
  return out;
}

// `prefix` extended to exactly `length` characters by folders of at most 200 characters and a
// last name of at least 50, so no component passes NAME_MAX.
std::string PathOfLength(const std::string& prefix, size_t length) {
  std::string path = prefix;
  while (length - path.size() > 201 + 101) path += "/" + std::string(200, 'd');
  const size_t rest = length - path.size();  // 102 .. 302 for the lengths used here
  path += "/" + std::string(rest / 2 - 1, 'd');
  path += "/" + std::string(length - path.size() - 1, 'p');
  return path;
}

struct Expected {
  std::string whole;  // 32 hex digits
  std::string etag;   // 32 hex digits, "-", part count
};

// The whole-file MD5 and the ETag by Python's hashlib, reading parts of `part_size`.
bool PythonEtag(const std::string& path, size_t part_size, const TempDir& dir, Expected* out) {
  const std::string result = dir / "python.out";
  const int rc = RunCommand(
      "python3 -c 'import hashlib,sys\n"
      "p=int(sys.argv[2]); w=hashlib.md5(); ds=b\"\"; n=0\n"
      "f=open(sys.argv[1],\"rb\")\n"
      "while True:\n"
      "  b=f.read(p)\n"
      "  if not b: break\n"
      "  w.update(b); ds+=hashlib.md5(b).digest(); n+=1\n"
      "print(w.hexdigest(), hashlib.md5(ds).hexdigest()+\"-\"+str(n))' '" +
      path + "' " + std::to_string(part_size) + " > " + result);
  std::istringstream in(ReadFile(result));
  return rc == 0 && static_cast<bool>(in >> out->whole >> out->etag);
}

class EtagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recorder.Reset();
    ClearReadFault();
    fds_ = CountOpenFds();
  }
  void TearDown() override {
    SetEtagPartSizeForTesting(kEtagPartSize);
    ClearReadFault();
    EXPECT_EQ(CountOpenFds(), fds_) << "a descriptor was left open";
  }

  // ComputeEtag with standard output captured into `console`.
  bool Run(const std::string& path, std::string* console = nullptr) {
    g_recorder.Reset();
    ClearReadFault();  // restarts the read count
    testing::internal::CaptureStdout();
    const bool ok = ComputeEtag(path.c_str());
    const std::string out = testing::internal::GetCapturedStdout();
    if (console != nullptr) *console = out;
    return ok;
  }

  TempDir dir_;
  int fds_ = 0;
};

// Sizes around the part edges, with the product's part size and with small ones (100 is not a
// multiple of the 64-byte block, so the two digests cannot share blocks there).
TEST_F(EtagTest, SizesAroundPartEdgesMatchPython) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not found";
  struct Row {
    const char* name;
    size_t size;
    size_t part_size;
    int parts;
  };
  const Row rows[] = {
      {"empty", 0, kMiB10, 0},
      {"one_byte", 1, kMiB10, 1},
      {"exactly_one_part", kMiB10, kMiB10, 1},
      {"one_part_and_a_byte", kMiB10 + 1, kMiB10, 2},
      {"three_block_parts_exactly", 3 * 64, 64, 3},
      {"unaligned_parts_exactly", 1000, 100, 10},
      {"unaligned_parts_and_a_tail", 1050, 100, 11},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string archive = dir_ / (std::string(row.name) + ".zip");
    WriteFile(archive, RandomBytes(row.size, static_cast<uint32_t>(row.size)));
    ASSERT_TRUE(SetEtagPartSizeForTesting(row.part_size));
    Expected want;
    ASSERT_TRUE(PythonEtag(archive, row.part_size, dir_, &want));
    ASSERT_EQ(want.etag.substr(32), "-" + std::to_string(row.parts));

    std::string console;
    ASSERT_TRUE(Run(archive, &console));
    // A read per part and one more that finds the end; each announced by a progress line.
    const int reads = row.parts + 1;
    std::vector<std::string> progress;
    for (int i = 1; i <= reads; ++i) progress.push_back(Progress(i, row.parts));
    EXPECT_EQ(g_recorder.Statuses(), progress);
    EXPECT_EQ(ReadCallCount(), static_cast<uint64_t>(reads));
    EXPECT_EQ(g_recorder.Logs(), (std::vector<std::string>{"MD5: " + want.whole,
                                                           "Multipart ETag: " + want.etag + "\n"}));
    EXPECT_EQ(console, "\nETag: " + want.etag + "\n");
    EXPECT_EQ(ReadFile(archive + ".md5"),
              "MD5: " + want.whole + "\nMultipart ETag: " + want.etag + "\n\n");
  }
}

// A read that comes up short without an error (the seam allows 10 bytes of a part) must be
// continued: a shifted part boundary would change every later part digest.
TEST_F(EtagTest, ShortReadDoesNotShiftParts) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not found";
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, RandomBytes(700, 3));
  ASSERT_TRUE(SetEtagPartSizeForTesting(256));
  Expected want;
  ASSERT_TRUE(PythonEtag(archive, 256, dir_, &want));
  g_recorder.Reset();
  InjectReadFault(2, 10, false);
  testing::internal::CaptureStdout();
  ASSERT_TRUE(ComputeEtag(archive.c_str()));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "\nETag: " + want.etag + "\n");
  EXPECT_EQ(ReadFile(archive + ".md5"),
            "MD5: " + want.whole + "\nMultipart ETag: " + want.etag + "\n\n");
}

// Exactly 10,000 parts are accepted; one byte more is refused once 10,000 parts have been read.
// Part sizes of 1 (no shared blocks) and 64 (shared blocks).
TEST_F(EtagTest, PartLimit) {
  struct Row {
    const char* name;
    size_t part_size;
    size_t size;
    bool ok;
  };
  const Row rows[] = {
      {"ten_thousand_single_bytes", 1, 10000, true},
      {"one_byte_too_many", 1, 10001, false},
      {"ten_thousand_blocks", 64, 640000, true},
      {"one_block_byte_too_many", 64, 640001, false},
  };
  const bool python = HaveProgram("python3");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string archive = dir_ / (std::string(row.name) + ".zip");
    WriteFile(archive, RandomBytes(row.size, 11));
    ASSERT_TRUE(SetEtagPartSizeForTesting(row.part_size));
    const int parts = static_cast<int>((row.size + row.part_size - 1) / row.part_size);
    std::string console;
    EXPECT_EQ(Run(archive, &console), row.ok);
    const std::vector<std::string> statuses = g_recorder.Statuses();
    // 10,001 progress lines: the last finds the end, or finds data and the refusal follows.
    ASSERT_EQ(statuses.size(), row.ok ? 10001u : 10002u);
    EXPECT_EQ(statuses[10000], Progress(10001, parts));
    if (row.ok) {
      ASSERT_GT(console.size(), 7u);
      EXPECT_EQ(console.substr(console.size() - 7), "-10000\n");
      if (python) {
        Expected want;
        ASSERT_TRUE(PythonEtag(archive, row.part_size, dir_, &want));
        EXPECT_EQ(console, "\nETag: " + want.etag + "\n");
      }
    } else {
      EXPECT_EQ(statuses.back(), "Max parts (10000) exceeded");
      EXPECT_TRUE(g_recorder.Logs().empty());
      EXPECT_EQ(console, "");
      EXPECT_FALSE(std::filesystem::exists(archive + ".md5"));
    }
  }
}

// A stop at any progress line ends the computation at once: one status line "Stopped by user"
// and nothing more, no console output, and the ETag file from an earlier computation untouched.
TEST_F(EtagTest, StopAtProgressLineLeavesOldEtagFile) {
  const std::string archive = dir_ / "a.zip";
  const std::string etag_file = archive + ".md5";
  WriteFile(archive, RandomBytes(3 * 128, 5));
  ASSERT_TRUE(SetEtagPartSizeForTesting(128));  // three parts: four progress lines
  for (int stop_at = 1; stop_at <= 4; ++stop_at) {
    SCOPED_TRACE("stop at progress line " + std::to_string(stop_at));
    WriteFile(etag_file, "old text");
    g_recorder.Reset();
    g_recorder.stop_at = stop_at;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ComputeEtag(archive.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(g_recorder.calls, stop_at + 1);
    EXPECT_EQ(g_recorder.Statuses()[static_cast<size_t>(stop_at) - 1], Progress(stop_at, 3));
    EXPECT_EQ(g_recorder.LastStatus(), "Stopped by user");
    EXPECT_TRUE(g_recorder.Logs().empty());
    EXPECT_EQ(ReadFile(etag_file), "old text");
    EXPECT_EQ(OtherFiles(dir_.path(), {"a.zip", "a.zip.md5"}), std::vector<std::string>{});
  }
}

// A failing read anywhere, the last one (which finds the end) too, and one that delivers all
// but a byte of its part before failing: the computation ends with its status line, reports no
// digest, leaves the old ETag file as it was and no temporary file beside it.
TEST_F(EtagTest, ReadErrorLeavesOldEtagFile) {
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, RandomBytes(1000, 6));
  ASSERT_TRUE(SetEtagPartSizeForTesting(300));
  ASSERT_TRUE(Run(archive));
  const uint64_t reads = ReadCallCount();
  ASSERT_EQ(reads, 5u);  // four parts, the last of 100 bytes, and the read that finds the end
  struct Row {
    uint64_t nth;
    size_t allowed;  // bytes the failing read still delivers
  };
  std::vector<Row> rows;
  for (uint64_t nth = 1; nth <= reads; ++nth) rows.push_back({nth, 0});
  rows.push_back({2, 299});
  WriteFile(archive + ".md5", "old text");
  for (const Row& row : rows) {
    SCOPED_TRACE("read " + std::to_string(row.nth) + " fails after " +
                 std::to_string(row.allowed) + " bytes");
    g_recorder.Reset();
    const int fds = CountOpenFds();
    InjectReadFault(row.nth, row.allowed, true);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ComputeEtag(archive.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ClearReadFault();
    EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
    EXPECT_EQ(g_recorder.Statuses().size(), row.nth + 1);
    EXPECT_EQ(g_recorder.LastStatus(), "Error reading archive");
    EXPECT_TRUE(g_recorder.Logs().empty()) << "no digest may be reported";
    EXPECT_EQ(ReadFile(archive + ".md5"), "old text");
    EXPECT_EQ(OtherFiles(dir_.path(), {"a.zip", "a.zip.md5"}), std::vector<std::string>{});
  }
}

TEST_F(EtagTest, SecondComputationReusesBufferAndRepeatsResult) {
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, RandomBytes(kMiB10 + 4321, 8));
  ASSERT_TRUE(Run(archive));
  const unsigned char* buffer = EtagPartBufferForTesting();
  ASSERT_NE(buffer, nullptr);
  const std::string first_file = ReadFile(archive + ".md5");
  const std::vector<std::string> first_logs = g_recorder.Logs();
  WriteFile(archive + ".md5", "old text that is longer than the new text will be, to see it cut");
  ASSERT_TRUE(Run(archive));
  EXPECT_EQ(EtagPartBufferForTesting(), buffer);
  EXPECT_EQ(g_recorder.Logs(), first_logs);
  EXPECT_EQ(ReadFile(archive + ".md5"), first_file);
}

// A name is never cut short to fit: the whole path must fit PATH_MAX and the ETag file's own
// name NAME_MAX, or nothing is read and nothing is written.
TEST_F(EtagTest, EtagFileNameMustFit) {
  struct Row {
    const char* name;
    std::string archive;
    bool create;
    std::string status;  // the last status line
    bool ok;
  };
  const std::string short_name(NAME_MAX - 4, 'n');  // with ".md5", exactly NAME_MAX
  const std::string long_name(NAME_MAX - 3, 'n');
  const Row rows[] = {
      // "<path>.md5" and its terminator are one past PATH_MAX.
      {"path_one_past_path_max", PathOfLength(dir_.path(), PATH_MAX - 4), false,
       "ETag file name too long", false},
      // Fits; the archive's folders do not exist.
      {"path_fits_path_max", PathOfLength(dir_.path(), PATH_MAX - 5), false, "Can't open archive",
       false},
      {"component_past_name_max", dir_ / long_name, true, "ETag file name too long", false},
      {"component_fits_name_max", dir_ / short_name, true, Progress(2, 1), true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.create) WriteFile(row.archive, "x");
    EXPECT_EQ(Run(row.archive), row.ok);
    EXPECT_EQ(g_recorder.LastStatus(), row.status);
    if (row.ok) {
      EXPECT_EQ(ReadFile(row.archive + ".md5").substr(0, 5), "MD5: ");
    } else {
      EXPECT_EQ(g_recorder.records.size(), 1u) << "the failure is the only report";
      EXPECT_EQ(OtherFiles(dir_.path(), {long_name, short_name, short_name + ".md5"}),
                std::vector<std::string>{})
          << "nothing written";
    }
  }
}

// ETag files that cannot be written, each in a way that holds for root too (the tests run as
// root, for whom a read-only folder mode means nothing). Each reports the two log lines, then
// the failure; an old ETag file stays as it was and no temporary file remains.
TEST_F(EtagTest, DirectoryInTheWayOfEtagFile) {
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, "data");
  ASSERT_TRUE(std::filesystem::create_directory(archive + ".md5"));
  EXPECT_FALSE(Run(archive));
  EXPECT_EQ(g_recorder.Logs().size(), 2u);
  EXPECT_EQ(g_recorder.LastStatus(), "Can't write ETag file");
  EXPECT_TRUE(std::filesystem::is_empty(archive + ".md5"));
  EXPECT_EQ(OtherFiles(dir_.path(), {"a.zip", "a.zip.md5"}), std::vector<std::string>{});
}

// sysfs holds regular files but refuses new ones, even to root: a read-only folder.
TEST_F(EtagTest, FolderThatTakesNoNewFiles) {
  const char* kSysFile = "/sys/kernel/profiling";  // "0\n" or "1\n"
  if (KindOf(kSysFile) != PathKind::kRegular || ReadFile(kSysFile).empty())
    GTEST_SKIP() << kSysFile << " is not a readable file here";
  EXPECT_FALSE(Run(kSysFile));
  EXPECT_EQ(g_recorder.Logs().size(), 2u);
  EXPECT_EQ(g_recorder.LastStatus(), "Can't write ETag file");
}

// A full disk, made by a file size limit: writes past the limit fail with EFBIG (SIGXFSZ
// ignored). The failure shows only when the buffered text is flushed. Limits inside the first
// line, and one byte short of the whole text.
TEST_F(EtagTest, DiskFullLeavesOldEtagFile) {
  const std::string archive = dir_ / "b.zip";
  WriteFile(archive, RandomBytes(5000, 9));
  ASSERT_TRUE(Run(archive));
  const size_t text_size = ReadFile(archive + ".md5").size();
  ASSERT_GT(text_size, 40u);
  for (rlim_t size_limit : {rlim_t{10}, rlim_t{20}, static_cast<rlim_t>(text_size - 1)}) {
    SCOPED_TRACE("writes limited to " + std::to_string(size_limit) + " bytes");
    WriteFile(archive + ".md5", "old text");
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = size_limit;
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    g_recorder.Reset();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool ok = ComputeEtag(archive.c_str());
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(g_recorder.Logs().size(), 2u);
    EXPECT_EQ(g_recorder.LastStatus(), "Can't write ETag file");
    EXPECT_EQ(ReadFile(archive + ".md5"), "old text");
    EXPECT_EQ(OtherFiles(dir_.path(), {"b.zip", "b.zip.md5"}), std::vector<std::string>{});
  }
}

// A small tmpfs mounted for one test; `ok()` false when mounting is not allowed here.
class SmallTmpfs {
 public:
  SmallTmpfs(const std::string& where, const char* options) : where_(where) {
    std::filesystem::create_directories(where_);
    mounted_ = mount("tmpfs", where_.c_str(), "tmpfs", 0, options) == 0;
    error_ = errno;
  }
  ~SmallTmpfs() {
    if (mounted_) umount2(where_.c_str(), MNT_DETACH);
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;
  bool ok() const { return mounted_; }
  bool MakeReadOnly() {
    return mount("tmpfs", where_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  std::string why() const { return strerror(error_); }

 private:
  std::string where_;
  bool mounted_ = false;
  int error_ = 0;
};

// A disk that is really full (ENOSPC, not a size limit): a 64 KiB tmpfs with every block taken.
TEST_F(EtagTest, FullFileSystemLeavesOldEtagFile) {
  const std::string mnt = dir_ / "full";
  SmallTmpfs tmpfs(mnt, "size=64k");
  if (!tmpfs.ok()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.why();
  const std::string archive = mnt + "/a.zip";
  WriteFile(archive, "not much of an archive");
  WriteFile(archive + ".md5", "old text");
  {
    FILE* f = fopen((mnt + "/filler").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const std::string block(4096, 'x');
    while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
    }
    fclose(f);
  }
  EXPECT_FALSE(Run(archive));
  EXPECT_EQ(g_recorder.Logs().size(), 2u);
  EXPECT_EQ(g_recorder.LastStatus(), "Can't write ETag file");
  EXPECT_EQ(ReadFile(archive + ".md5"), "old text");
  EXPECT_EQ(OtherFiles(mnt, {"a.zip", "a.zip.md5", "filler"}), std::vector<std::string>{})
      << "a partial file stayed";
}

// A read-only file system holding an old ETag file. Without a mount, a folder's mode does the
// same for anyone but root.
TEST_F(EtagTest, ReadOnlyFileSystemLeavesOldEtagFile) {
  const std::string mnt = dir_ / "ro";
  SmallTmpfs tmpfs(mnt, "size=1m");
  if (!tmpfs.ok() && geteuid() == 0)
    GTEST_SKIP() << "root ignores folder modes and cannot mount here: " << tmpfs.why();
  const std::string archive = mnt + "/a.zip";
  WriteFile(archive, "not much of an archive");
  WriteFile(archive + ".md5", "old text");
  if (tmpfs.ok()) {
    ASSERT_TRUE(tmpfs.MakeReadOnly());
  } else {
    std::filesystem::permissions(mnt, std::filesystem::perms::owner_read |
                                          std::filesystem::perms::owner_exec);
  }
  EXPECT_FALSE(Run(archive));
  EXPECT_EQ(g_recorder.Logs().size(), 2u);
  EXPECT_EQ(g_recorder.LastStatus(), "Can't write ETag file");
  EXPECT_EQ(ReadFile(archive + ".md5"), "old text");
  EXPECT_EQ(OtherFiles(mnt, {"a.zip", "a.zip.md5"}), std::vector<std::string>{});
}

// Only a regular file is read: a FIFO would block the computation, a directory has no bytes.
TEST_F(EtagTest, ArchiveThatIsNotAFile) {
  const std::string fifo = dir_ / "fifo.zip";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string folder = dir_ / "folder.zip";
  std::filesystem::create_directory(folder);
  for (const std::string& path : {fifo, folder, dir_ / "missing.zip"}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(Run(path));
    EXPECT_EQ(g_recorder.Statuses(), std::vector<std::string>{"Can't open archive"});
    EXPECT_EQ(g_recorder.records.size(), 1u);
    EXPECT_FALSE(std::filesystem::exists(path + ".md5"));
  }
}

}  // namespace
