// Injected faults. Through the read seam of stream_io.h, every read of a clean run is made to
// come up short (or to fail) in turn: each must end the run with exactly one failure line, the
// text of its own read site, and leave no stream or descriptor open; the tally of texts over all
// reads shows that every entry's reads reach their site (a three-entry archive gives each
// per-entry site three times). Then the ETag file: a failing read of the ETag computation, a
// full disk and a read-only folder, none of which may leave an ETag file behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "engine_state.h"
#include "etag.h"
#include "status_recorder.h"
#include "stream_io.h"
#include "test_util.h"
#include "verify_run.h"
#include "zip_builder.h"

namespace fs = std::filesystem;
using zipt::Descriptor;
using zipt::ZipEntry;
using zipt::ZipSpec;

namespace {

ZipEntry Entry(const std::string& name, const std::string& data, uint16_t method) {
  ZipEntry e;
  e.name = name;
  e.data = data;
  e.method = method;
  return e;
}

// Extra fields in both headers and a data descriptor, so that every per-entry read site has a
// read to cut.
ZipEntry Full(ZipEntry e, Descriptor descriptor) {
  e.central_extra = zipt::SubField(0xCAFE, "abcd");
  e.local_extra = zipt::SubField(0xCAFE, "efghij");
  e.descriptor = descriptor;
  return e;
}

std::string Text(int lines) {
  std::string s;
  for (int i = 0; i < lines; ++i) s += "line " + std::to_string(i) + "\n";
  return s;
}

const std::string kA = Text(30);
const std::string kC = Text(7);
// 40,000 bytes in one stored deflate block: 40,005 compressed bytes, read in three chunks.
const std::string kBig = zipt::RandomBytes(40000, 9);

ZipSpec ThreeEntries() {
  ZipSpec s;
  ZipEntry big = Entry("big.bin", kBig, 8);
  big.compressed = zipt::DeflateStored(kBig);
  s.entries = {Full(Entry("a.txt", kA, 0), Descriptor::kSigned), Full(big, Descriptor::kNone),
               Full(Entry("c.txt", kC, 0), Descriptor::kUnsigned)};
  return s;
}

ZipSpec StoredOnly() {
  ZipSpec s;
  s.entries = {Full(Entry("a.txt", kA, 0), Descriptor::kSigned),
               Full(Entry("c.txt", kC, 0), Descriptor::kUnsigned)};
  return s;
}

ZipSpec Zip64One() {
  ZipSpec s;
  s.zip64 = true;
  ZipEntry e = Entry("a.txt", kA, 0);
  e.zip64_central = zipt::kZ64Compressed | zipt::kZ64Uncompressed | zipt::kZ64Offset;
  e.zip64_local = zipt::kZ64Compressed | zipt::kZ64Uncompressed;
  s.entries = {e};
  return s;
}

std::string Site(int n) { return "Error reading archive (" + std::to_string(n) + ")"; }

// How often a text must come out over all the reads of a sweep: at least `min`, at most `max`.
struct Tally {
  std::string text;  // "{src}" stands for the comparison folder
  int min;
  int max;
};

struct Row {
  const char* name;
  ZipSpec (*spec)();
  bool external;
  size_t allowed;  // bytes the cut read still delivers
  bool fail;       // the cut read also sets the stream's error indicator
  std::vector<Tally> tallies;
};

std::vector<Tally> Once(std::initializer_list<int> sites) {
  std::vector<Tally> out;
  for (int s : sites) out.push_back({Site(s), 1, 1});
  return out;
}
std::vector<Tally> Times(int n, std::initializer_list<int> sites) {
  std::vector<Tally> out;
  for (int s : sites) out.push_back({Site(s), n, n});
  return out;
}
std::vector<Tally> Join(std::initializer_list<std::vector<Tally>> parts) {
  std::vector<Tally> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class FaultInjectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetNameListFolder(lists_.path().c_str()));
    ClearReadFault();
  }
  void TearDown() override {
    ClearReadFault();
    SetNameListFolder(kDefaultNameListFolder);
    g_recorder.Reset();
  }
  std::string src() const { return dir_ / "src"; }
  std::string archive() const { return dir_ / "f.zip"; }

  // One verification; the failure lines it reported (everything but the opening and closing
  // lines) and its result. Checks that it left nothing open.
  std::string Verify(bool external, std::vector<std::string>* failures) {
    g_recorder.Reset();
    int fds = CountOpenFds();
    std::string result = RunVerification(external ? src().c_str() : "", archive().c_str(), external);
    EXPECT_EQ(g_archive, nullptr);
    EXPECT_EQ(g_archiveList, nullptr);
    EXPECT_EQ(g_folderList, nullptr);
    EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
    failures->clear();
    for (const auto& line : g_recorder.Logs()) {
      if (line == kVerifyingInternally || line == kVerifyingExternally) continue;
      if (line.rfind("Verified ", 0) == 0) continue;
      if (line.find("couldn't be opened externally") != std::string::npos) continue;
      if (line.find("compared correctly") != std::string::npos) continue;
      failures->push_back(line);
    }
    return result;
  }

  TempDir dir_;
  TempDir lists_;
};

