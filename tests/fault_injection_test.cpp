// Injected faults. Through the read seam of stream_io.h, every read of a clean run is made to
// come up short (or to fail) in turn: each must end the run with exactly one failure line, the
// text of its own read site, and leave no stream or descriptor open; the tally of texts over all
// reads shows that every entry's reads reach their site (a three-entry archive gives each
// per-entry site three times), and the order in which the texts first come out shows that each
// site's text belongs to its place in the walk. The ETag computation's read and write faults
// are in etag_test.cpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "test_run.h"
#include "codec.h"
#include "inflater.h"
#include "status_recorder.h"
#include "stream_io.h"
#include "test_util.h"
#include "zip_builder.h"

namespace fs = std::filesystem;
using zipt::Descriptor;
using zipt::Entry;
using zipt::Text;
using zipt::ZipEntry;
using zipt::ZipPlan;

namespace {

// Extra fields in both headers and a data descriptor, so that every per-entry read site has a
// read to cut.
ZipEntry Full(ZipEntry e, Descriptor descriptor) {
  e.central_extra = zipt::SubField(0xCAFE, "abcd");
  e.local_extra = zipt::SubField(0xCAFE, "efghij");
  e.descriptor = descriptor;
  return e;
}

const std::string kA = Text(30);
const std::string kC = Text(7);
// 40,000 bytes in one stored deflate block: 40,005 compressed bytes, read in three chunks.
const std::string kBig = zipt::RandomBytes(40000, 9);

// A stored entry, a deflated one and a stored one, each with a data descriptor: the deflated
// entry's descriptor is found where the inflater stopped, not by the stored length.
ZipPlan ThreeEntries() {
  ZipPlan s;
  ZipEntry big = Entry("big.bin", kBig, 8);
  big.compressed = zipt::DeflateStored(kBig);
  s.entries = {Full(Entry("a.txt", kA, 0), Descriptor::kSigned), Full(big, Descriptor::kSigned),
               Full(Entry("c.txt", kC, 0), Descriptor::kUnsigned)};
  return s;
}

ZipPlan StoredOnly() {
  return zipt::Plan({Full(Entry("a.txt", kA), Descriptor::kSigned),
                     Full(Entry("c.txt", kC), Descriptor::kUnsigned)});
}

ZipPlan Zip64One() {
  ZipPlan s;
  s.zip64 = true;
  ZipEntry e = Entry("a.txt", kA, 0);
  e.zip64_central = zipt::kZ64Compressed | zipt::kZ64Uncompressed | zipt::kZ64Offset;
  e.zip64_local = zipt::kZ64Compressed | zipt::kZ64Uncompressed;
  s.entries = {e};
  return s;
}

std::string Site(int n) { return "Error reading archive (" + std::to_string(n) + ")"; }

// How often a text must come out over all the reads of a sweep: at least `min`, at most `max`.
// A row lists its tallies in the order their texts first come out as the cut moves on.
struct Tally {
  std::string text;  // "{src}" stands for the comparison folder
  int min;
  int max;
};

struct Row {
  const char* name;
  ZipPlan (*plan)();
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
  // The sweep runs with zlib: with ISA-L, a deflated entry that fails is checked again from its
  // start with zlib, so a cut that comes once (as the seam's does, and a real file's never)
  // inside its data is read past the second time. The read sites are the same with both.
  void SetUp() override {
    saved_codec_ = ActiveCodec();
    SelectCodec(CodecBackend::kZlib);
    ASSERT_TRUE(SetNameListFolder(lists_.path().c_str()));
    ClearReadFault();
  }
  void TearDown() override {
    SelectCodec(saved_codec_);
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
    EXPECT_FALSE(TestVerification().HoldsOpenStreams());
    EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
    failures->clear();
    for (const auto& line : g_recorder.Logs()) {
      if (line == kVerifyingInternally || line == kVerifyingExternally) continue;
      if (line.rfind("Verified ", 0) == 0) continue;
      if (line.find("couldn't be opened externally") != std::string::npos) continue;
      if (line.find("compared correctly") != std::string::npos) continue;
      if (line.rfind("Entry ", 0) == 0) continue;  // names the entry; archive_walk_test has them
      failures->push_back(line);
    }
    return result;
  }

