// A long bzip2 entry decoded block by block on several threads must look exactly like the
// one-thread pass: the same result, CRC-32, progress lines (with their positions), stop points
// and final stream position, for sound streams and for every way a stream can go wrong. The
// fixtures are made here with libbz2 at 100 KB blocks, so a few hundred KB give several blocks,
// and the crew's minimum length is lowered to take them.
#include "bzip2_blocks.h"

#include "bzip2_parallel.h"
#include "engine.h"
#include "entry_check.h"
#include "run_state.h"
#include "status_recorder.h"
#include "test_run.h"
#include "test_util.h"
#include "zip_builder.h"
#include "zip_records.h"

#include <algorithm>
#include <bzlib.h>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string Bzip2(const std::string& data) {
  std::string out(data.size() + data.size() / 100 + 1024, '\0');
  unsigned size = static_cast<unsigned>(out.size());
  const int rc = BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char*>(data.data()),
                                          static_cast<unsigned>(data.size()), 1, 0, 0);
  EXPECT_EQ(rc, BZ_OK);
  out.resize(size);
  return out;
}

// Text and random bytes in turn: about 6 blocks of 100 KB, some compressing well, some not.
std::string SampleData(uint32_t seed) {
  std::string s;
  for (uint32_t i = 0; i < 6; ++i) s += zipt::Text(1200) + zipt::RandomBytes(70000, seed + i);
  return s;
}

uint64_t BitsAt(const std::string& bytes, uint64_t bit, int count) {
  uint64_t v = 0;
  for (int i = 0; i < count; ++i) {
    const uint64_t b = bit + static_cast<uint64_t>(i);
    v = (v << 1) | ((static_cast<unsigned char>(bytes[b / 8]) >> (7 - b % 8)) & 1);
  }
  return v;
}

void PutBits(std::string& bytes, uint64_t bit, uint64_t value, int count) {
  for (int i = 0; i < count; ++i) {
    const uint64_t b = bit + static_cast<uint64_t>(i);
    const unsigned char mask = static_cast<unsigned char>(0x80 >> (b % 8));
    if ((value >> (count - 1 - i)) & 1) {
      bytes[b / 8] = static_cast<char>(bytes[b / 8] | mask);
    } else {
      bytes[b / 8] = static_cast<char>(bytes[b / 8] & ~mask);
    }
  }
}

// Every place either magic occurs, bit by bit: the finder's reference.
std::vector<Bzip2Mark> ReferenceMarks(const std::string& bytes) {
  std::vector<Bzip2Mark> marks;
  for (uint64_t bit = 0; bit + 48 <= bytes.size() * 8; ++bit) {
    const uint64_t v = BitsAt(bytes, bit, 48);
    if (v == kBzip2BlockMagic || v == kBzip2EndMagic) marks.push_back({bit, v == kBzip2EndMagic});
  }
  return marks;
}

std::vector<uint64_t> BlockStarts(const std::string& stream) {
  std::vector<uint64_t> starts;
  for (const Bzip2Mark& m : ReferenceMarks(stream))
    if (!m.end) starts.push_back(m.bit);
  return starts;
}

uint64_t EndMagicBit(const std::string& stream) {
  for (const Bzip2Mark& m : ReferenceMarks(stream))
    if (m.end) return m.bit;
  return 0;
}

