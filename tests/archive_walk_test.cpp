// Archive walk and verification run, driven through RunVerification with the recording status
// channel: the exact log lines of every failure and of success, in order; the end-record search;
// ZIP64 markers; data descriptors; the external comparison and its two lookups; name lists;
// progress texts. Hostile archives are in hostile_cli_test.cpp. Archives are built in code (zip_builder.h) and
// written to a temporary folder; every run must leave no stream and no descriptor open, and may
// open no file but the archive and, in an external run, files under the compared folder's parent
// (where the second lookup goes): every open goes through the engine's open hook and is recorded.
// Read faults are in fault_injection_test.cpp, stop requests in stop_points_test.cpp.
#include "archive_walk.h"

#include "test_run.h"
#include "status_recorder.h"
#include "stream_io.h"
#include "test_util.h"
#include "zip_builder.h"

#include <algorithm>
#include <climits>
#include <zlib.h>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace zipt;

namespace {

using Lines = std::vector<std::string>;

template <typename F>
ZipEntry With(ZipEntry e, F change) {
  change(e);
  return e;
}
template <typename F>
ZipPlan With(ZipPlan s, F change) {
  change(s);
  return s;
}

const std::string kText = "The quick brown fox jumps over the lazy dog.\n";
const std::string kLong = [] {
  std::string s;
  for (int i = 0; i < 2000; ++i) s += "line " + std::to_string(i) + " of a compressible file\n";
  return s;
}();

// Replaces every "{src}" with the comparison folder's path.
std::string Subst(std::string text, const std::string& folder) {
  for (size_t at; (at = text.find("{src}")) != std::string::npos;) text.replace(at, 5, folder);
  return text;
}

struct Outcome {
  std::string result;
  Lines logs;
  Lines statuses;
  Lines opened = {};  // every path the run opened, made absolute
};

// `path` made absolute and free of "." and ".." components, without trailing separators.
std::string Normal(const std::string& path) {
  std::string p = fs::absolute(path).lexically_normal().string();
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}
bool Inside(const std::string& path, const std::string& folder) {
  return path == folder || path.rfind(folder + "/", 0) == 0;
}

// The opens among `opened` that a run had no business making: anything but the archive and,
// when `folder` is given, the files under its parent.
Lines Breaches(const Lines& opened, const std::string& archive, const std::string& folder) {
  const std::string parent = folder.empty() ? "" : fs::path(Normal(folder)).parent_path().string();
  Lines out;
  for (const auto& p : opened) {
    const std::string n = Normal(p);
    if (n == Normal(archive) || (!parent.empty() && Inside(n, parent))) continue;
    out.push_back(p);
  }
  return out;
}

Lines* g_opened = nullptr;

FILE* RecordingOpen(const char* path) {
  g_opened->push_back(fs::absolute(path).string());
  SetOpenHook(nullptr);
  FILE* f = OpenRegularFile(path);
  SetOpenHook(RecordingOpen);
  return f;
}

class ArchiveWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetNameListFolder(lists_.path().c_str()));
    g_recorder.Reset();
    ClearReadFault();
    fs::create_directories(src());
  }
  void TearDown() override {
    ClearReadFault();
    SetOpenHook(nullptr);
    SetNameListFolder(kDefaultNameListFolder);
    g_recorder.Reset();
  }

  std::string src() const { return dir_ / "src"; }
  std::string archive() const { return dir_ / "a.zip"; }
  void Put(const std::string& bytes) { WriteFile(archive(), bytes); }

  // One run with one job, and with TestJobs() jobs when that is more, which must report, list
  // and return exactly the same.
  Outcome Run(bool external, const std::string& folder, const std::string& path, int stop_at = 0) {
    Outcome one = RunWith(1, external, folder, path, stop_at);
    if (TestJobs() == 1) return one;
    const Lines reports = g_recorder.All();
    const auto progress = g_recorder.progress;
    const std::string lists = ReadFile(lists_ / "x1.txt") + "\n--\n" + ReadFile(lists_ / "x2.txt");
    Outcome many = RunWith(TestJobs(), external, folder, path, stop_at);
    EXPECT_EQ(many.result, one.result) << "with " << TestJobs() << " jobs";
    EXPECT_EQ(g_recorder.All(), reports) << "with " << TestJobs() << " jobs";
    EXPECT_EQ(g_recorder.progress, progress) << "with " << TestJobs() << " jobs";
    EXPECT_EQ(ReadFile(lists_ / "x1.txt") + "\n--\n" + ReadFile(lists_ / "x2.txt"), lists);
    return one;
  }
  // One run; checks that it left nothing open and opened nothing it should not have.
  Outcome RunWith(int jobs, bool external, const std::string& folder, const std::string& path,
                  int stop_at) {
    g_testJobs = jobs;
    TestVerification().SetHandOverLengths(0, 0);  // every entry goes through a worker
    // and those at least as long as the mean are started early, as far as there is room
    TestVerification().SetEarlyLengths(0, 1);
    g_recorder.Reset();
    g_recorder.stop_at = stop_at;
    int fds = CountOpenFds();
    Lines opened;
    g_opened = &opened;
    SetOpenHook(RecordingOpen);
    const char* result = RunVerification(folder.c_str(), path.c_str(), external);
    SetOpenHook(nullptr);
    g_opened = nullptr;
    EXPECT_FALSE(TestVerification().HoldsOpenStreams()) << "the archive stream is still open";
    EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
    EXPECT_EQ(Breaches(opened, path, external ? folder : ""), Lines{})
        << "opened outside the archive and the compared folder's parent";
    return {result ? result : "(null)", g_recorder.Logs(), g_recorder.Statuses(), opened};
  }
  Outcome Run(bool external, int stop_at = 0) {
    return Run(external, external ? src() : "", archive(), stop_at);
  }

  TempDir dir_;
  TempDir lists_;
};

using Make = std::function<std::string()>;                    // the archive's bytes
using Fill = std::function<void(const std::string& folder)>;  // the comparison folder's files

const char* kInt = "Verifying internally...";
const char* kExt = "Verifying externally...";
const char* kFailed = "Verification failed";
const char* kNotFound = "End of central directory record not found";
const char* kEntryA = "Entry 0: a.txt";  // before every fault inside the archive most rows use
const char* kEncryptedText = "Encrypted entry; not necessarily corrupted.";
const char* kSizesDiffer = "Central directory and local sizes (after data) not equal";

// One stored "a.txt" holding kText: the archive most rows change one thing of.
ZipEntry A() { return Stored("a.txt", kText); }

template <typename T, typename V>
ZipEntry Set(ZipEntry e, T ZipEntry::*field, V value) {
  e.*field = value;
  return e;
}