  CodecBackend saved_codec_ = CodecBackend::kZlib;
  TempDir dir_;
  TempDir lists_;
};

TEST_F(FaultInjectionTest, EveryReadOfTheWalkFailsWithItsSiteText) {
  const std::vector<Tally> head = Once({1, 2, 3});
  const std::vector<Tally> entry_heads = Times(3, {5, 6, 7, 8, 9, 12});
  const std::vector<Tally> descriptors = Times(3, {10, 11});
  const std::vector<Row> rows = {
      {"three entries, internal, read cut to nothing", ThreeEntries, false, 0, false,
       Join({head, entry_heads, {{"Incomplete file in archive", 2, 2}}, descriptors,
             {{"inf() error: -3", 3, 3}}})},
      {"three entries, internal, read error", ThreeEntries, false, 0, true,
       Join({head, entry_heads, {{"Incomplete file in archive", 2, 2}}, descriptors,
             {{"inf() error: -1", 3, 3}}})},
      {"stored entries, internal, one byte of each read", StoredOnly, false, 1, false,
       Join({head, Times(2, {5, 6, 7, 8, 9, 12}), {{"Incomplete file in archive", 2, 2}},
             Times(2, {10, 11})})},
      {"ZIP64, internal", Zip64One, false, 0, false,
       Join({Once({1, 2, 3, 4, 5, 6, 7, 8, 9, 12}), {{"Incomplete file in archive", 1, 1}}})},
      {"three entries, external, read cut to nothing", ThreeEntries, true, 0, false,
       Join({head, entry_heads,
             {{"Incomplete file in archive", 2, 2},
              {"Incomplete external file {src}/a.txt", 1, 1}},
             descriptors,
             {{"Error decompressing file {src}/big.bin (-3)", 3, 3},
              // one external read per inflate call that produced bytes
              {"Contents differ in file {src}/big.bin", 3, 4},
              {"Incomplete external file {src}/c.txt", 1, 1}}})},
      {"three entries, external, read error", ThreeEntries, true, 0, true,
       Join({head, entry_heads,
             {{"Incomplete file in archive", 2, 2},
              {"Incomplete external file {src}/a.txt", 1, 1}},
             descriptors,
             {{"Error decompressing file {src}/big.bin (-1)", 3, 3},
              {"Contents differ in file {src}/big.bin", 3, 4},
              {"Incomplete external file {src}/c.txt", 1, 1}}})},
      {"stored entries, external, one byte of each read", StoredOnly, true, 1, false,
       Join({head, Times(2, {5, 6, 7, 8, 9, 12}),
             {{"Incomplete file in archive", 2, 2},
              {"Incomplete external file {src}/a.txt", 1, 1}},
             Times(2, {10, 11}), {{"Incomplete external file {src}/c.txt", 1, 1}}})},
  };
  std::vector<std::string> failures;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const ZipPlan plan = row.plan();
    WriteFile(archive(), zipt::BuildZip(plan));
    // The comparison folder holds exactly the archive's files.
    fs::remove_all(src());
    for (const ZipEntry& e : plan.entries) WriteFile(src() + "/" + e.name, e.data);
    ClearReadFault();
    ASSERT_EQ(Verify(row.external, &failures), "OK");
    ASSERT_TRUE(failures.empty());
    const uint64_t reads = ReadCallCount();

    std::map<std::string, int> tally;
    std::vector<std::string> first_seen;  // each text once, in the order it first came out
    for (uint64_t n = 1; n <= reads; ++n) {
      InjectReadFault(n, row.allowed, row.fail);
      std::string result = Verify(row.external, &failures);
      ClearReadFault();
      EXPECT_EQ(result, "Verification failed") << "read " << n << " of " << reads;
      ASSERT_EQ(failures.size(), 1u) << "read " << n << " of " << reads;
      if (tally[failures[0]]++ == 0) first_seen.push_back(failures[0]);
    }
    // The seam leaves nothing behind: the next clean run passes.
    EXPECT_EQ(Verify(row.external, &failures), "OK");

    int expected_reads_min = 0, expected_reads_max = 0;
    std::vector<std::string> want_order;
    for (const Tally& t : row.tallies) {
      std::string text = t.text;
      if (size_t at = text.find("{src}"); at != std::string::npos) text.replace(at, 5, src());
      want_order.push_back(text);
      int got = tally.count(text) ? tally[text] : 0;
      EXPECT_GE(got, t.min) << text;
      EXPECT_LE(got, t.max) << text;
      tally.erase(text);
      expected_reads_min += t.min;
      expected_reads_max += t.max;
    }
    for (const auto& [text, count] : tally) ADD_FAILURE() << "unexpected: " << text << " x" << count;
    EXPECT_EQ(first_seen, want_order) << "the texts first came out in another order";
    EXPECT_GE(reads, static_cast<uint64_t>(expected_reads_min));
    EXPECT_LE(reads, static_cast<uint64_t>(expected_reads_max));
  }
}

}  // namespace
