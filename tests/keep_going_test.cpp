// A walk that goes on past damaged entries (VerifyOptions::keep_going): every fault that lies in
// one entry is logged as the walk would log its first fault, and told to the sink as a fault;
// the closing lines, the folder's lines and "Damaged entries: N of M" follow; a fault of the
// end records or the central directory still ends the walk. Rows damage 1, 2 and all entries of
// stored, deflated and other methods, through local headers, data, descriptors and the
// comparison with a folder (a sound archive's output is the same with and without keep_going:
// vormic-cli's tests compare the two). Every row runs with one job and with four (each entry through a
// worker), which must report alike, and without keep_going, which must stop at the first fault.
#include "archive_walk.h"
#include "engine.h"
#include "test_util.h"
#include "zip_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace zipt;

namespace {

using Lines = std::vector<std::string>;

struct Recorder final : StatusSink {
  Lines logs;
  Lines faults;  // "<entry>|<name or (none)>|<text>"
  Lines all;     // every report, for the comparison of job counts
  int calls = 0;
  int stop_at = 0;  // ask for a stop at this report (1 = the first); 0: never

  bool StatusLine(const char* text) override { return Add("0:" + std::string(text)); }
  bool LogLine(const char* text) override {
    logs.push_back(text);
    return Add("1:" + std::string(text));
  }
  bool StopPoint() override { return Add("0:(null)"); }
  void Progress(uint64_t, uint64_t) override {}
  void Fault(int32_t entry, const char* name, const char* text) override {
    faults.push_back(std::to_string(entry) + "|" + (name ? name : "(none)") + "|" + text);
  }

 private:
  bool Add(std::string line) {
    all.push_back(std::move(line));
    return stop_at != 0 && ++calls >= stop_at;
  }
};

const std::string kText = "The quick brown fox jumps over the lazy dog.\n";
const std::string kLong = Text(30000);
const char* kInt = "Verifying internally...";
const char* kExt = "Verifying externally...";
const char* kCrc = "Central directory and calculated CRCs not equal";
const char* kUnknown = "Unknown compression method; not necessarily corrupted.";
const char* kEncryptedText = "Encrypted entry; not necessarily corrupted.";

template <typename T, typename V>
ZipEntry Set(ZipEntry e, T ZipEntry::*field, V value) {
  e.*field = value;
  return e;
}
ZipEntry StoredA() { return Stored("a.txt", kText); }
ZipEntry DeflatedB() { return Deflated("b.txt", kLong); }
ZipEntry StoredC() { return Stored("c.txt", kText + "c"); }
ZipEntry BadCrc(ZipEntry e) { return Set(e, &ZipEntry::central_crc, Crc(e.data) ^ 1); }

using Fill = std::function<void(const std::string& folder)>;
Fill Files(std::vector<std::pair<std::string, std::string>> files) {
  return [files](const std::string& folder) {
    for (const auto& [name, data] : files) WriteFile(folder + "/" + name, data);
  };
}
// The folder an archive of these entries was made from.
Fill SameAs(std::vector<ZipEntry> entries) {
  return [entries](const std::string& folder) {
    for (const auto& e : entries) WriteFile(folder + "/" + e.name, e.data);
  };
}

struct Row {
  const char* name;
  std::vector<ZipEntry> entries;
  Lines logs;    // with keep_going; "{src}" stands for the folder
  Lines faults;  // as the recorder writes them
  const char* result = "Verification failed";
  Fill folder = {};                        // set: an external run
  std::function<std::string(std::string)> mess = {};  // changes the built archive's bytes
};

struct Outcome {
  std::string result;
  Recorder sink;
  int32_t entries = 0;
  int32_t damaged = 0;
};

class KeepGoingTest : public ::testing::Test {
 protected:
  std::string src() const { return dir_ / "src"; }
  std::string archive() const { return dir_ / "a.zip"; }