TEST_F(FaultInjectionTest, EveryReadOfTheWalkFailsWithItsSiteText) {
  const std::vector<Row> rows = {
      {"three entries, internal, read cut to nothing", ThreeEntries, false, 0, false,
       Join({Once({1, 2, 3}), Times(3, {5, 6, 7, 8, 9, 12}), Times(2, {10, 11}),
             {{"Incomplete file in archive", 2, 2}, {"inf() error: -3", 3, 3}}})},
      {"three entries, internal, read error", ThreeEntries, false, 0, true,
       Join({Once({1, 2, 3}), Times(3, {5, 6, 7, 8, 9, 12}), Times(2, {10, 11}),
             {{"Incomplete file in archive", 2, 2}, {"inf() error: -1", 3, 3}}})},
      {"stored entries, internal, one byte of each read", StoredOnly, false, 1, false,
       Join({Once({1, 2, 3}), Times(2, {5, 6, 7, 8, 9, 12, 10, 11}),
             {{"Incomplete file in archive", 2, 2}}})},
      {"ZIP64, internal", Zip64One, false, 0, false,
       Join({Once({1, 2, 3, 4, 5, 6, 7, 8, 9, 12}), {{"Incomplete file in archive", 1, 1}}})},
      {"three entries, external, read cut to nothing", ThreeEntries, true, 0, false,
       Join({Once({1, 2, 3}), Times(3, {5, 6, 7, 8, 9, 12}), Times(2, {10, 11}),
             {{"Incomplete file in archive", 2, 2},
              {"Incomplete external file {src}/a.txt", 1, 1},
              {"Incomplete external file {src}/c.txt", 1, 1},
              {"Error decompressing file {src}/big.bin (-3)", 3, 3},
              // one external read per inflate call that produced bytes
              {"Contents differ in file {src}/big.bin", 3, 4}}})},
      {"three entries, external, read error", ThreeEntries, true, 0, true,
       Join({Once({1, 2, 3}), Times(3, {5, 6, 7, 8, 9, 12}), Times(2, {10, 11}),
             {{"Incomplete file in archive", 2, 2},
              {"Incomplete external file {src}/a.txt", 1, 1},
              {"Incomplete external file {src}/c.txt", 1, 1},
              {"Error decompressing file {src}/big.bin (-1)", 3, 3},
              {"Contents differ in file {src}/big.bin", 3, 4}}})},
      {"stored entries, external, one byte of each read", StoredOnly, true, 1, false,
       Join({Once({1, 2, 3}), Times(2, {5, 6, 7, 8, 9, 12, 10, 11}),
             {{"Incomplete file in archive", 2, 2},
              {"Incomplete external file {src}/a.txt", 1, 1},
              {"Incomplete external file {src}/c.txt", 1, 1}}})},
  };
  std::vector<std::string> failures;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ZipSpec spec = row.spec();
    WriteFile(archive(), zipt::BuildZip(spec));
    // The comparison folder holds exactly the archive's files.
    fs::remove_all(src());
    for (const ZipEntry& e : spec.entries) WriteFile(src() + "/" + e.name, e.data);
    ClearReadFault();
    ASSERT_EQ(Verify(row.external, &failures), "OK");
    ASSERT_TRUE(failures.empty());
    const uint64_t reads = ReadCallCount();

    std::map<std::string, int> tally;
    for (uint64_t n = 1; n <= reads; ++n) {
      InjectReadFault(n, row.allowed, row.fail);
      std::string result = Verify(row.external, &failures);
      ClearReadFault();
      EXPECT_EQ(result, "Verification failed") << "read " << n << " of " << reads;
      ASSERT_EQ(failures.size(), 1u) << "read " << n << " of " << reads;
      ++tally[failures[0]];
    }
    // The seam leaves nothing behind: the next clean run passes.
    EXPECT_EQ(Verify(row.external, &failures), "OK");

    int expected_reads_min = 0, expected_reads_max = 0;
    for (const Tally& t : row.tallies) {
      std::string text = t.text;
      if (size_t at = text.find("{src}"); at != std::string::npos) text.replace(at, 5, src());
      int got = tally.count(text) ? tally[text] : 0;
      EXPECT_GE(got, t.min) << text;
      EXPECT_LE(got, t.max) << text;
      tally.erase(text);
      expected_reads_min += t.min;
      expected_reads_max += t.max;
    }
    for (const auto& [text, count] : tally) ADD_FAILURE() << "unexpected: " << text << " x" << count;
    EXPECT_GE(reads, static_cast<uint64_t>(expected_reads_min));
    EXPECT_LE(reads, static_cast<uint64_t>(expected_reads_max));
  }
}