TEST(Bzip2Marks, FinderEqualsBitByBitSearchAtEveryOffset) {
  std::mt19937 rng(5);
  std::string bytes = zipt::RandomBytes(6000, 9);
  // Both magics at every bit offset, some overlapping one another's neighbourhood.
  for (int r = 0; r < 8; ++r) {
    PutBits(bytes, static_cast<uint64_t>(r) * 5000 + 100 + static_cast<uint64_t>(r),
            kBzip2BlockMagic, 48);
    PutBits(bytes, static_cast<uint64_t>(r) * 5000 + 2600 + static_cast<uint64_t>(r),
            kBzip2EndMagic, 48);
  }
  PutBits(bytes, 0, kBzip2BlockMagic, 48);                    // at the very start
  PutBits(bytes, bytes.size() * 8 - 56, kBzip2EndMagic, 48);  // the last the finder can see
  const std::vector<Bzip2Mark> expected = ReferenceMarks(bytes);
  ASSERT_GE(expected.size(), 18u);

  for (size_t max_out : {size_t{8}, size_t{64}}) {
    SCOPED_TRACE(max_out);
    Bzip2MarkFinder finder;
    finder.Reset();
    std::vector<Bzip2Mark> found;
    std::vector<Bzip2Mark> out(max_out);
    size_t pos = 0;
    while (pos < bytes.size()) {
      const size_t piece = std::min<size_t>(1 + rng() % 300, bytes.size() - pos);
      size_t done = 0;
      while (done < piece) {
        size_t n = 0;
        done += finder.Feed(reinterpret_cast<const unsigned char*>(bytes.data()) + pos + done,
                            piece - done, out.data(), out.size(), &n);
        found.insert(found.end(), out.begin(), out.begin() + static_cast<long>(n));
      }
      pos += piece;
    }
    ASSERT_EQ(found.size(), expected.size());
    for (size_t i = 0; i < found.size(); ++i) {
      EXPECT_EQ(found[i].bit, expected[i].bit) << i;
      EXPECT_EQ(found[i].end, expected[i].end) << i;
    }
  }
}

// --- The check against the one-thread pass -----------------------------------------------------

struct Outcome {
  int rc = 0;
  uint32_t crc = 0;
  std::vector<std::string> records;
  std::vector<std::pair<uint64_t, uint64_t>> progress;
  int64_t position = 0;
};

constexpr size_t kPrefix = 1000;  // bytes before the entry's data, so offsets are not the file's

// A file whose reads fail from byte `bad_at` on, every time: a damaged sector.
struct FailingFile {
  int fd;
  int64_t position;
  int64_t bad_at;
};

ssize_t FailingRead(void* cookie, char* buffer, size_t size) {
  auto* f = static_cast<FailingFile*>(cookie);
  if (f->position >= f->bad_at) return -1;
  const size_t n = std::min(size, static_cast<size_t>(f->bad_at - f->position));
  const ssize_t got = pread(f->fd, buffer, n, f->position);
  if (got > 0) f->position += got;
  return got;
}

int FailingSeek(void* cookie, off64_t* offset, int whence) {
  auto* f = static_cast<FailingFile*>(cookie);
  if (whence == SEEK_SET) f->position = *offset;
  if (whence == SEEK_CUR) f->position += *offset;
  if (whence == SEEK_END) return -1;  // not needed here
  *offset = f->position;
  return 0;
}

int FailingClose(void* cookie) {
  auto* f = static_cast<FailingFile*>(cookie);
  close(f->fd);
  delete f;
  return 0;
}

// `path` opened for reading, its reads failing from byte `bad_at` on (negative: a plain file).
FILE* OpenFailing(const std::string& path, int64_t bad_at) {
  if (bad_at < 0) return fopen(path.c_str(), "rb");
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return nullptr;
  cookie_io_functions_t functions = {};
  functions.read = FailingRead;
  functions.seek = FailingSeek;
  functions.close = FailingClose;
  return fopencookie(new FailingFile{fd, 0, bad_at}, "rb", functions);
}