  Outcome Run(const Row& row, bool keep_going, int jobs, int stop_at = 0, bool etag = false) {
    Outcome out;
    out.sink.stop_at = stop_at;
    VerifyOptions options;
    const std::string path = archive();
    options.archive = path.c_str();
    const std::string folder = src();
    options.folder = row.folder ? folder.c_str() : nullptr;
    options.lists_folder = lists_.path().c_str();
    options.jobs = jobs;
    options.keep_going = keep_going;
    options.etag = etag;
    verification_.SetHandOverLengths(0, 0);  // every entry goes through a worker
    verification_.SetEarlyLengths(0, 1);      // the longer ones started early
    out.result = verification_.Run(options, &out.sink).text;
    out.entries = verification_.EntryCount();
    out.damaged = verification_.DamagedEntries();
    return out;
  }

  void Prepare(const Row& row) {
    fs::remove_all(src());
    fs::create_directories(src());
    if (row.folder) row.folder(src());
    std::string bytes = BuildZip(Plan(row.entries));
    WriteFile(archive(), row.mess ? row.mess(bytes) : bytes);
  }

  void RunRows(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      SCOPED_TRACE(row.name);
      Prepare(row);
      Lines want;
      for (const auto& line : row.logs) {
        std::string l = line;
        for (size_t at; (at = l.find("{src}")) != std::string::npos;) l.replace(at, 5, src());
        want.push_back(l);
      }
      const Outcome one = Run(row, true, 1);
      EXPECT_EQ(one.sink.logs, want);
      EXPECT_EQ(one.sink.faults, row.faults);
      EXPECT_EQ(one.result, row.result);
      // Every fault but one that ended the walk is a damaged entry.
      const bool went_on = want.back().rfind("Damaged entries: ", 0) == 0;
      EXPECT_EQ(one.damaged, static_cast<int32_t>(row.faults.size()) - (went_on ? 0 : 1));
      const std::string lists = ReadFile(lists_ / "x1.txt");

      const Outcome four = Run(row, true, 4);
      EXPECT_EQ(four.sink.all, one.sink.all) << "with 4 jobs";
      EXPECT_EQ(four.sink.faults, one.sink.faults) << "with 4 jobs";
      EXPECT_EQ(four.result, one.result) << "with 4 jobs";
      EXPECT_EQ(ReadFile(lists_ / "x1.txt"), lists) << "with 4 jobs";

      // Without keep_going the walk ends at the first fault: the same lines up to it.
      const Outcome first = Run(row, false, 1);
      EXPECT_EQ(first.damaged, 0);
      ASSERT_FALSE(first.sink.faults.empty());
      EXPECT_EQ(first.sink.faults, Lines{row.faults[0]});
      EXPECT_EQ(first.result, "Verification failed");
      const std::string& text = first.sink.logs.back();
      EXPECT_EQ(row.faults[0].substr(row.faults[0].rfind('|') + 1), text);
      const auto end = std::find(one.sink.logs.begin(), one.sink.logs.end(), text);
      ASSERT_NE(end, one.sink.logs.end());
      EXPECT_EQ(first.sink.logs, Lines(one.sink.logs.begin(), end + 1));
    }
  }

  TempDir dir_;
  TempDir lists_;
  Verification verification_;
};