// --- ETag computation -------------------------------------------------------------------------

class EtagFaultTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ClearReadFault();
    SetEtagPartSizeForTesting(kEtagPartSize);
    g_recorder.Reset();
  }
  // Runs the computation; its result, and checks that it left no descriptor open.
  bool Etag(const std::string& path) {
    g_recorder.Reset();
    int fds = CountOpenFds();
    fflush(stdout);
    bool ok = ComputeEtag(path.c_str());
    fflush(stdout);
    EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
    return ok;
  }
  // The files of `folder`, by name.
  static std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(folder)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
  }
  TempDir dir_;
};

TEST_F(EtagFaultTest, EveryReadErrorEndsTheComputationWithoutAFile) {
  // Parts of 1,000 bytes through the part-size seam: four parts (the last of 500 bytes), then
  // the read that finds the end. An old ETag file must survive every failure unchanged.
  ASSERT_TRUE(SetEtagPartSizeForTesting(1000));
  const std::string path = dir_ / "parts.zip";
  WriteFile(path, zipt::RandomBytes(3500, 4));
  ClearReadFault();
  ASSERT_TRUE(Etag(path));
  const uint64_t reads = ReadCallCount();
  EXPECT_EQ(reads, 5u);
  WriteFile(path + ".md5", "old\n");
  for (uint64_t n = 1; n <= reads; ++n) {
    SCOPED_TRACE("read " + std::to_string(n));
    InjectReadFault(n, n == 2 ? 999 : 0, true);  // one read delivers all but a byte
    EXPECT_FALSE(Etag(path));
    ClearReadFault();
    EXPECT_EQ(g_recorder.LastStatus(), kEtagReadError);
    EXPECT_TRUE(g_recorder.Logs().empty()) << "no digest may be reported";
    EXPECT_EQ(ReadFile(path + ".md5"), "old\n");
    EXPECT_EQ(Names(dir_.path()), (std::vector<std::string>{"parts.zip", "parts.zip.md5"}));
  }
  SetEtagPartSizeForTesting(kEtagPartSize);
}