Make Archive(ZipPlan s) {
  return [s] { return BuildZip(s); };
}
Make One(ZipEntry e) { return Archive(Plan({std::move(e)})); }
Make Zip64(ZipEntry e) {
  return Archive(With(Plan({std::move(e)}), [](ZipPlan& s) { s.zip64 = true; }));
}
// The archive of A() with one field of its end records changed.
template <typename T, typename V>
Make OneWith(T ZipPlan::*field, V value, bool zip64 = false) {
  ZipPlan s = Plan({A()});
  s.*field = value;
  s.zip64 = s.zip64 || zip64;
  return Archive(s);
}
// The archive of A() with one byte changed: `record` picks the record, `at` the field in it.
Make Messed(size_t (*record)(const ZipLayout&), size_t at, uint8_t mask) {
  return [=] {
    ZipLayout z = BuildZipLayout(Plan({A()}));
    return MessWith(z.bytes, record(z) + at, mask);
  };
}
size_t LocalOf(const ZipLayout& z) { return z.entries[0].local; }
size_t CentralOf(const ZipLayout& z) { return z.entries[0].central; }
size_t EndOf(const ZipLayout& z) { return z.end_record; }

Fill Files(std::vector<std::pair<std::string, std::string>> files) {
  return [files](const std::string& folder) {
    for (const auto& [name, data] : files) WriteFile(folder + "/" + name, data);
  };
}
Fill Folders(std::vector<std::string> names) {
  return [names](const std::string& folder) {
    for (const auto& name : names) fs::create_directories(folder + "/" + name);
  };
}

// Closing lines of a sound run.
Lines Verified(int files) { return {kInt, "Verified " + std::to_string(files) + " files"}; }
Lines VerifiedExt(int files, int unopened, int compared) {
  return {kExt, "Verified " + std::to_string(files) + " files",
          std::to_string(unopened) + " couldn't be opened externally",
          std::to_string(compared) + " compared correctly"};
}

// One run per row: the first log line says whether the run is external; the last says whether
// it should succeed ("OK") or fail ("Verification failed"), unless the row names its result.
struct Row {
  const char* name;
  Lines logs;  // "{src}" stands for the comparison folder
  Make archive;
  Fill folder = {};
  const char* result = nullptr;
};

void RunRows(const std::vector<Row>& rows, const std::function<Outcome(bool)>& run,
             const std::function<void(const std::string&)>& put, const std::string& folder) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    fs::remove_all(folder);
    fs::create_directories(folder);
    if (row.folder) row.folder(folder);
    put(row.archive());
    bool external = row.logs.at(0) == kExt;
    const std::string& last = row.logs.back();
    bool sound =
        last.rfind("Verified ", 0) == 0 || last.find(" compared correctly") != std::string::npos;
    Outcome got = run(external);
    Lines want;
    for (const auto& line : row.logs) want.push_back(Subst(line, folder));
    EXPECT_EQ(got.logs, want);
    if (row.result != nullptr) {
      EXPECT_EQ(got.result, row.result);
      continue;
    }
    EXPECT_EQ(got.result, sound ? "OK" : kFailed);
    if (external && !sound) {
      // A failed walk never goes on to the folder walk, whose status lines name folder paths.
      for (const auto& s : got.statuses) EXPECT_NE(s.rfind(folder + "/", 0), 0u) << s;
    }
  }
}

#define RUN_ROWS(rows)                                    \
  RunRows(                                                \
      rows, [&](bool external) { return Run(external); }, \
      [&](const std::string& bytes) { Put(bytes); }, src())

std::string OneStored() { return BuildZip(Plan({A()})); }

// --- Failures: one log line each, then "Verification failed" ---------------------------------

TEST_F(ArchiveWalkTest, EndRecordFailures) {
  // A whole end record inside the comment, nearer the end than the real one; its directory
  // offset points at the local header.
  std::string fake;
  for (uint64_t v : {0x06054b50ull}) Put32(fake, v);
  for (uint64_t v : {0, 0, 1, 1}) Put16(fake, v);
  Put32(fake, 46);
  Put32(fake, 0);
  Put16(fake, 0);
  std::vector<Row> rows = {
      {"empty file", {kInt, kNotFound}, [] { return std::string(); }},
      {"21 bytes cannot hold the record", {kInt, kNotFound}, [] { return std::string(21, '\0'); }},
      {"a signature in the last 21 bytes is not a record",
       {kInt, kNotFound},
       [] { return std::string("PK\x05\x06", 4) + std::string(17, '\0'); }},
      {"no signature at all",
       {kInt, kNotFound},
       [] { return RandomBytes(3000, 7).replace(0, 4, "PK\3\4"); }},
      {"record 65,558 bytes before the end is out of reach",
       {kInt, kNotFound},
       OneWith(&ZipPlan::trailing, std::string(65536, '\0'))},
      {"the record nearest the end is taken",
       {kInt, "Bad central directory signature"},
       OneWith(&ZipPlan::comment, fake)},
      {"ZIP64 locator points past the end",
       {kInt, "Error reading archive (4)"},
       OneWith(&ZipPlan::locator_offset, 1u << 30, true)},
      {"ZIP64 count 2^31 does not fit",
       {kInt, "Bad ZIP64 entry count"},
       OneWith(&ZipPlan::zip64_count, 0x80000000ull, true)},
      {"ZIP64 count 2^32 + 1 is not taken by its low half",
       {kInt, "Bad ZIP64 entry count"},
       OneWith(&ZipPlan::zip64_count, 0x100000001ull, true)},
  };
  RUN_ROWS(rows);
}

TEST_F(ArchiveWalkTest, CentralDirectoryFailures) {
  const char* unknown = "Unknown compression method; not necessarily corrupted.";
  std::vector<Row> rows = {
      {"count says 2, one header: the second read meets the end record",
       {kInt, "Error reading archive (5)"},
       OneWith(&ZipPlan::end_count, 2)},
      {"directory offset past the end",
       {kInt, "Error reading archive (5)"},
       OneWith(&ZipPlan::end_dir_offset, 1u << 30)},
      {"directory offset one byte late",
       {kInt, "Bad central directory signature"},
       [] {
         ZipLayout z = BuildZipLayout(Plan({A()}));
         Poke32(z.bytes, z.end_record + kEndDirOffsetAt, z.central_dir + 1);
         return z.bytes;
       }},
      {"central signature byte 1 changed",
       {kInt, "Bad central directory signature"},
       Messed(CentralOf, kCentralSigAt + 1, 0x40)},
      {"method 6 (implode): the name is read for the entry line", {kInt, kEntryA, unknown},
       One(Set(A(), &ZipEntry::central_method, 6))},
      {"method 98 (PPMd)", {kInt, kEntryA, unknown}, One(Set(A(), &ZipEntry::central_method, 98))},
      {"method 0x0108", {kInt, kEntryA, unknown}, One(Set(A(), &ZipEntry::central_method, 0x0108))},
      {"method 99 (AES) is named, not unknown",
       {kInt, kEntryA, kEncryptedText},
       One(Set(A(), &ZipEntry::central_method, 99))},
      {"name runs past the end of the file: the entry has no name to show",
       {kInt, "Entry 0: ", "Error reading archive (6)"},
       One(Set(A(), &ZipEntry::central_name_length, 0xFFFF))},
      {"unknown method and a name past the end",
       {kInt, "Entry 0: ", unknown},
       One(With(Set(A(), &ZipEntry::central_method, 6),
                [](ZipEntry& e) { e.central_name_length = 0xFFFF; }))},
      {"extra field runs past the end of the file",
       {kInt, kEntryA, "Error reading archive (7)"},
       One(Set(A(), &ZipEntry::central_extra_length, 0xFFFF))},
  };
  RUN_ROWS(rows);
}