TEST_F(KeepGoingTest, InternalRuns) {
  ZipEntry lost_local = StoredA();
  std::vector<Row> rows = {
      {"one stored entry with a wrong CRC, then a sound deflated one",
       {BadCrc(StoredA()), DeflatedB()},
       {kInt, "Entry 0: a.txt", kCrc, "Verified 2 files", "Damaged entries: 1 of 2"},
       {"0|a.txt|" + std::string(kCrc)}},
      {"two of four: deflate garbage and an unknown method",
       {StoredA(), Set(DeflatedB(), &ZipEntry::compressed, std::string(8, '\xff')), StoredC(),
        Set(Stored("d.txt", kText), &ZipEntry::central_method, 6)},
       {kInt, "Entry 1: b.txt", "inf() error: -3", "Entry 3: d.txt", kUnknown,
        "Verified 3 files", "Damaged entries: 2 of 4"},
       {"1|b.txt|inf() error: -3", "3|d.txt|" + std::string(kUnknown)}},
      {"all damaged: local signature, encryption, bzip2 over text, descriptor CRC",
       {Set(StoredA(), &ZipEntry::local_sig, 0x04034b51),
        Set(DeflatedB(), &ZipEntry::local_flags, 1),
        Set(StoredC(), &ZipEntry::central_method, 12),
        Set(Set(Deflated("e.txt", kLong), &ZipEntry::descriptor, Descriptor::kSigned),
            &ZipEntry::descriptor_crc, Crc(kLong) + 1)},
       {kInt, "Entry 0: a.txt", "Bad local signature", "Entry 1: b.txt", kEncryptedText,
        "Entry 2: c.txt", "inf() error: -3", "Entry 3: e.txt",
        "Central directory and local CRCs (after data) not equal", "Verified 2 files",
        "Damaged entries: 4 of 4"},
       {"0|a.txt|Bad local signature", "1|b.txt|" + std::string(kEncryptedText),
        "2|c.txt|inf() error: -3",
        "3|e.txt|Central directory and local CRCs (after data) not equal"}},
      {"local header reads past the end, AES, stored data past the end",
       {Set(StoredA(), &ZipEntry::central_offset, 0x7FFFFFF0u),
        Set(DeflatedB(), &ZipEntry::central_method, 99), StoredC(),
        Set(Stored("z.txt", kText), &ZipEntry::central_compressed, 0x7FFFFFFFu)},
       {kInt, "Entry 0: a.txt", "Error reading archive (8)", "Entry 1: b.txt", kEncryptedText,
        "Entry 3: z.txt", "Incomplete file in archive", "Verified 2 files",
        "Damaged entries: 3 of 4"},
       {"0|a.txt|Error reading archive (8)", "1|b.txt|" + std::string(kEncryptedText),
        "3|z.txt|Incomplete file in archive"}},
      {"a central signature after a damaged entry ends the walk with no count line",
       {BadCrc(StoredA()), DeflatedB(), StoredC()},
       {kInt, "Entry 0: a.txt", kCrc, "Bad central directory signature"},
       {"0|a.txt|" + std::string(kCrc), "-1|(none)|Bad central directory signature"},
       "Verification failed",
       {},
       [](std::string bytes) {
         ZipLayout z = BuildZipLayout(Plan({BadCrc(StoredA()), DeflatedB(), StoredC()}));
         return MessWith(bytes, z.entries[2].central + kCentralSigAt, 0x01);
       }},
  };
  RunRows(rows);
}

// Going on past an unknown method means reading the entry's central name and extra field first:
// a name that cannot be read is then the fault reported, one of the central directory, which
// ends the walk; a walk that stops at once names the method, as it always has.
TEST_F(KeepGoingTest, UnknownMethodWithUnreadableName) {
  const Row row = {"",
                   {Set(Set(StoredA(), &ZipEntry::central_method, 6),
                        &ZipEntry::central_name_length, uint16_t{0xFFFF}),
                    DeflatedB()},
                   {},
                   {}};
  Prepare(row);
  const Outcome going_on = Run(row, true, 1);
  EXPECT_EQ(going_on.sink.logs, (Lines{kInt, "Entry 0: ", "Error reading archive (6)"}));
  EXPECT_EQ(going_on.sink.faults, Lines{"0||Error reading archive (6)"});
  EXPECT_EQ(going_on.damaged, 0);
  const Outcome first = Run(row, false, 1);
  EXPECT_EQ(first.sink.logs, (Lines{kInt, "Entry 0: ", kUnknown}));
}

