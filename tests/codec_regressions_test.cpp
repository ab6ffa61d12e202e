// Inputs on which the fuzzers found zlib and ISA-L to disagree behind the codec seam, kept as
// cases built in code. The seam promises zlib's result at the call where zlib gives it; each case
// checks that promise at the RawInflater level and in the reports of whole runs. Skipped when
// ISA-L is not built in.
//
// Case "late bad block type" (codec_diff_fuzz, first finding): a bad block header in the last
// byte of the input handed over. zlib decodes the block before it and fails in the same call;
// ISA-L returned Z_OK with the decoded bytes and failed only a call later, so the entry check
// compared those bytes with the external file (and reported progress) before failing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_state.h"
#include "inflater.h"
#include "status_recorder.h"
#include "test_util.h"
#include "verify_run.h"
#include "zip_builder.h"

namespace {

std::string Hex(const char* hex) {
  std::string out;
  for (size_t i = 0; hex[i] != '\0' && hex[i + 1] != '\0'; i += 2)
    out.push_back(static_cast<char>(std::stoi(std::string(hex + i, 2), nullptr, 16)));
  return out;
}

// A non-final stored block of 16,372 bytes, then 7 bytes from the fuzzer: a fixed-code block
// of 5 bytes and, in the 7th byte, the header of a block of the reserved type 3. The 7th byte is
// the 16,384th of the stream: the last of the entry check's first chunk.
std::string LateBadBlockType() {
  const size_t n = 16372;
  std::string s(1, '\0');
  zipt::Put16(s, n);
  zipt::Put16(s, ~n & 0xFFFF);
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(i & 0xFF));
  return s + Hex("2ab7608d6a0218");
}

struct Step {
  int result;
  size_t produced;
};

std::vector<Step> InflateSteps(CodecBackend backend, const std::string& stream, size_t slice) {
  EXPECT_TRUE(SelectCodec(backend));
  std::vector<Step> steps;
  RawInflater inflater;
  if (inflater.Begin() != Z_OK) return {{-100, 0}};
  std::vector<unsigned char> out(16384);
  for (size_t pos = 0; pos < stream.size();) {
    size_t n = std::min(slice, stream.size() - pos);
    inflater.SetInput(reinterpret_cast<const unsigned char*>(stream.data()) + pos, n);
    pos += n;
    size_t produced;
    do {
      int rc = inflater.Inflate(out.data(), out.size(), &produced);
      steps.push_back({rc, rc == Z_DATA_ERROR ? 0 : produced});
      if (rc != Z_OK && rc != Z_BUF_ERROR) return steps;
    } while (produced == out.size());
  }
  return steps;
}

class CodecRegressionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CodecAvailable(CodecBackend::kIsal)) GTEST_SKIP() << "ISA-L is not built in";
    ASSERT_TRUE(SetNameListFolder(lists_.path().c_str()));
    saved_ = ActiveCodec();
  }
  void TearDown() override {
    SelectCodec(saved_);
    SetNameListFolder(kDefaultNameListFolder);
    g_recorder.Reset();
  }
  // Every report of a run, and its result, as one list of lines.
  std::vector<std::string> Reports(CodecBackend backend, bool external) {
    EXPECT_TRUE(SelectCodec(backend));
    g_recorder.Reset();
    std::string result = RunVerification(external ? (dir_ / "src").c_str() : "",
                                         (dir_ / "r.zip").c_str(), external);
    std::vector<std::string> out;
    for (const auto& r : g_recorder.records) out.push_back(std::to_string(r.kind) + " " + r.text);
    out.push_back("result " + result);
    return out;
  }
  TempDir dir_;
  TempDir lists_;
  CodecBackend saved_ = CodecBackend::kZlib;
};

TEST_F(CodecRegressionTest, LateBadBlockTypeFailsAtTheSameCall) {
  const std::string stream = LateBadBlockType();
  ASSERT_EQ(stream.size(), 16384u);
  std::vector<Step> zlib = InflateSteps(CodecBackend::kZlib, stream, 16384);
  std::vector<Step> isal = InflateSteps(CodecBackend::kIsal, stream, 16384);
  ASSERT_FALSE(zlib.empty());
  EXPECT_EQ(zlib[0].result, Z_DATA_ERROR);
  ASSERT_EQ(zlib.size(), isal.size());
  for (size_t i = 0; i < zlib.size(); ++i) {
    EXPECT_EQ(isal[i].result, zlib[i].result) << "call " << i;
    EXPECT_EQ(isal[i].produced, zlib[i].produced) << "call " << i;
  }
}

TEST_F(CodecRegressionTest, LateBadBlockTypeGivesTheSameReports) {
  // More compressed bytes after the bad header, so a second chunk (and its progress line)
  // exists; the external file differs from what the good blocks decode to.
  zipt::ZipEntry e;
  e.name = "r.bin";
  e.data = "whatever the entry once held";
  e.method = 8;
  e.compressed = LateBadBlockType() + std::string(100, '\x55');
  zipt::ZipSpec spec;
  spec.entries = {e};
  WriteFile(dir_ / "r.zip", zipt::BuildZip(spec));
  WriteFile(dir_ / "src/r.bin", std::string(20000, 'x'));
  for (bool external : {false, true}) {
    SCOPED_TRACE(external ? "external" : "internal");
    EXPECT_EQ(Reports(CodecBackend::kIsal, external), Reports(CodecBackend::kZlib, external));
  }
}

}  // namespace