TEST_F(ArchiveWalkTest, LocalHeaderAndDataFailures) {
  const char* crc = "Central directory and calculated CRCs not equal";
  std::vector<Row> rows = {
      {"local header offset past the end",
       {kInt, kEntryA, "Error reading archive (8)"},
       One(Set(A(), &ZipEntry::central_offset, 0x7FFFFFF0))},
      {"local signature byte 2 changed",
       {kInt, kEntryA, "Bad local signature"},
       Messed(LocalOf, kLocalSigAt + 2, 0x01)},
      {"local header offset one byte late",
       {kInt, kEntryA, "Bad local signature"},
       One(Set(A(), &ZipEntry::central_offset, 1))},
      {"local name runs past the end",
       {kInt, kEntryA, "Error reading archive (9)"},
       One(Set(A(), &ZipEntry::local_name_length, 0xFFFF))},
      {"local extra field runs past the end",
       {kInt, kEntryA, "Error reading archive (12)"},
       One(Set(A(), &ZipEntry::local_extra_length, 0xFFFF))},
      // Bit 0 is looked at before the name: an encrypted entry's data is never read.
      {"local flag bit 0: encrypted",
       {kInt, kEntryA, kEncryptedText},
       One(Set(Set(A(), &ZipEntry::local_flags, 1), &ZipEntry::local_name_length, 0xFFFF))},
      {"stored data longer than the file",
       {kInt, kEntryA, "Incomplete file in archive"},
       One(Set(A(), &ZipEntry::central_compressed, 0x7FFFFFFF))},
      {"0xFFFFFFFF outside ZIP64 is a size, and a long one",
       {kInt, kEntryA, "Incomplete file in archive"},
       One(Set(A(), &ZipEntry::central_compressed, 0xFFFFFFFF))},
      {"central CRC off by one (stored)",
       {kInt, kEntryA, crc},
       One(Set(A(), &ZipEntry::central_crc, Crc(kText) + 1))},
      {"a fault in the third entry names it by index and central name, not local name",
       {kInt, "Entry 2: central.txt", crc},
       Archive(Plan({Stored("d/", ""), A(),
                     With(Stored("central.txt", kText), [](ZipEntry& e) {
                       e.local_name = "local.txt";
                       e.central_crc = 1;
                     })}))},
      {"central CRC byte 3 changed (deflated)",
       {kInt, kEntryA, crc},
       [] {
         ZipLayout z = BuildZipLayout(Plan({Deflated("a.txt", kLong)}));
         return MessWith(z.bytes, z.entries[0].central + kCentralCrcAt + 3, 0x80);
       }},
      {"directory entry with a CRC but no data",
       {kInt, "Entry 0: d/", crc},
       One(Set(Stored("d/", ""), &ZipEntry::central_crc, 1))},
  };
  RUN_ROWS(rows);
}

TEST_F(ArchiveWalkTest, InflateFailures) {
  ZipEntry garbage = Set(Deflated("a.txt", kText), &ZipEntry::compressed, std::string(4, '\xff'));
  ZipEntry cut = Set(Deflated("a.txt", kLong), &ZipEntry::compressed, DeflateStored(kLong));
  cut.central_compressed = static_cast<uint32_t>(cut.compressed->size() - 1);
  // ZIP's LZMA header (version 9.20, 5 property bytes, lc=3 lp=0 pb=2, dictionary 256 MiB).
  ZipEntry lzma_256m = Set(Set(A(), &ZipEntry::method, uint16_t{14}), &ZipEntry::compressed,
                           std::string("\x09\x14\x05\x00\x5d\x00\x00\x00\x10", 9) +
                               std::string(32, '\0'));
  std::vector<Row> rows = {
      {"bytes that are not deflate", {kInt, kEntryA, "inf() error: -3"}, One(garbage)},
      {"compressed length 0",
       {kInt, kEntryA, "inf() error: -3"},
       One(Set(Deflated("a.txt", kText), &ZipEntry::central_compressed, 0))},
      {"stream cut one byte short", {kInt, kEntryA, "inf() error: -3"}, One(cut)},
      {"stream made with a preset dictionary",
       {kInt, kEntryA, "inf() error: -3"},
       One(Set(Deflated("a.txt", kText), &ZipEntry::compressed, Deflate(kText, 9, kText)))},
      {"external: bytes that are not deflate",
       {kExt, kEntryA, "Error decompressing file {src}/a.txt (-3)"},
       One(garbage),
       Files({{"a.txt", kText}})},
      // Every other method fails on bytes that are not its own as deflate does.
      {"Deflate64 over text",
       {kInt, kEntryA, "inf() error: -3"},
       One(Set(A(), &ZipEntry::central_method, 9))},
      {"bzip2 over text",
       {kInt, kEntryA, "inf() error: -3"},
       One(Set(A(), &ZipEntry::central_method, 12))},
      {"LZMA over text",
       {kInt, kEntryA, "inf() error: -3"},
       One(Set(A(), &ZipEntry::central_method, 14))},
      {"zstd over text",
       {kInt, kEntryA, "inf() error: -3"},
       One(Set(A(), &ZipEntry::central_method, 93))},
      {"xz over text",
       {kExt, kEntryA, "Error decompressing file {src}/a.txt (-3)"},
       One(Set(A(), &ZipEntry::central_method, 95)),
       Files({{"a.txt", kText}})},
      {"LZMA with a 256 MiB dictionary",
       {kInt, kEntryA, "Compression window larger than 128 MiB; not necessarily corrupted."},
       One(lzma_256m)},
      {"external: LZMA with a 256 MiB dictionary",
       {kExt, kEntryA, "Compression window larger than 128 MiB; not necessarily corrupted."},
       One(lzma_256m),
       Files({{"a.txt", kText}})},
  };
  RUN_ROWS(rows);

  // A zero-length entry fails before any progress line.
  Put(rows[1].archive());
  Outcome got = Run(false);
  EXPECT_EQ(got.statuses, Lines{"a.txt"});
}