TEST_F(KeepGoingTest, ExternalRuns) {
  std::string flipped = kLong;
  flipped[20000] ^= 1;
  std::vector<Row> rows = {
      {"stored and deflated files that differ, one sound",
       {StoredA(), DeflatedB(), StoredC()},
       {kExt, "Entry 0: a.txt", "Contents differ in file {src}/a.txt", "Entry 1: b.txt",
        "Contents differ in file {src}/b.txt", "Verified 3 files",
        "0 couldn't be opened externally", "1 compared correctly", "Damaged entries: 2 of 3"},
       {"0|a.txt|Contents differ in file " + (dir_ / "src/a.txt"),
        "1|b.txt|Contents differ in file " + (dir_ / "src/b.txt")},
       "Verification failed",
       Files({{"a.txt", "The quick brown fox jumps over the lazy cat.\n"},
              {"b.txt", flipped},
              {"c.txt", kText + "c"}})},
      // The damaged entries' files were never opened by the walk, yet they are the archive's:
      // no "Not in archive" line names them. Only the missing one is reported, as always.
      {"damaged before the lookup: bad local header, unknown method; one file missing",
       {Set(StoredA(), &ZipEntry::local_sig, 0), Set(DeflatedB(), &ZipEntry::central_method, 6),
        StoredC(), Stored("gone.txt", kText)},
       {kExt, "Entry 0: a.txt", "Bad local signature", "Entry 1: b.txt", kUnknown,
        "3: Can't open gone.txt", "Verified 2 files", "1 couldn't be opened externally",
        "2 compared correctly", "Not in archive: {src}/extra.txt", "Damaged entries: 2 of 4"},
       {"0|a.txt|Bad local signature", "1|b.txt|" + std::string(kUnknown)},
       "Verification failed",
       [](const std::string& folder) {
         SameAs({StoredA(), DeflatedB(), StoredC()})(folder);
         WriteFile(folder + "/extra.txt", "not in the archive\n");
       }},
      {"external file short, a folder in a file's place",
       {StoredA(), Stored("d", kText)},
       {kExt, "Entry 0: a.txt", "Incomplete external file {src}/a.txt", "Entry 1: d",
        "Directory does not end in /: {src}/d", "Verified 2 files",
        "0 couldn't be opened externally", "0 compared correctly", "Damaged entries: 2 of 2"},
       {"0|a.txt|Incomplete external file " + (dir_ / "src/a.txt"),
        "1|d|Directory does not end in /: " + (dir_ / "src/d")},
       "Verification failed",
       [](const std::string& folder) {
         WriteFile(folder + "/a.txt", "The quick");
         fs::create_directories(folder + "/d");
       }},
  };
  RunRows(rows);
}

// A stop ends a walk that goes on, wherever it comes: no count line, and the stop's result.
TEST_F(KeepGoingTest, StopEndsTheWalk) {
  const Row row = {"", {BadCrc(StoredA()), DeflatedB(), StoredC()}, {}, {}};
  Prepare(row);
  // Reports: the opening line, a.txt's status, its two fault lines, b.txt's status (stop).
  const Outcome stopped = Run(row, true, 1, 5);
  EXPECT_EQ(stopped.sink.logs, (Lines{kInt, "Entry 0: a.txt", kCrc, "Stopped"}));
  EXPECT_EQ(stopped.result, "Stopped by user");
  EXPECT_EQ(stopped.sink.faults.size(), 1u);
  EXPECT_EQ(stopped.entries, 3);
}

// With the ETag first, the verification's reports are held until the ETag has ended, and so are
// its faults: after the ETag's lines, in their place among the verification's.
TEST_F(KeepGoingTest, FaultsWithTheEtag) {
  const Row row = {"", {BadCrc(StoredA()), DeflatedB(), BadCrc(StoredC())}, {}, {}};
  Prepare(row);
  const Outcome plain = Run(row, true, 2);
  const Outcome with_etag = Run(row, true, 2, 0, true);
  ASSERT_EQ(plain.sink.faults.size(), 2u);
  EXPECT_EQ(with_etag.sink.faults, plain.sink.faults);
  ASSERT_GE(with_etag.sink.logs.size(), plain.sink.logs.size());
  EXPECT_EQ(Lines(with_etag.sink.logs.end() - static_cast<long>(plain.sink.logs.size()),
                  with_etag.sink.logs.end()),
            plain.sink.logs);
  EXPECT_EQ(with_etag.sink.logs.front().rfind("MD5: ", 0), 0u);
}

// The entry count reaches the caller only once the end records were read.
TEST_F(KeepGoingTest, EntryCount) {
  const Row row = {"", {StoredA(), DeflatedB(), StoredC()}, {}, {}};
  Prepare(row);
  EXPECT_EQ(Run(row, true, 1).entries, 3);
  WriteFile(archive(), "not a zip archive at all, and far too short");
  const Outcome none = Run(row, true, 1);
  EXPECT_EQ(none.entries, -1);
  EXPECT_EQ(none.sink.faults,
            Lines{"-1|(none)|End of central directory record not found"});
}

}  // namespace