// A small tmpfs mounted for one test; `ok()` false when mounting is not allowed here.
class SmallTmpfs {
 public:
  explicit SmallTmpfs(const std::string& where, const char* options) : where_(where) {
    fs::create_directories(where_);
    mounted_ = mount("tmpfs", where_.c_str(), "tmpfs", 0, options) == 0;
    error_ = errno;
  }
  ~SmallTmpfs() {
    if (mounted_) umount2(where_.c_str(), MNT_DETACH);
  }
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

const char* kCantWrite = kCantWriteEtagFile;

TEST_F(EtagFaultTest, FullDiskGivesItsTextAndLeavesNoFile) {
  const std::string mnt = dir_ / "full";
  SmallTmpfs tmpfs(mnt, "size=64k");
  if (!tmpfs.ok()) GTEST_SKIP() << "cannot mount a tmpfs here: " << tmpfs.why();
  const std::string path = mnt + "/a.zip";
  WriteFile(path, "not much of an archive");
  WriteFile(path + ".md5", "old\n");
  // Fill every block that is left.
  {
    FILE* f = fopen((mnt + "/filler").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::string block(4096, 'x');
    while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
    }
    fclose(f);
  }
  EXPECT_FALSE(Etag(path));
  EXPECT_EQ(g_recorder.LastStatus(), kCantWrite);
  EXPECT_EQ(Names(mnt), (std::vector<std::string>{"a.zip", "a.zip.md5", "filler"}))
      << "a partial file stayed";
  EXPECT_EQ(ReadFile(path + ".md5"), "old\n");
}

TEST_F(EtagFaultTest, FileSizeLimitGivesItsTextAndLeavesNoFile) {
  // The same failure without a mount: writes beyond the limit fail with EFBIG.
  const std::string path = dir_ / "a.zip";
  WriteFile(path, "not much of an archive");
  WriteFile(path + ".md5", "old\n");
  struct rlimit old_limit;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct sigaction ignore{}, old_action{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGXFSZ, &ignore, &old_action);
  struct rlimit small = old_limit;
  small.rlim_cur = 10;  // fewer bytes than either line of the file
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool ok = Etag(path);
  setrlimit(RLIMIT_FSIZE, &old_limit);
  sigaction(SIGXFSZ, &old_action, nullptr);
  EXPECT_FALSE(ok);
  EXPECT_EQ(g_recorder.LastStatus(), kCantWrite);
  EXPECT_EQ(Names(dir_.path()), (std::vector<std::string>{"a.zip", "a.zip.md5"}))
      << "a partial file stayed";
  EXPECT_EQ(ReadFile(path + ".md5"), "old\n");
}

TEST_F(EtagFaultTest, ReadOnlyFolderGivesItsTextAndLeavesNoFile) {
  const std::string mnt = dir_ / "ro";
  SmallTmpfs tmpfs(mnt, "size=1m");
  if (!tmpfs.ok()) {
    // Without a mount, permissions do the same for anyone but root.
    if (geteuid() == 0) GTEST_SKIP() << "root ignores permissions and cannot mount: " << tmpfs.why();
    fs::create_directories(mnt);
  }
  const std::string path = mnt + "/a.zip";
  WriteFile(path, "not much of an archive");
  WriteFile(path + ".md5", "old\n");
  if (tmpfs.ok()) {
    ASSERT_TRUE(tmpfs.MakeReadOnly());
  } else {
    fs::permissions(mnt, fs::perms::owner_read | fs::perms::owner_exec);
  }
  EXPECT_FALSE(Etag(path));
  EXPECT_EQ(g_recorder.LastStatus(), kCantWrite);
  EXPECT_EQ(Names(mnt), (std::vector<std::string>{"a.zip", "a.zip.md5"}));
  EXPECT_EQ(ReadFile(path + ".md5"), "old\n");
}

}  // namespace