TEST_F(ArchiveWalkTest, DescriptorFailures) {
  auto with_descriptor = [](ZipEntry e, Descriptor kind) {
    return Set(e, &ZipEntry::descriptor, kind);
  };
  ZipEntry signed_long = with_descriptor(Deflated("a.txt", kLong), Descriptor::kSigned);
  ZipEntry unsigned_text = with_descriptor(A(), Descriptor::kUnsigned);
  ZipEntry wide = Set(unsigned_text, &ZipEntry::descriptor64, true);
  // The deflate stream ends early; its descriptor is looked for 2 GiB further on.
  ZipEntry far = Set(with_descriptor(Deflated("a.txt", kText), Descriptor::kSigned),
                     &ZipEntry::central_compressed, 0x7FFFFFFF);
  std::vector<Row> rows = {
      {"descriptor CRC differs (signed)",
       {kInt, kEntryA, "Central directory and local CRCs (after data) not equal"},
       One(Set(signed_long, &ZipEntry::descriptor_crc, Crc(kLong) + 1))},
      {"descriptor CRC differs (unsigned)",
       {kInt, kEntryA, "Central directory and local CRCs (after data) not equal"},
       One(Set(unsigned_text, &ZipEntry::descriptor_crc, 0))},
      {"descriptor size differs",
       {kInt, kEntryA, kSizesDiffer},
       One(Set(unsigned_text, &ZipEntry::descriptor_compressed, kText.size() + 1))},
      // After a local ZIP64 sub-field the 8-byte reading is the one named when neither fits.
      {"8-byte descriptor after a local sub-field, size differs",
       {kInt, kEntryA, kSizesDiffer},
       One(Set(Set(wide, &ZipEntry::descriptor_compressed, kText.size() + 1),
               &ZipEntry::zip64_local, kZ64Uncompressed | kZ64Compressed))},
      {"8-byte descriptor after a local sub-field, CRC differs",
       {kInt, kEntryA, "Central directory and local CRCs (after data) not equal"},
       One(Set(Set(wide, &ZipEntry::descriptor_crc, 7), &ZipEntry::zip64_local,
               kZ64Uncompressed | kZ64Compressed))},
      {"descriptor place beyond the end of the file",
       {kInt, kEntryA, "Error reading archive (10)"},
       One(far)},
      {"descriptor values cut off by the end of the file",
       {kInt, kEntryA, "Error reading archive (11)"},
       [] {
         ZipPlan s =
             Plan({Set(Deflated("a.txt", kText), &ZipEntry::descriptor, Descriptor::kSigned)});
         ZipLayout z = BuildZipLayout(s);
         // A length that puts the descriptor 8 bytes before the end: 4 bytes that are not a
         // signature, then only 8 of the 12 value bytes.
         s.entries[0].central_compressed =
             static_cast<uint32_t>(z.bytes.size() - z.entries[0].data - 8);
         return BuildZip(s);
       }},
  };
  RUN_ROWS(rows);
}

// ZIP64 sizes: a central marker the sub-field does not resolve is the one thing refused; sizes
// of 4 GiB and more are lengths like any other (the data check decides), and so are local ones.
TEST_F(ArchiveWalkTest, Zip64Sizes) {
  const Lines too_large = {kInt, kEntryA, "File size exceeds 4GB"};
  const Lines incomplete = {kInt, kEntryA, "Incomplete file in archive"};
  ZipEntry no_values = Set(A(), &ZipEntry::zip64_central, kZ64Uncompressed | kZ64Compressed);
  no_values.zip64_central_values = std::vector<uint64_t>{};
  ZipEntry big_uncompressed = Set(A(), &ZipEntry::zip64_central, kZ64Uncompressed);
  big_uncompressed.zip64_central_values = std::vector<uint64_t>{0x100000000ull};
  ZipEntry big_compressed = Set(A(), &ZipEntry::zip64_central, kZ64Uncompressed | kZ64Compressed);
  big_compressed.zip64_central_values = std::vector<uint64_t>{kText.size(), 0x100000000ull};
  ZipEntry local_marked = Set(A(), &ZipEntry::local_compressed, 0xFFFFFFFF);
  local_marked.local_uncompressed = 0xFFFFFFFF;
  ZipEntry local_big = Set(A(), &ZipEntry::zip64_local, kZ64Uncompressed | kZ64Compressed);
  local_big.zip64_local_values = std::vector<uint64_t>{kText.size(), 0x100000000ull};
  // Python's zipfile on an unseekable stream: markers and their sub-field, no ZIP64 records.
  ZipEntry resolved = Set(Deflated("a.txt", kLong), &ZipEntry::zip64_central,
                          kZ64Uncompressed | kZ64Compressed);
  resolved.zip64_local = kZ64Uncompressed | kZ64Compressed;
  std::vector<Row> rows = {
      {"central sizes marked, sub-field holds no value", too_large, Zip64(no_values)},
      {"central compressed size marked, no sub-field", too_large,
       Zip64(Set(A(), &ZipEntry::central_compressed, 0xFFFFFFFF))},
      {"central uncompressed size marked, no sub-field", too_large,
       Zip64(Set(A(), &ZipEntry::central_uncompressed, 0xFFFFFFFF))},
      {"sub-field gives 4 GiB uncompressed: never compared for stored data", Verified(1),
       Zip64(big_uncompressed)},
      {"sub-field gives 4 GiB compressed: read as such", incomplete, Zip64(big_compressed)},
      {"local sizes marked, no local sub-field: not used", Verified(1), Zip64(local_marked)},
      {"local sub-field gives 4 GiB compressed", incomplete, Zip64(local_big)},
      {"local sub-field gives 4 GiB compressed, no locator", incomplete, One(local_big)},
      {"markers resolved by their sub-field without the locator", Verified(1), One(resolved)},
  };
  RUN_ROWS(rows);
}

// --- Entries of 4 GiB and more, written in seconds ---------------------------------------------

// CRC-32 of `n` zero bytes, from the CRC of 1 MiB of them.
uint32_t CrcOfZeros(uint64_t n) {
  static const std::string mib(1 << 20, '\0');
  const uLong crc_mib = crc32(0, reinterpret_cast<const Bytef*>(mib.data()), 1 << 20);
  uLong crc = 0;
  for (; n >= mib.size(); n -= mib.size()) crc = crc32_combine(crc, crc_mib, 1 << 20);
  return static_cast<uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(mib.data()),
                                     static_cast<uInt>(n)));
}

// A raw deflate stream of `n` zero bytes (n >= 1): one dynamic block whose code gives a
// 258-byte match at distance 1 two bits, so the stream is about n / 1032 bytes, mostly zero
// bytes. Literal/length code: 285 "0", literal 0 "10", end of block "11"; distances 0 and 1 of
// one bit each; the code-length code: 18 "0", 1 "10", 2 "11".
std::string DeflatedZeros(uint64_t n) {
  Bits w;
  w.Put(1, 1);   // final block
  w.Put(2, 2);   // dynamic codes
  w.Put(29, 5);  // 286 literal/length codes
  w.Put(1, 5);   // 2 distance codes
  w.Put(15, 4);  // 19 code-length code lengths, in the format's order:
  for (uint32_t len : {0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0}) w.Put(len, 3);
  w.Code(3, 2);                  // literal 0: length 2
  w.Code(0, 1), w.Put(127, 7);   // 138 zeros
  w.Code(0, 1), w.Put(106, 7);   // 117 zeros (to 255)
  w.Code(3, 2);                  // end of block: length 2
  w.Code(0, 1), w.Put(17, 7);    // 28 zeros (257 to 284)
  for (int i = 0; i < 3; ++i) w.Code(2, 2);  // 285, distances 0 and 1: length 1
  w.Code(2, 2);                              // the first zero, as a literal
  const uint64_t matches = (n - 1) / 258, rest = (n - 1) % 258;
  if (matches > 0) {
    w.Put(0, 2);  // 110 bits so far: this match fills the byte
    w.Bytes(std::string((matches - 1) / 4, '\0'));
    for (uint64_t i = 0; i < (matches - 1) % 4; ++i) w.Put(0, 2);
  }
  for (uint64_t i = 0; i < rest; ++i) w.Code(2, 2);
  w.Code(3, 2);  // end of block
  return w.Done();
}