// Checks `entry` (the entry's data bytes, kPrefix bytes into a file and followed by 5000
// more) with `crew` (null: the one-thread pass), stopping at report `stop_at` (0: never); the
// file's reads fail from byte `bad_at` on (negative: never).
Outcome CheckEntry(const TempDir& dir, const std::string& entry, Bzip2Crew* crew, int stop_at,
                   int64_t bad_at = -1) {
  const std::string path = dir / "entry.bin";
  WriteFile(path, zipt::RandomBytes(kPrefix, 1) + entry + zipt::RandomBytes(5000, 2));
  auto checker = std::make_unique<EntryChecker>();
  PrepareChecker(*checker);
  checker->SetProgressTotal(kPrefix + entry.size() + 5000);
  checker->SetBzip2Crew(crew);
  g_recorder.Reset();
  ClearRunStop();
  g_recorder.stop_at = stop_at;
  Outcome o;
  FILE* f = OpenFailing(path, bad_at);
  EXPECT_NE(f, nullptr);
  if (f == nullptr) return o;
  EXPECT_EQ(fseeko(f, kPrefix, SEEK_SET), 0);
  o.rc = checker->Check(kMethodBzip2, {0, 0}, f, entry.size(), 0, &o.crc, nullptr, "big.bin");
  o.position = ftello(f);
  fclose(f);
  o.records = g_recorder.All();
  o.progress = g_recorder.progress;
  g_recorder.Reset();
  ClearRunStop();
  return o;
}

struct Row {
  const char* name;
  std::function<std::string(const std::string& stream)> entry;  // the entry from a sound stream
  int plain_rc;       // what the one-thread pass gives: the row does what it says
  bool verified;      // the crew's own verdict stands (no fallback)
  int stop_at = 0;    // 0: no stop; -1: the middle report; -2: the last one
  size_t window = 0;  // the crew's window (0: the product's)
};

std::string Flip(std::string s, uint64_t byte, unsigned char mask) {
  s[byte] = static_cast<char>(s[byte] ^ mask);
  return s;
}

// Byte in the middle of block `k` (-1: the last).
uint64_t MiddleOfBlock(const std::string& stream, int k) {
  const std::vector<uint64_t> starts = BlockStarts(stream);
  const size_t i = k < 0 ? starts.size() - 1 : static_cast<size_t>(k);
  const uint64_t end = i + 1 < starts.size() ? starts[i + 1] : EndMagicBit(stream);
  return (starts[i] + end) / 16;
}