// Writes a ZIP64 archive of one entry "big.bin" of `size` zero bytes to `path`: stored (a
// sparse file: the data is a hole) or deflated, with no descriptor or one with 8-byte or 4-byte
// sizes (the 4-byte one holds the sizes' low halves). Both headers mark their sizes and give
// them in their ZIP64 sub-fields (the local one zeros when a descriptor follows).
void WriteBigArchive(const std::string& path, uint16_t method, uint64_t size,
                     int descriptor_width) {
  const bool descriptor = descriptor_width != 0;
  ZipEntry e = Entry("big.bin", "", method, descriptor ? Descriptor::kSigned : Descriptor::kNone);
  e.compressed = method == 8 ? DeflatedZeros(size) : "";  // stored: the hole left below
  const uint64_t compressed = method == 8 ? e.compressed->size() : size;
  const uint32_t crc = CrcOfZeros(size);
  e.central_crc = e.descriptor_crc = crc;
  if (!descriptor) e.local_crc = crc;
  e.zip64_central = e.zip64_local = kZ64Uncompressed | kZ64Compressed;
  e.zip64_central_values = std::vector<uint64_t>{size, compressed};
  e.zip64_local_values =
      std::vector<uint64_t>{descriptor ? 0 : size, descriptor ? 0 : compressed};
  e.descriptor64 = descriptor_width == 8;
  e.descriptor_compressed = compressed;
  e.descriptor_uncompressed = size;
  ZipPlan plan = Plan({e});
  plan.zip64 = true;
  const uint64_t hole = method == 8 ? 0 : size;
  const ZipLayout laid = BuildZipLayout(plan);
  plan.zip64_dir_offset = laid.central_dir + hole;
  plan.locator_offset = laid.zip64_end + hole;
  const std::string bytes = BuildZip(plan);
  const size_t data = laid.entries[0].data;

  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fwrite(bytes.data(), 1, data, f), data);
  ASSERT_EQ(fseeko(f, static_cast<off_t>(data + hole), SEEK_SET), 0);  // a hole for stored data
  ASSERT_EQ(fwrite(bytes.data() + data, 1, bytes.size() - data, f), bytes.size() - data);
  ASSERT_EQ(fclose(f), 0);
}