TEST(Bzip2Blocks, SameAsOnePass) {
  const std::string data = SampleData(40);
  const std::string stream = Bzip2(data);
  ASSERT_GE(BlockStarts(stream).size(), 5u);
  const std::string other = Bzip2(zipt::Text(3000));
  const std::vector<Row> rows = {
      {"sound", [](const std::string& s) { return s; }, kEntryOk, true},
      {"first block damaged",
       [](const std::string& s) { return Flip(s, MiddleOfBlock(s, 0), 0x10); }, kEntryBadData,
       false},
      {"middle block damaged",
       [](const std::string& s) { return Flip(s, MiddleOfBlock(s, 2), 0x01); }, kEntryBadData,
       false},
      {"last block damaged",
       [](const std::string& s) { return Flip(s, MiddleOfBlock(s, -1), 0x80); }, kEntryBadData,
       false},
      {"block CRC damaged",  // the 32 bits after block 3's magic
       [](const std::string& s) {
         std::string t = s;
         const uint64_t at = BlockStarts(s)[3] + 48 + 7;
         PutBits(t, at, BitsAt(s, at, 1) ^ 1, 1);
         return t;
       },
       kEntryBadData, false},
      {"combined CRC damaged",
       [](const std::string& s) {
         std::string t = s;
         const uint64_t at = EndMagicBit(s) + 48 + 20;
         PutBits(t, at, BitsAt(s, at, 1) ^ 1, 1);
         return t;
       },
       kEntryBadData, false},
      {"combined CRC cut off", [](const std::string& s) { return s.substr(0, s.size() - 3); },
       kEntryBadData, false},
      {"end cut off", [](const std::string& s) { return s.substr(0, s.size() * 2 / 3); },
       kEntryBadData, false},
      {"trailing bytes after the end",
       [](const std::string& s) { return s + zipt::RandomBytes(40000, 3); }, kEntryOk, true},
      {"two streams", [&other](const std::string& s) { return s + other; }, kEntryOk, true},
      {"false block magic, byte-aligned, splits block 1",
       [](const std::string& s) {
         std::string t = s;
         PutBits(t, MiddleOfBlock(s, 1) * 8, kBzip2BlockMagic, 48);
         return t;
       },
       kEntryBadData, false},
      {"false block magic at bit offset 3 splits block 4",
       [](const std::string& s) {
         std::string t = s;
         PutBits(t, MiddleOfBlock(s, 4) * 8 + 3, kBzip2BlockMagic, 48);
         return t;
       },
       kEntryBadData, false},
      {"false end magic in block 2",
       [](const std::string& s) {
         std::string t = s;
         PutBits(t, MiddleOfBlock(s, 2) * 8 + 6, kBzip2EndMagic, 48);
         return t;
       },
       kEntryBadData, false},
      {"empty entry", [](const std::string&) { return std::string(); }, kEntryBadData, false},
      {"not a bzip2 stream", [](const std::string& s) { return Flip(s, 2, 0x20); }, kEntryBadData,
       false},
      {"blocks longer than the window", [](const std::string& s) { return s; }, kEntryOk, false, 0,
       65536},
      {"stop at the first point", [](const std::string& s) { return s; }, kEntryStopped, true, 1},
      {"stop in the middle", [](const std::string& s) { return s; }, kEntryStopped, true, -1},
      {"stop at the last point", [](const std::string& s) { return s; }, kEntryStopped, true, -2},
      // Past the points given before the fallback: the stop comes in the one-thread pass.
      {"stop in the middle of a stream damaged in its first block",
       [](const std::string& s) { return Flip(s, MiddleOfBlock(s, 0), 0x04); }, kEntryStopped,
       false, -1},
  };
  TempDir dir;
  Bzip2Crew crews[2];
  crews[0].SetJobs(2);
  crews[1].SetJobs(4);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string entry = row.entry(stream);
    // The stop's report number, counted in the one-thread pass's own reports.
    int stop_at = row.stop_at;
    if (stop_at < 0) {
      const Outcome all = CheckEntry(dir, entry, nullptr, 0);
      const int reports = static_cast<int>(all.records.size());
      ASSERT_GE(reports, 4);
      stop_at = row.stop_at == -1 ? reports / 2 : reports;
    }
    const Outcome plain = CheckEntry(dir, entry, nullptr, stop_at);
    ASSERT_EQ(plain.rc, row.plain_rc);
    if (row.plain_rc == kEntryOk && entry.compare(0, stream.size(), stream) == 0) {
      EXPECT_EQ(plain.crc, zipt::Crc(data));
    }
    for (Bzip2Crew& crew : crews) {
      crew.SetLimits(0, row.window);
      const int64_t verified = crew.verified();
      const Outcome blocks = CheckEntry(dir, entry, &crew, stop_at);
      EXPECT_EQ(crew.verified() - verified, row.verified ? 1 : 0);
      EXPECT_EQ(blocks.rc, plain.rc);
      // A stopped check's CRC-32 is of no use to anyone: left out.
      if (plain.rc != kEntryStopped) {
        EXPECT_EQ(blocks.crc, plain.crc);
      }
      EXPECT_EQ(blocks.records, plain.records);
      EXPECT_EQ(blocks.progress, plain.progress);
      EXPECT_EQ(blocks.position, plain.position);
    }
  }
  EXPECT_GT(crews[0].helper_blocks() + crews[1].helper_blocks(), 0);
}