// Entries of 4 GiB and more: the 64-bit lengths drive the reading, the inflating, the
// comparison and the descriptor check. Each row inflates or reads 4 GiB of zeros (seconds), so
// the case runs with the default codec only (tests/CMakeLists.txt).
TEST_F(ArchiveWalkTest, EntriesOf4GiBAndMore) {
  const uint64_t size = 0x100000000ull + 12345;
  struct BigRow {
    const char* name;
    uint16_t method;
    int descriptor_width;
    bool external;
    Lines logs;
  } rows[] = {
      {"stored, 8-byte descriptor", 0, 8, false, Verified(1)},
      {"deflated, no descriptor, external", 8, 0, true, VerifiedExt(1, 0, 1)},
      {"deflated, 8-byte descriptor", 8, 8, false, Verified(1)},
      {"deflated, 4-byte descriptor cannot hold the sizes", 8, 4, false,
       {kInt, "Entry 0: big.bin", kSizesDiffer}},
  };
  // The comparison folder's file: 4 GiB of zeros as a hole.
  const std::string external_file = src() + "/big.bin";
  FILE* f = fopen(external_file.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(ftruncate(fileno(f), static_cast<off_t>(size)), 0);
  fclose(f);
  for (const BigRow& row : rows) {
    SCOPED_TRACE(row.name);
    WriteBigArchive(archive(), row.method, size, row.descriptor_width);
    Outcome got = Run(row.external);
    EXPECT_EQ(got.logs, row.logs);
    EXPECT_EQ(got.result, row.logs.back().rfind("Verified", 0) == 0 ||
                                  row.logs.back().find("compared correctly") != std::string::npos
                              ? "OK"
                              : kFailed);
  }
}

TEST_F(ArchiveWalkTest, ExternalFailures) {
  const char* crc = "Central directory and calculated CRCs not equal";
  std::string flipped = kLong;
  flipped[30000] ^= 1;
  std::vector<Row> rows = {
      {"stored: last byte differs",
       {kExt, kEntryA, "Contents differ in file {src}/a.txt"},
       One(A()),
       Files({{"a.txt", kText.substr(0, kText.size() - 1) + "!"}})},
      {"stored: external one byte short",
       {kExt, kEntryA, "Incomplete external file {src}/a.txt"},
       One(A()),
       Files({{"a.txt", kText.substr(0, kText.size() - 1)}})},
      {"stored: external empty",
       {kExt, kEntryA, "Incomplete external file {src}/a.txt"},
       One(A()),
       Files({{"a.txt", ""}})},
      {"deflated: one byte differs deep inside",
       {kExt, kEntryA, "Contents differ in file {src}/a.txt"},
       One(Deflated("a.txt", kLong)),
       Files({{"a.txt", flipped}})},
      {"deflated: external one byte short",
       {kExt, kEntryA, "Contents differ in file {src}/a.txt"},
       One(Deflated("a.txt", kLong)),
       Files({{"a.txt", kLong.substr(0, kLong.size() - 1)}})},
      {"file entry meets a folder",
       {kExt, "Entry 0: d", "Directory does not end in /: {src}/d"},
       One(Stored("d", kText)),
       Folders({"d"})},
      {"file entry meets a folder on the second try",
       {kExt, "Entry 0: d", "Directory does not end in /: " + (dir_ / "d")},
       One(Stored("d", kText)),
       Folders({"../d"})},
      {"directory entry with a CRC",
       {kExt, "Entry 0: d/", crc},
       One(Set(Stored("d/", ""), &ZipEntry::central_crc, 7)),
       Folders({"d"})},
      {".DS_Store is CRC-checked",
       {kExt, "Entry 0: .DS_Store", crc},
       One(Set(Stored(".DS_Store", kText), &ZipEntry::central_crc, 1)),
       Files({{".DS_Store", kText}})},
      {"name climbing out of the folder",
       {kExt, "Entry 0: ../a.txt", "Unsafe name in archive: ../a.txt"},
       One(Stored("../a.txt", kText))},
      {"'..' deep in the name",
       {kExt, "Entry 0: x/y/../../../a.txt", "Unsafe name in archive: x/y/../../../a.txt"},
       One(Stored("x/y/../../../a.txt", kText))},
      {"'..' between backslashes",
       {kExt, "Entry 0: x\\..\\..\\a.txt", "Unsafe name in archive: x\\..\\..\\a.txt"},
       One(Stored("x\\..\\..\\a.txt", kText))},
      {"'..' alone", {kExt, "Entry 0: ..", "Unsafe name in archive: .."}, One(Stored("..", kText))},
      {"the local name decides what is unsafe; the central one names the entry",
       {kExt, kEntryA, "Unsafe name in archive: ../a.txt"},
       One(Set(A(), &ZipEntry::local_name, "../a.txt"))},
  };
  RUN_ROWS(rows);
}

// --- Success: the closing lines -----------------------------------------------------------------

TEST_F(ArchiveWalkTest, SoundArchives) {
  auto signed_descriptor = [](ZipEntry e) {
    return Set(e, &ZipEntry::descriptor, Descriptor::kSigned);
  };
  ZipEntry long_deflated = Deflated("a.txt", kLong);
  ZipEntry all_marked =
      Set(long_deflated, &ZipEntry::zip64_central, kZ64Uncompressed | kZ64Compressed | kZ64Offset);
  ZipEntry other_fields =
      Set(long_deflated, &ZipEntry::zip64_central, kZ64Uncompressed | kZ64Compressed);
  other_fields.central_extra = SubField(0x5455, std::string(5, '\1'));
  other_fields.local_extra = SubField(0x7875, std::string(11, '\2'));
  // A streaming writer (python's zipfile on a pipe, zip - -): descriptor with 8-byte sizes, and
  // a local ZIP64 sub-field whose values are zeros.
  ZipEntry streamed = signed_descriptor(long_deflated);
  streamed.descriptor64 = true;
  streamed.zip64_local = kZ64Uncompressed | kZ64Compressed;
  ZipEntry streamed64 = Set(streamed, &ZipEntry::zip64_central, kZ64Uncompressed | kZ64Compressed);
  ZipEntry wrong_local = Set(A(), &ZipEntry::local_crc, 0xDEADBEEF);
  wrong_local.local_compressed = 1;
  wrong_local.local_uncompressed = 2;
  wrong_local.local_method = 8;
  ZipEntry local_length = Set(A(), &ZipEntry::zip64_local, kZ64Compressed);
  local_length.central_compressed = 3;
  // Java's writers give a directory 2 deflated bytes (an empty final block) and a descriptor.
  ZipEntry java_dir =
      signed_descriptor(Set(Deflated("d/", ""), &ZipEntry::compressed, std::string("\x03\x00", 2)));
  ZipPlan mixed = Plan({Stored("dir/", ""), Deflated("dir/a.txt", kLong),
                        Stored("dir/.DS_Store", "junk"), Stored("b.txt", kText)});
  std::string random = RandomBytes(3 * 16384, 3), big = RandomBytes(2 * 1048576 + 17, 4);

  std::vector<Row> rows = {
      {"end record alone", Verified(0), Archive(ZipPlan{})},
      {"end record alone, external", VerifiedExt(0, 0, 0), Archive(ZipPlan{})},
      {"ZIP64 with count 0", Verified(0),
       Archive(With(ZipPlan{}, [](ZipPlan& s) { s.zip64 = true; }))},
      {"directories and .DS_Store are not counted", Verified(2), Archive(mixed)},
      {"directories and .DS_Store, external", VerifiedExt(2, 0, 2), Archive(mixed),
       Files({{"dir/a.txt", kLong}, {"dir/.DS_Store", "other junk"}, {"b.txt", kText}})},
      {"comment of 65,535 bytes", Verified(1), OneWith(&ZipPlan::comment, std::string(65535, 'c'))},
      {"record 65,557 bytes before the end", Verified(1),
       OneWith(&ZipPlan::trailing, std::string(65535, '\0'))},
      {"a signature in the last 21 bytes is passed over", Verified(1),
       OneWith(&ZipPlan::trailing, std::string("PK\x05\x06", 4) + std::string(17, '\0'))},
      {"end record's comment length runs past the end: not used", Verified(1),
       Messed(EndOf, kEndCommentLenAt + 1, 0x01)},
      {"bytes before the first header", Verified(1),
       OneWith(&ZipPlan::prefix, std::string(1000, 'x'))},
      {"ZIP64 end record with a wrong signature", Verified(1),
       OneWith(&ZipPlan::zip64_end_sig, 0x12345678, true)},
      {"ZIP64: every central field marked", Verified(1), Zip64(all_marked)},
      {"ZIP64: only the compressed size marked", Verified(1),
       Zip64(Set(long_deflated, &ZipEntry::zip64_central, kZ64Compressed))},
      {"ZIP64: only the offset marked", Verified(1),
       Zip64(Set(A(), &ZipEntry::zip64_central, kZ64Offset))},
      {"ZIP64: local sizes marked with their values (zip -fz)", Verified(1),
       Zip64(Set(long_deflated, &ZipEntry::zip64_local, kZ64Uncompressed | kZ64Compressed))},
      {"ZIP64: other sub-fields before the ZIP64 one", Verified(1), Zip64(other_fields)},
      {"no ZIP64: offset marker with its 8-byte value", Verified(1),
       One(Set(A(), &ZipEntry::zip64_central, kZ64Offset))},
      {"no ZIP64: 0xFFFFFFFF uncompressed size is just a size", Verified(1),
       One(Set(A(), &ZipEntry::central_uncompressed, 0xFFFFFFFF))},
      {"local ZIP64 sub-field gives the length the central header gets wrong", Verified(1),
       One(local_length)},
      {"descriptor with signature", Verified(1), One(signed_descriptor(long_deflated))},
      {"descriptor without signature", Verified(1),
       One(Set(A(), &ZipEntry::descriptor, Descriptor::kUnsigned))},
      {"descriptor with 8-byte sizes", Verified(1),
       One(Set(signed_descriptor(long_deflated), &ZipEntry::descriptor64, true))},
      {"streaming writer", Verified(1), One(streamed)},
      {"streaming writer in a ZIP64 archive", Verified(1), Zip64(streamed64)},
      {"local CRC, sizes and method are never compared", Verified(1), One(wrong_local)},
      {"'..' is harmless in an internal run", Verified(1), One(Stored("../a.txt", kText))},
      {"names that only look like '..'", VerifiedExt(2, 0, 2),
       Archive(Plan({Stored("..a", "1"), Stored("a../...", "2")})),
       Files({{"..a", "1"}, {"a../...", "2"}})},
      {"Java-style directory entry", VerifiedExt(1, 0, 1),
       Archive(Plan({java_dir, Stored("d/a.txt", kText)})), Files({{"d/a.txt", kText}})},
      {"Java-style directory entry, internal", Verified(0), One(java_dir)},
      {"directory entry missing from the folder", VerifiedExt(0, 0, 0), One(Stored("gone/", ""))},
      {"external file longer than the entry", VerifiedExt(2, 0, 2),
       Archive(Plan({Stored("s.txt", kText), Deflated("d.txt", kLong)})),
       Files({{"s.txt", kText + "more"}, {"d.txt", kLong + "more"}})},
      {"deflated size an exact multiple of 16 KiB", VerifiedExt(1, 0, 1),
       One(Deflated("m.bin", random)), Files({{"m.bin", random}})},
      {"stored entry over several 1 MiB chunks", VerifiedExt(1, 0, 1), One(Stored("big.bin", big)),
       Files({{"big.bin", big}})},
      {"archive made from the folder's parent: second try", VerifiedExt(1, 0, 1),
       Archive(Plan({Stored("src/", ""), Stored("src/a.txt", kText)})), Files({{"a.txt", kText}})},
  };
  RUN_ROWS(rows);
}

// An external run passes only when the folder holds exactly the files the entries opened: an
// entry whose file neither lookup opened ("%d: Can't open %s", still CRC-checked and counted as
// compared) and a folder file no entry opened ("Not in archive: %s", matched by device and
// inode, so links and the parent lookup count) each make it fail, also when the counts agree.
TEST_F(ArchiveWalkTest, FolderThatDiffersNeverPasses) {
  const Make ab = Archive(Plan({Stored("a.txt", kText), Stored("b.txt", "b")}));
  const auto with = [](Fill fill, std::function<void(const std::string&)> more) -> Fill {
    return [=](const std::string& folder) {
      fill(folder);
      more(folder);
    };
  };
  const Fill a_only = Files({{"a.txt", kText}});
  const Lines b_unopened = {kExt, "1: Can't open b.txt", "Verified 2 files",
                            "1 couldn't be opened externally", "2 compared correctly"};
  const auto plus = [](Lines lines, const std::string& more) {
    lines.push_back(more);
    return lines;
  };
  WriteFile(dir_ / "outside.txt", "b");  // beside the folder, reached through a link
  std::vector<Row> rows = {
      {"missing and extra, equal counts", plus(b_unopened, "Not in archive: {src}/c.txt"), ab,
       Files({{"a.txt", kText}, {"c.txt", "c"}}),
       "Archive does not match source folder (1 not in folder, 1 not in archive)"},
      {"extra only", plus(VerifiedExt(2, 0, 2), "Not in archive: {src}/c.txt"), ab,
       Files({{"a.txt", kText}, {"b.txt", "b"}, {"c.txt", "c"}}),
       "Number of files in archive does not match source folder (2 != 3)"},
      {"missing only", b_unopened, ab, a_only,
       "Number of files in archive does not match source folder (2 != 1)"},
      {"FIFO in place of a file", plus(b_unopened, "Not in archive: {src}/b.txt"), ab,
       with(a_only, [](const std::string& f) { mkfifo((f + "/b.txt").c_str(), 0600); }),
       "Archive does not match source folder (1 not in folder, 1 not in archive)"},
      {"dangling link in place of a file", plus(b_unopened, "Not in archive: {src}/b.txt"), ab,
       with(a_only, [](const std::string& f) { fs::create_symlink("nowhere", f + "/b.txt"); }),
       "Archive does not match source folder (1 not in folder, 1 not in archive)"},
      {"unopened entry with a wrong CRC still fails on it",
       {kExt, "0: Can't open nowhere.txt", "Entry 0: nowhere.txt",
        "Central directory and calculated CRCs not equal"},
       One(Set(Stored("nowhere.txt", kText), &ZipEntry::central_crc, 5))},
      {"links to a file outside and to a folder inside match what they lead to",
       VerifiedExt(4, 0, 4),
       Archive(Plan({Stored("a.txt", kText), Stored("b.txt", "b"), Stored("real/x", "x"),
                     Stored("in/x", "x")})),
       with(Files({{"a.txt", kText}, {"real/x", "x"}}),
            [&](const std::string& f) {
              fs::create_symlink(dir_ / "outside.txt", f + "/b.txt");
              fs::create_symlink("real", f + "/in");
            }),
       "OK"},
      {"archive made from the folder's parent, .DS_Store files anywhere",
       VerifiedExt(2, 0, 2),
       Archive(Plan({Stored("src/", ""), Stored("src/a.txt", kText), Stored("src/d/b.txt", "b")})),
       Files({{"a.txt", kText}, {"d/b.txt", "b"}, {".DS_Store", "x"}, {"d/.DS_Store", "y"}}),
       "OK"},
  };
  RUN_ROWS(rows);
}

TEST_F(ArchiveWalkTest, FolderWithoutSeparatorHasNoSecondTry) {
  // A relative folder name with no separator has no parent to try: nothing is reported and the
  // entry is not counted as unopened in the closing lines, but the verdict still counts it as a
  // file not in the folder.
  Put(BuildZip(Plan({Stored("missing.txt", kText)})));
  WriteFile(src() + "/other.txt", kText);
  int back = open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(back, 0);
  ASSERT_EQ(chdir(dir_.path().c_str()), 0);
  Outcome got = Run(true, "src", archive());
  EXPECT_EQ(fchdir(back), 0);
  close(back);
  EXPECT_EQ(got.logs, (Lines{kExt, "Verified 1 files", "0 couldn't be opened externally",
                             "1 compared correctly", "Not in archive: src/other.txt"}));
  EXPECT_EQ(got.result, "Archive does not match source folder (1 not in folder, 1 not in archive)");
}

TEST_F(ArchiveWalkTest, CentralAndLocalNamesPlayDifferentParts) {
  // The central name is listed and shown; the local name decides counting and lookup.
  Put(BuildZip(
      Plan({With(Stored("central.txt", kText), [](ZipEntry& e) { e.local_name = "local.txt"; }),
            With(Stored("looks-like-a-file", ""),
                 [](ZipEntry& e) { e.local_name = "really-a-dir/"; })})));
  WriteFile(src() + "/local.txt", kText);
  Outcome got = Run(true);
  EXPECT_EQ(got.logs, (Lines{kExt, "Verified 1 files", "0 couldn't be opened externally",
                             "1 compared correctly"}));
  EXPECT_EQ(got.result, "OK");
  ASSERT_GE(got.statuses.size(), 2u);
  EXPECT_EQ(got.statuses[0], "central.txt");
  EXPECT_EQ(got.statuses[1], "looks-like-a-file");
  EXPECT_EQ(ReadFile(lists_ / "x1.txt"), "central.txt\nlooks-like-a-file\n");
}

TEST_F(ArchiveWalkTest, LongNamesUseTheirFirst259Bytes) {
  // 300 stored bytes: a 100-byte folder name, '/', 199 more; only the first 259 count.
  std::string name = std::string(100, 'd') + "/" + std::string(199, 'f');
  std::string kept = name.substr(0, 259);
  Put(BuildZip(Plan({Stored(name, kText)})));
  WriteFile(src() + "/" + kept, kText);
  Outcome got = Run(true);
  EXPECT_EQ(got.logs, (Lines{kExt, "Verified 1 files", "0 couldn't be opened externally",
                             "1 compared correctly"}));
  EXPECT_EQ(got.result, "OK");
  ASSERT_FALSE(got.statuses.empty());
  EXPECT_EQ(got.statuses[0], kept);
  EXPECT_EQ(ReadFile(lists_ / "x1.txt"), kept + "\n");

  // The lookup uses the cut name too: an unopened long name is reported by its first 259 bytes.
  fs::remove_all(src());
  fs::create_directories(src());
  got = Run(true);
  ASSERT_GE(got.logs.size(), 2u);
  EXPECT_EQ(got.logs[1], "0: Can't open " + kept);
}

TEST_F(ArchiveWalkTest, ExternalPathThatWouldNotFit) {
  Put(BuildZip(Plan({Stored("a.txt", kText)})));
  WriteFile(src() + "/a.txt", kText);
  // Slashes pad the folder name; the joined path is the folder name followed by "a.txt".
  auto folder_for = [&](size_t path_length) {
    return src() + std::string(path_length - src().size() - 5, '/');
  };
  Outcome got = Run(true, folder_for(PATH_MAX - 1), archive());
  EXPECT_EQ(got.logs, (Lines{kExt, "Verified 1 files", "0 couldn't be opened externally",
                             "1 compared correctly"}))
      << "a path of PATH_MAX - 1 characters fits";
  got = Run(true, folder_for(PATH_MAX), archive());
  EXPECT_EQ(got.logs, (Lines{kExt, kEntryA, "Path too long: a.txt"}));
  EXPECT_EQ(got.result, kFailed);
}

TEST_F(ArchiveWalkTest, ArchiveThatIsNotARegularFile) {
  ASSERT_EQ(mkfifo((dir_ / "fifo.zip").c_str(), 0600), 0);  // no writer: must not block
  fs::create_directories(dir_ / "folder.zip");
  for (const std::string& path :
       {dir_ / "missing.zip", dir_ / "fifo.zip", dir_ / "folder.zip", std::string("/dev/null")}) {
    SCOPED_TRACE(path);
    Outcome got = Run(false, "", path);
    EXPECT_EQ(got.logs, (Lines{kInt, "Can't open archive"}));
    EXPECT_EQ(got.result, kFailed);
  }
}

TEST_F(ArchiveWalkTest, UnseekableArchiveHasNoLocation) {
  // Served through the open hook as a pipe: its end cannot be found by seeking.
  static int read_end = -1;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string bytes = OneStored();
  ASSERT_EQ(write(fds[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  close(fds[1]);
  read_end = fds[0];
  SetOpenHook([](const char*) { return fdopen(read_end, "rb"); });
  int before = CountOpenFds() - 1;  // the pipe's read end is closed by the run
  Outcome got;
  {
    g_recorder.Reset();
    const char* result = RunVerification("", "pipe.zip", false);
    got = {result, g_recorder.Logs(), g_recorder.Statuses()};
  }
  SetOpenHook(nullptr);
  EXPECT_EQ(got.logs, (Lines{kInt, "Error reading archive -- failed to get location"}));
  EXPECT_EQ(got.result, kFailed);
  EXPECT_FALSE(TestVerification().HoldsOpenStreams());
  EXPECT_EQ(CountOpenFds(), before);
}

// --- Name lists ---------------------------------------------------------------------------------

TEST_F(ArchiveWalkTest, NameListsAreRewrittenByEveryRun) {
  Put(BuildZip(Plan({Stored("d/", ""), Stored("d/a.txt", "a"), Stored("b.txt", "b")})));
  EXPECT_EQ(Run(false).result, "OK");
  EXPECT_EQ(ReadFile(lists_ / "x1.txt"), "d/\nd/a.txt\nb.txt\n");
  EXPECT_TRUE(fs::is_regular_file(lists_ / "x2.txt"));

  Put(BuildZip(Plan({Stored("only.txt", "o")})));
  EXPECT_EQ(Run(false).result, "OK");
  EXPECT_EQ(ReadFile(lists_ / "x1.txt"), "only.txt\n");

  // A failing run still lists the entries it reached.
  Put(BuildZip(Plan({Stored("first.txt", "1"),
                     With(Stored("second.txt", "2"), [](ZipEntry& e) { e.central_crc = 0; })})));
  EXPECT_EQ(Run(false).result, kFailed);
  EXPECT_EQ(ReadFile(lists_ / "x1.txt"), "first.txt\nsecond.txt\n");
}

TEST_F(ArchiveWalkTest, PlantedLinkIsNotFollowed) {
  WriteFile(dir_ / "victim.txt", "keep me");
  fs::create_symlink(dir_ / "victim.txt", lists_ / "x1.txt");
  Put(BuildZip(Plan({Stored("a.txt", kText)})));
  Outcome got = Run(false);
  EXPECT_EQ(got.result, "OK");
  EXPECT_EQ(ReadFile(dir_ / "victim.txt"), "keep me");
  EXPECT_TRUE(fs::is_symlink(lists_ / "x1.txt"));
  EXPECT_TRUE(fs::is_regular_file(lists_ / "x2.txt")) << "the other list is still written";

  // No list folder at all: the run goes on without lists.
  ASSERT_TRUE(SetNameListFolder((dir_ / "no-such-folder").c_str()));
  EXPECT_EQ(Run(false).result, "OK");
}

// --- Progress ------------------------------------------------------------------------------------

TEST_F(ArchiveWalkTest, ProgressLinesOfEveryChunk) {
  // 39,995 random bytes in one stored deflate block: exactly 40,000 compressed bytes.
  std::string big = RandomBytes(39995, 11);
  ZipEntry deflated = Deflated("big.bin", big);
  deflated.compressed = DeflateStored(big);
  ASSERT_EQ(deflated.compressed->size(), 40000u);
  const std::string zip =
      BuildZip(Plan({Stored("small.txt", kText), deflated, Stored("after.txt", "x")}));
  Put(zip);

  const Lines all_statuses = {"small.txt",
                              "big.bin",
                              "big.bin (23616 remaining)",
                              "big.bin (7232 remaining)",
                              "big.bin (0 remaining)",
                              "after.txt"};
  Outcome got = Run(false);
  EXPECT_EQ(got.statuses, all_statuses);
  EXPECT_EQ(got.logs, (Lines{kInt, "Verified 3 files"}));
  // Progress in archive bytes before every entry and chunk report, then the whole archive: the
  // chunks' ends lie 16 KiB apart, then the last 7,232 bytes; nothing goes back or past the end.
  const auto& progress = g_recorder.progress;
  ASSERT_EQ(progress.size(), 7u);
  for (size_t i = 0; i < progress.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(progress[i].second, zip.size());
    if (i > 0) {
      EXPECT_LE(progress[i - 1].first, progress[i].first);
    }
  }
  EXPECT_EQ(progress[0].first, 0u);
  EXPECT_EQ(progress[3].first - progress[2].first, 16384u);
  EXPECT_EQ(progress[4].first - progress[3].first, 7232u);
  EXPECT_EQ(progress.back().first, zip.size());
}

}  // namespace