// A read that fails (a damaged sector) ends the check as one pass ends it, with the same
// progress lines up to there: the crew meets the failure ahead and falls back, and one pass
// reads up to it again, wherever it lies (in the first chunk, in the middle, in the last).
TEST(Bzip2Blocks, ReadFailureAsOnePass) {
  const std::string stream = Bzip2(SampleData(50));
  ASSERT_GE(BlockStarts(stream).size(), 5u);
  const int64_t size = static_cast<int64_t>(stream.size());
  TempDir dir;
  Bzip2Crew crew;
  crew.SetJobs(2);
  crew.SetLimits(0, 0);
  for (int64_t into : {int64_t{100}, size / 2, size - 10}) {
    SCOPED_TRACE(into);
    const int64_t bad_at = static_cast<int64_t>(kPrefix) + into;
    const Outcome plain = CheckEntry(dir, stream, nullptr, 0, bad_at);
    ASSERT_EQ(plain.rc, kEntryReadError);
    const int64_t fell_back = crew.fell_back();
    const Outcome blocks = CheckEntry(dir, stream, &crew, 0, bad_at);
    EXPECT_EQ(crew.fell_back() - fell_back, 1);
    EXPECT_EQ(blocks.rc, plain.rc);
    EXPECT_EQ(blocks.records, plain.records);
    EXPECT_EQ(blocks.progress, plain.progress);
  }
}

// libbz2 reads a byte only when it needs its bits: a stream followed by more bytes in the entry
// ends at the chunk that holds its last byte, also when that byte is a chunk's last or first.
TEST(Bzip2Blocks, StreamEndAtAChunkEdge) {
  TempDir dir;
  Bzip2Crew crew;
  crew.SetJobs(2);
  crew.SetLimits(0, 0);
  for (size_t wanted : {size_t{0}, size_t{1}}) {  // the stream's size modulo a chunk
    SCOPED_TRACE(wanted);
    // Random bytes at the end compress to about their own size, give or take a few dozen
    // bytes: close in on the wanted size, then try one more byte at a time.
    const std::string base = zipt::Text(8000);  // two blocks
    size_t extra = 20000;
    std::string stream;
    for (int tries = 0; tries < 600; ++tries) {
      stream = Bzip2(base + zipt::RandomBytes(extra, 8));
      const size_t over = (stream.size() % kInflateChunk + kInflateChunk - wanted) % kInflateChunk;
      if (over == 0) break;
      if (tries < 6) {
        extra = over < kInflateChunk / 2 ? extra - over : extra + (kInflateChunk - over);
      } else {
        ++extra;
      }
    }
    ASSERT_EQ(stream.size() % kInflateChunk, wanted);
    for (size_t trailing : {size_t{0}, size_t{1}, kInflateChunk + 7}) {
      SCOPED_TRACE(trailing);
      const std::string entry = stream + zipt::RandomBytes(trailing, 4);
      const Outcome plain = CheckEntry(dir, entry, nullptr, 0);
      const int64_t verified = crew.verified();
      const Outcome blocks = CheckEntry(dir, entry, &crew, 0);
      ASSERT_EQ(plain.rc, kEntryOk);
      EXPECT_EQ(crew.verified() - verified, 1);
      EXPECT_EQ(blocks.rc, plain.rc);
      EXPECT_EQ(blocks.records, plain.records);
      EXPECT_EQ(blocks.progress, plain.progress);
      EXPECT_EQ(blocks.position, plain.position);
      EXPECT_EQ(blocks.crc, plain.crc);
    }
  }
}

// A worker's checker: points go to its sink, and helpers decode only on cores no other
// worker's check holds.
struct PointRecorder final : ProgressSink {
  bool Point(bool shown, uint64_t unread) override {
    points.push_back({shown, unread});
    return false;
  }
  bool Cancelled() override { return false; }
  std::vector<std::pair<bool, uint64_t>> points;
};

TEST(Bzip2Blocks, WorkerTakesOnlyFreeCores) {
  const std::string data = SampleData(60);
  const std::string stream = Bzip2(data);
  TempDir dir;
  const std::string path = dir / "entry.bin";
  WriteFile(path, stream);
  Bzip2Crew crew;
  crew.SetJobs(2);
  crew.SetLimits(0, 0);
  auto check = [&](bool with_crew, std::vector<std::pair<bool, uint64_t>>* points) {
    auto checker = std::make_unique<EntryChecker>();
    checker->SetCodec(ActiveCodec());
    checker->SetBzip2Crew(with_crew ? &crew : nullptr, true);
    PointRecorder recorder;
    checker->SetProgressSink(&recorder);
    FILE* f = fopen(path.c_str(), "rb");
    EXPECT_NE(f, nullptr);
    uint32_t crc = 0;
    const int rc =
        f == nullptr ? -1000
                     : checker->Check(kMethodBzip2, {0, 0}, f, stream.size(), 0, &crc, nullptr, "");
    if (f != nullptr) fclose(f);
    *points = recorder.points;
    return std::make_pair(rc, crc);
  };
  std::vector<std::pair<bool, uint64_t>> plain_points;
  const auto plain = check(false, &plain_points);
  ASSERT_EQ(plain.first, kEntryOk);
  ASSERT_EQ(plain.second, zipt::Crc(data));
  // Busy: the checking worker alone, then another worker too (no core left for a helper).
  for (int busy : {1, 2}) {
    SCOPED_TRACE(busy);
    crew.WorkerBusy(1);
    const int64_t verified = crew.verified();
    std::vector<std::pair<bool, uint64_t>> points;
    EXPECT_EQ(check(true, &points), plain);
    EXPECT_EQ(points, plain_points);
    EXPECT_EQ(crew.verified() - verified, busy == 1 ? 1 : 0);
  }
  crew.WorkerBusy(-2);
}

// The whole walk with two jobs against one: an archive of one long bzip2 entry leaves no work
// for workers, so its blocks go to the crew; every report, its progress and the result match.
TEST(Bzip2Blocks, WalkWithTwoJobsSameAsOne) {
  const std::string data = SampleData(90);
  const std::string stream = Bzip2(data);
  struct Case {
    const char* name;
    std::string entry;
    bool verified;
  };
  const std::vector<Case> cases = {
      {"sound", stream, true},
      {"middle block damaged", Flip(stream, MiddleOfBlock(stream, 2), 0x02), false},
  };
  // Whether a worker's entry gets a helper depends on what the other worker does meanwhile:
  // with small entries beside it, only the output is compared.
  const std::string small = zipt::Text(100);
  TempDir dir;
  ASSERT_TRUE(SetNameListFolder(""));
  const int jobs_before = g_testJobs;
  Bzip2Crew& crew = TestVerification().state().bzip2_crew;
  crew.SetLimits(0, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool beside : {false, true}) {
      SCOPED_TRACE(beside ? "with small entries" : "alone");
      zipt::ZipEntry e = zipt::Entry("big.bin", data, kMethodBzip2);
      e.compressed = c.entry;
      std::vector<zipt::ZipEntry> entries = {e};
      if (beside) {
        entries.insert(entries.begin(), zipt::Deflated("a.txt", small));
        entries.push_back(zipt::Stored("b.txt", small));
      }
      const std::string path = dir / "one.zip";
      WriteFile(path, zipt::BuildZip(zipt::Plan(entries)));
      std::vector<std::string> records[2];
      std::vector<std::pair<uint64_t, uint64_t>> progress[2];
      std::string results[2];
      for (int jobs : {1, 2}) {
        g_testJobs = jobs;
        g_recorder.Reset();
        ClearRunStop();
        const int64_t verified = crew.verified();
        results[jobs - 1] = RunVerification(nullptr, path.c_str(), false);
        records[jobs - 1] = g_recorder.All();
        progress[jobs - 1] = g_recorder.progress;
        // Pinned to one CPU (taskset), the walk keeps to one thread.
        const bool crew_used = jobs == 2 && c.verified && DefaultCheckJobs() >= 2;
        if (!beside) {
          EXPECT_EQ(crew.verified() - verified, crew_used ? 1 : 0);
        }
      }
      EXPECT_EQ(results[0], c.verified ? "OK" : "Verification failed");
      EXPECT_EQ(results[1], results[0]);
      EXPECT_EQ(records[1], records[0]);
      EXPECT_EQ(progress[1], progress[0]);
    }
  }
  g_testJobs = jobs_before;
  crew.SetLimits(Bzip2Crew::kMinLength, 0);
  g_recorder.Reset();
}

}  // namespace
