// Multipart ETag: file sizes around the part edges checked against Python's hashlib, expected
// ETags against every part size an uploader may have used, the part sizes derived and their
// texts, the part limit, stops at progress lines, read faults, names that do not fit, ETag
// files that cannot be written, and archives that are not regular files. Small parts come from
// the part-size and size-unit seams, so the 10,000-part cases run on files of kilobytes.
#include "etag.h"

#include "checksum_values.h"
#include "status_recorder.h"
#include "stream_io.h"
#include "test_util.h"
#include "zip_builder.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <iostream>
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

// The system's interpreter without site packages starts in milliseconds, where a version
// manager's shim can take half a second every time.
std::string Python() {
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3 -S" : "python3";
}

// The whole-file MD5 and the ETag for each of `part_sizes` by Python's hashlib.
bool PythonEtags(const std::string& path, const std::vector<uint64_t>& part_sizes,
                 const TempDir& dir, std::string* whole, std::vector<std::string>* etags) {
  const std::string result = dir / "python.out";
  std::string sizes;
  for (uint64_t size : part_sizes) sizes += " " + std::to_string(size);
  const int rc =
      RunCommand(Python() +
                 " -c 'import hashlib,sys\n"
                 "d=open(sys.argv[1],\"rb\").read(); print(hashlib.md5(d).hexdigest())\n"
                 "for p in map(int, sys.argv[2:]):\n"
                 "  ds=[hashlib.md5(d[i:i+p]).digest() for i in range(0,len(d),p)]\n"
                 "  print(hashlib.md5(b\"\".join(ds)).hexdigest()+\"-\"+str(len(ds)))' '" +
                 path + "'" + sizes + " > " + result);
  std::istringstream in(ReadFile(result));
  etags->assign(part_sizes.size(), "");
  bool ok = rc == 0 && static_cast<bool>(in >> *whole);
  for (std::string& etag : *etags) ok = ok && static_cast<bool>(in >> etag);
  return ok;
}

bool PythonEtag(const std::string& path, size_t part_size, const TempDir& dir, Expected* out) {
  std::vector<std::string> etags;
  if (!PythonEtags(path, {part_size}, dir, &out->whole, &etags)) return false;
  out->etag = etags[0];
  return true;
}

// Each asked-for value of the file at `path` by Python alone: hashlib for SHA and MD5, zlib for
// CRC-32, and CRC-32C and CRC-64/NVME from a 256-entry table made in the script from the
// reflected polynomials. A request is "ALG:0" for the whole-file value or "ALG:SIZE" for the
// composite value of parts of SIZE bytes (base64, then "-N"); one value per request, in order.
bool PythonChecksums(const std::string& path, const std::vector<std::string>& requests,
                     const TempDir& dir, std::vector<std::string>* values) {
  const std::string script = dir / "checksums.py";
  WriteFile(script, R"(import base64, hashlib, sys, zlib
def table_crc(width, reflected):
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ reflected if c & 1 else c >> 1
        table.append(c)
    mask = (1 << width) - 1
    def crc(data):
        c = mask
        for b in data:
            c = table[(c ^ b) & 0xff] ^ (c >> 8)
        return (c ^ mask).to_bytes(width // 8, "big")
    return crc
algs = {
    "CRC64NVME": table_crc(64, 0x9a6c9329ac4bc9b5),
    "CRC32": lambda d: zlib.crc32(d).to_bytes(4, "big"),
    "CRC32C": table_crc(32, 0x82f63b78),
    "SHA1": lambda d: hashlib.sha1(d).digest(),
    "SHA256": lambda d: hashlib.sha256(d).digest(),
    "SHA512": lambda d: hashlib.sha512(d).digest(),
    "MD5": lambda d: hashlib.md5(d).digest(),
}
data = open(sys.argv[1], "rb").read()
for request in sys.argv[2:]:
    alg, size = request.split(":")
    f, size = algs[alg], int(size)
    if size == 0:
        print(base64.b64encode(f(data)).decode())
        continue
    parts = [data[i:i + size] for i in range(0, len(data), size)]
    value = f(b"".join(f(p) for p in parts))
    print(base64.b64encode(value).decode() + "-" + str(len(parts)))
)");
  std::string args;
  for (const std::string& request : requests) args += " " + request;
  const std::string result = dir / "checksums.out";
  const int rc = RunCommand(Python() + " " + script + " '" + path + "'" + args + " > " + result);
  std::istringstream in(ReadFile(result));
  values->assign(requests.size(), "");
  bool ok = rc == 0;
  for (std::string& value : *values) ok = ok && static_cast<bool>(in >> value);
  return ok;
}

class EtagTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recorder.Reset();
    ClearReadFault();
    fds_ = CountOpenFds();
  }
  void TearDown() override {
    SetEtagSizeUnitForTesting(1 << 20);
    SetEtagPartSizeForTesting(kEtagPartSize);
    ClearReadFault();
    EXPECT_EQ(CountOpenFds(), fds_) << "a descriptor was left open";
  }

  // ComputeEtag with standard output captured into `console`.
  bool Run(const std::string& path, std::string* console = nullptr,
           const EtagOptions& options = EtagOptions()) {
    g_recorder.Reset();
    ClearReadFault();  // restarts the read count
    testing::internal::CaptureStdout();
    const bool ok = ComputeEtag(path.c_str(), options);
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
      // A part larger than the read buffer is read in pieces that each get a progress line.
      {"part_larger_than_the_buffer", kMiB10 + 1, 16 << 20, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string archive = dir_ / (std::string(row.name) + ".zip");
    WriteFile(archive, zipt::RandomBytes(row.size, static_cast<uint32_t>(row.size)));
    ASSERT_TRUE(SetEtagPartSizeForTesting(row.part_size));
    Expected want;
    ASSERT_TRUE(PythonEtag(archive, row.part_size, dir_, &want));
    ASSERT_EQ(want.etag.substr(32), "-" + std::to_string(row.parts));

    std::string console;
    ASSERT_TRUE(Run(archive, &console));
    // A progress line per part (per 10 MiB of a larger one), each piece read in reads of
    // kEtagReadSize, and one more line and read that find the end.
    std::vector<std::string> progress;
    uint64_t reads = 1;
    for (int i = 1; i <= row.parts; ++i) {
      const size_t part = std::min(row.part_size, row.size - (i - 1) * row.part_size);
      for (size_t piece = 0; piece < part; piece += kMiB10) {
        progress.push_back(Progress(i, row.parts));
        reads += (std::min(kMiB10, part - piece) + kEtagReadSize - 1) / kEtagReadSize;
      }
    }
    progress.push_back(Progress(row.parts + 1, row.parts));
    EXPECT_EQ(g_recorder.Statuses(), progress);
    std::vector<std::pair<uint64_t, uint64_t>> parts_done;  // beside each line: parts done so far
    for (const std::string& line : progress) {
      const uint64_t part = static_cast<uint64_t>(std::stoi(line.substr(line.find("part ") + 5)));
      parts_done.push_back({part - 1, static_cast<uint64_t>(row.parts)});
    }
    EXPECT_EQ(g_recorder.progress, parts_done);
    EXPECT_EQ(ReadCallCount(), reads);
    EXPECT_EQ(g_recorder.Logs(), (std::vector<std::string>{"MD5: " + want.whole,
                                                           "Multipart ETag: " + want.etag + "\n"}));
    EXPECT_EQ(console, "\nETag: " + want.etag + "\n");
    EXPECT_EQ(ReadFile(archive + ".md5"),
              "MD5: " + want.whole + "\nMultipart ETag: " + want.etag + "\n\n");
  }
}

std::string SizeText(uint64_t bytes) {
  char text[40];
  EXPECT_TRUE(FormatEtagPartSize(bytes, text, sizeof(text)));
  return text;
}

constexpr uint64_t kUnit = 1024;  // stands in for a MiB: 5 KiB parts play 5 MiB parts

// Every part size that can give a file's part count, checked on sizes around the part edges in
// units of a KiB: the expected ETag (from hashlib for that size) is matched, the match names the
// size, and the ETag file holds that ETag, its line naming any size but the default.
TEST_F(EtagTest, ExpectedEtagMatchesEveryCandidateSize) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not found";
  ASSERT_TRUE(SetEtagSizeUnitForTesting(kUnit));
  const uint64_t sizes[] = {0,
                            1,
                            5 * kUnit - 1,
                            5 * kUnit,
                            5 * kUnit + 1,
                            8 * kUnit - 1,
                            8 * kUnit + 1,
                            10 * kUnit + 1,
                            21 * kUnit + 5,
                            30 * kUnit,  // 2 parts of 15 end at the end, those of 16 do not
                            100 * kUnit + 3};
  for (uint64_t size : sizes) {
    const std::string archive = dir_ / ("f" + std::to_string(size) + ".zip");
    WriteFile(archive, zipt::RandomBytes(size, static_cast<uint32_t>(size) + 1));
    // The part counts the usual sizes make, and 2 parts (the large multiples of 16).
    std::vector<int64_t> counts;
    for (uint64_t units : {5, 8, 10, 16}) {
      counts.push_back(static_cast<int64_t>((size + units * kUnit - 1) / (units * kUnit)));
    }
    counts.push_back(2);
    std::sort(counts.begin(), counts.end());
    counts.erase(std::unique(counts.begin(), counts.end()), counts.end());
    for (int64_t parts : counts) {
      uint64_t candidates[kMaxEtagCandidates];
      const int n = EtagCandidateSizes(size, parts, 0, kUnit, candidates);
      if (n == 0) continue;
      std::string whole;
      std::vector<std::string> etags;
      ASSERT_TRUE(PythonEtags(archive, std::vector<uint64_t>(candidates, candidates + n), dir_,
                              &whole, &etags));
      for (int i = 0; i < n; ++i) {
        SCOPED_TRACE(std::to_string(size) + " bytes, " + std::to_string(parts) + " parts of " +
                     std::to_string(candidates[i]));
        ASSERT_EQ(etags[i].substr(33), std::to_string(parts));
        EtagOptions options;
        options.expected = etags[i].c_str();
        std::string console;
        ASSERT_TRUE(Run(archive, &console, options)) << g_recorder.LastStatus();
        const std::string named =
            candidates[i] == 10 * kUnit ? "" : " (" + SizeText(candidates[i]) + " parts)";
        const std::string etag_line = "Multipart ETag" + named + ": " + etags[i] + "\n";
        EXPECT_EQ(
            g_recorder.Logs(),
            (std::vector<std::string>{"MD5: " + whole, etag_line,
                                      "ETag matches with " + SizeText(candidates[i]) + " parts"}));
        EXPECT_EQ(console, "\nETag: " + etags[i] + "\n");
        EXPECT_EQ(ReadFile(archive + ".md5"), "MD5: " + whole + "\n" + etag_line + "\n");
      }
    }
  }
}

// Outcomes of an expected ETag on a file of 21 KiB + 5 (3 parts of 10 or 8 KiB), sizes in KiB
// for MiB: the logs, the final status, whether the file was read and an ETag file written.
TEST_F(EtagTest, ExpectedEtagOutcomes) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not found";
  ASSERT_TRUE(SetEtagSizeUnitForTesting(kUnit));
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, zipt::RandomBytes(21 * kUnit + 5, 21));
  std::string md5;
  std::vector<std::string> etags;  // 10 KiB and 8 KiB parts
  ASSERT_TRUE(PythonEtags(archive, {10 * kUnit, 8 * kUnit}, dir_, &md5, &etags));
  std::string upper_md5 = md5;
  for (char& c : upper_md5) c = static_cast<char>(toupper(c));
  std::string wrong_digit = etags[0];
  wrong_digit[5] = wrong_digit[5] == '0' ? '1' : '0';
  const std::string md5_line = "MD5: " + md5;
  const std::string line10 = "Multipart ETag: " + etags[0] + "\n";
  const std::string line8 = "Multipart ETag (8 KiB parts): " + etags[1] + "\n";
  const std::string not_md5 = kNotMd5StyleEtag;
  const std::string whole = "ETag matches with whole-file parts";
  const std::string digest = etags[0].substr(0, 32);
  struct Row {
    const char* name;
    std::string expected;  // empty: none; a failure's status is "ETag does not match <it>"
    uint64_t part_size;    // the caller's, 0: none
    bool ok;
    std::vector<std::string> logs;
    bool read;  // the file was read
  };
  const Row rows[] = {
      {"plain_md5", md5, 0, true, {md5_line, line10, whole}, true},
      {"quoted_upper_case_md5_with_blanks",
       " \"" + upper_md5 + "\"\n",
       0,
       true,
       {md5_line, line10, whole},
       true},
      {"named_size_matches",
       etags[1],
       8 * kUnit,
       true,
       {md5_line, line8, "ETag matches with 8 KiB parts"},
       true},
      {"named_default_size_keeps_the_texts", "", 10 * kUnit, true, {md5_line, line10}, true},
      {"named_size_without_expected", "", 8 * kUnit, true, {md5_line, line8}, true},
      {"one_digit_wrong", wrong_digit, 0, false, {}, true},
      // 4 parts fit 6 KiB (ceil(size / 4) rounded up), which is read and does not match.
      {"right_digest_wrong_count", digest + "-4", 0, false, {}, true},
      {"kms_style_digest", digest, 0, false, {not_md5}, true},
      {"not_hex", "a1b2-c3", 0, false, {not_md5}, false},
      {"count_not_decimal", md5 + "-x", 0, false, {not_md5}, false},
      {"more_parts_than_uploads_have", digest + "-10001", 0, false, {}, false},
      {"named_size_gives_another_count", etags[1], 7 * kUnit, false, {}, false},
  };
  // Longer than the new text, which must replace it whole; every run on the same archive must
  // give hashlib's result, with nothing left over from the run before.
  const std::string old_text(200, 'o');
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(archive + ".md5", old_text);
    EtagOptions options;
    options.part_size = row.part_size;
    options.expected = row.expected.empty() ? nullptr : row.expected.c_str();
    std::string console;
    EXPECT_EQ(Run(archive, &console, options), row.ok);
    EXPECT_EQ(g_recorder.Logs(), row.logs);
    EXPECT_EQ(ReadCallCount() > 0, row.read);
    if (row.ok) {
      EXPECT_EQ(ReadFile(archive + ".md5"), row.logs[0] + "\n" + row.logs[1] + "\n");
    } else {
      EXPECT_EQ(g_recorder.LastStatus(), "ETag does not match " + row.expected);
      EXPECT_EQ(console, "");
      EXPECT_EQ(ReadFile(archive + ".md5"), old_text);
    }
  }
}

// The seven algorithms, in an order of their own so the lines' order is seen to be the one asked.
const char* const kAllChecksums[] = {"SHA512", "CRC32",  "MD5",   "CRC64NVME",
                                     "SHA1",   "CRC32C", "SHA256"};

std::string LineName(const std::string& alg) { return alg == "MD5" ? "MD5 base64" : alg; }

// Options with checksums: `listed` for --checksum, `texts` parsed as --expect-checksum values.
// Keeps what the options point into.
struct ChecksumOptions {
  std::vector<ChecksumAlg> listed;
  std::vector<std::string> texts;
  std::vector<ExpectedChecksum> values;
  EtagOptions options;
  ChecksumOptions(const std::vector<std::string>& names, const std::vector<std::string>& expected)
      : texts(expected), values(expected.size()) {
    for (const std::string& name : names) {
      listed.emplace_back();
      EXPECT_TRUE(ParseChecksumAlg(name.data(), name.size(), &listed.back())) << name;
    }
    for (size_t i = 0; i < texts.size(); ++i) {
      const char* value = nullptr;
      EXPECT_EQ(ParseExpectedChecksum(texts[i].c_str(), &values[i], &value),
                ExpectedChecksumParse::kOk)
          << texts[i];
    }
    options.checksums = listed.data();
    options.checksum_count = static_cast<int>(listed.size());
    options.expected_checksums = values.data();
    options.expected_checksum_count = static_cast<int>(values.size());
  }
};

// What the ETag file holds after a success whose log lines are `logs`: the MD5 and ETag lines,
// the checksum lines (those before the MD5 line), the closing line feed.
std::string EtagFileOf(const std::vector<std::string>& logs) {
  size_t md5 = 0;
  while (md5 < logs.size() && logs[md5].rfind("MD5: ", 0) != 0) ++md5;
  if (md5 + 1 >= logs.size()) return "(no MD5 line)";
  std::string text = logs[md5] + "\n" + logs[md5 + 1];
  for (size_t i = 0; i < md5; ++i) text += logs[i] + "\n";
  return text + "\n";
}

// Against Python, on files around the part edges in units of a KiB: every algorithm's whole-file
// value, and the composite value of every candidate part size of the part counts the usual
// sizes make (1 and 2 parts among them), an algorithm for each, expected up to 8 at a time.
TEST_F(EtagTest, ChecksumsMatchPython) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not found";
  ASSERT_TRUE(SetEtagSizeUnitForTesting(kUnit));
  for (uint64_t size : {uint64_t{0}, uint64_t{1}, 5 * kUnit, 5 * kUnit + 1, 8 * kUnit + 1,
                        30 * kUnit, 100 * kUnit + 3}) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    const std::string archive = dir_ / ("c" + std::to_string(size) + ".zip");
    WriteFile(archive, zipt::RandomBytes(size, static_cast<uint32_t>(size) + 2));
    std::vector<std::string> requests, algs, sized;  // sized: the composites' part sizes named
    for (const char* alg : kAllChecksums) requests.push_back(std::string(alg) + ":0");
    for (int64_t parts : {1, 2, 3, 7, 11, 13, 21}) {
      uint64_t candidates[kMaxEtagCandidates];
      const int n = EtagCandidateSizes(size, parts, 0, kUnit, candidates);
      for (int i = 0; i < n; ++i) {
        algs.push_back(kAllChecksums[(parts + i) % 7]);
        sized.push_back(SizeText(candidates[i]));
        requests.push_back(algs.back() + ":" + std::to_string(candidates[i]));
      }
    }
    std::vector<std::string> values;
    ASSERT_TRUE(PythonChecksums(archive, requests, dir_, &values));
    Expected want;
    ASSERT_TRUE(PythonEtag(archive, 10 * kUnit, dir_, &want));
    for (size_t first = 0; first == 0 || first < algs.size(); first += kMaxExpectedChecksums) {
      std::vector<std::string> expected, logs, matches;
      for (int i = 0; i < 7; ++i) logs.push_back(LineName(kAllChecksums[i]) + ": " + values[i]);
      for (size_t c = first; c < algs.size() && c < first + kMaxExpectedChecksums; ++c) {
        expected.push_back(algs[c] + ":" + values[7 + c]);
        logs.push_back(LineName(algs[c]) + " (" + sized[c] + " parts): " + values[7 + c]);
        matches.push_back("Checksum matches: " + algs[c] + " with " + sized[c] + " parts");
      }
      logs.push_back("MD5: " + want.whole);
      logs.push_back("Multipart ETag: " + want.etag + "\n");
      logs.insert(logs.end(), matches.begin(), matches.end());
      ChecksumOptions run({std::begin(kAllChecksums), std::end(kAllChecksums)}, expected);
      std::string console;
      ASSERT_TRUE(Run(archive, &console, run.options)) << g_recorder.LastStatus();
      EXPECT_EQ(g_recorder.Logs(), logs);
      EXPECT_EQ(console, "\nETag: " + want.etag + "\n");
      EXPECT_EQ(ReadFile(archive + ".md5"), EtagFileOf(logs));
    }
  }
}

// Outcomes of expected checksums on a file of 21 KiB + 5 (3 parts of 10 or 8 KiB), sizes in
// KiB for MiB: the lines and their order and the ETag file, or the one status line of a
// mismatch (the value as given, its first 200 bytes) with nothing written, and whether the file
// was read.
TEST_F(EtagTest, ExpectedChecksumOutcomes) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not found";
  ASSERT_TRUE(SetEtagSizeUnitForTesting(kUnit));
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, zipt::RandomBytes(21 * kUnit + 5, 21));
  std::vector<std::string> v;
  ASSERT_TRUE(PythonChecksums(
      archive, {"SHA256:0", "CRC32C:0", "CRC64NVME:0", "SHA256:8192", "SHA256:10240"}, dir_, &v));
  const std::string sha = v[0], crc32c = v[1], crc64 = v[2], sha8 = v[3], sha10 = v[4];
  std::string hex_md5;
  std::vector<std::string> etags;  // 10 KiB and 8 KiB parts
  ASSERT_TRUE(PythonEtags(archive, {10 * kUnit, 8 * kUnit}, dir_, &hex_md5, &etags));
  const std::string md5_line = "MD5: " + hex_md5;
  const std::string wrong = sha10.substr(0, 44);  // SHA-256 of something else
  const std::string far = "SHA256:" + std::string(250, ' ') + wrong;
  struct Row {
    const char* name;
    // --expect-checksum values in order; "list:ALG" is --checksum ALG, "etag:VALUE" an ETag.
    std::vector<std::string> args;
    std::vector<std::string> logs;  // empty: a failure naming the last value (or the ETag)
    bool read;
  };
  const Row rows[] = {
      // Listed first, then the algorithms of the values in their order, once each; the
      // composite's line after the whole-file lines; whole-file matches first.
      {"order_of_the_lines",
       {"list:crc32c", "SHA256:" + sha8, "CRC64NVME:" + crc64, "sha256: \"" + sha8 + "\""},
       {"CRC32C: " + crc32c, "SHA256: " + sha, "CRC64NVME: " + crc64,
        "SHA256 (8 KiB parts): " + sha8, md5_line, "Multipart ETag: " + etags[0] + "\n",
        "Checksum matches: CRC64NVME", "Checksum matches: SHA256 with 8 KiB parts"},
       true},
      {"with_expected_etag",
       {"etag:" + etags[1], "SHA256:" + sha8},
       {"SHA256: " + sha, "SHA256 (8 KiB parts): " + sha8, md5_line,
        "Multipart ETag (8 KiB parts): " + etags[1] + "\n", "ETag matches with 8 KiB parts",
        "Checksum matches: SHA256 with 8 KiB parts"},
       true},
      {"second_value_differs", {"SHA256:" + sha, "CRC32C:AAAAAA=="}, {}, true},
      // 4 parts fit 6 KiB (ceil(size / 4) rounded up); 40 parts no size.
      {"composite_differs", {"SHA256:" + wrong + "-4"}, {}, true},
      {"no_part_size_gives_n", {"SHA256:" + wrong + "-40"}, {}, false},
      {"expected_etag_judged_first",
       {"SHA256:" + wrong, "etag:" + etags[1].substr(0, 32) + "-9"},
       {},
       false},
      {"read_for_the_etag_then_judged", {"etag:" + etags[0], "SHA256:" + wrong + "-40"}, {}, true},
      {"long_value_shown_in_part", {far}, {}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    WriteFile(archive + ".md5", "old text");
    std::vector<std::string> listed, values;
    std::string etag;
    for (const std::string& arg : row.args) {
      if (arg.rfind("list:", 0) == 0) {
        listed.push_back(arg.substr(5));
      } else if (arg.rfind("etag:", 0) == 0) {
        etag = arg.substr(5);
      } else {
        values.push_back(arg);
      }
    }
    ChecksumOptions run(listed, values);
    run.options.expected = etag.empty() ? nullptr : etag.c_str();
    std::string console;
    EXPECT_EQ(Run(archive, &console, run.options), !row.logs.empty()) << g_recorder.LastStatus();
    EXPECT_EQ(g_recorder.Logs(), row.logs);
    EXPECT_EQ(ReadCallCount() > 0, row.read);
    if (!row.logs.empty()) {
      EXPECT_EQ(ReadFile(archive + ".md5"), EtagFileOf(row.logs));
      continue;
    }
    const std::string& last = row.args.back();
    EXPECT_EQ(g_recorder.LastStatus(), last.rfind("etag:", 0) == 0
                                           ? "ETag does not match " + last.substr(5)
                                           : "Checksum does not match " + last.substr(0, 200));
    EXPECT_EQ(console, "");
    EXPECT_EQ(ReadFile(archive + ".md5"), "old text");
  }
}

// The part sizes an upload of `parts` parts may have used, in MiB, on files too large to make.
TEST(EtagCandidates, SizesThatGiveThePartCount) {
  constexpr uint64_t kMiB = 1 << 20;
  constexpr uint64_t kGiB = kMiB << 10;
  struct Row {
    const char* name;
    uint64_t file_size;
    int64_t parts;
    uint64_t part_size;  // the caller's, 0: none
    std::vector<uint64_t> mib;
  };
  const Row rows[] = {
      {"only_ours_fits", kGiB, 103, 0, {10}},
      {"only_eight_fits", kGiB, 128, 0, {8}},
      // 9 MiB would fit too, but no uploader uses it.
      {"ours_and_eight", 21 * kMiB + 5, 3, 0, {10, 8}},
      {"ceil_rounded_to_a_mib", 21 * kMiB + 5, 4, 0, {6}},
      {"eight_not_ours", 40 * kMiB, 5, 0, {8}},
      {"rclone_and_go_sdk", 40 * kMiB + 1, 9, 0, {5}},
      {"s3cmd_and_minio", 30 * kMiB, 2, 0, {15, 16}},
      // 1 GiB in 2 parts: 512 MiB (doubled 8 and the rounded half) and then the next multiples of
      // 16, cut at 8 sizes.
      {"doubled_then_multiples_of_16", kGiB, 2, 0, {512, 528, 544, 560, 576, 592, 608, 624}},
      {"doubled_for_a_large_file", 200 * kGiB, 6400, 0, {32}},
      {"one_part_is_one_set_of_boundaries", 3 * kMiB, 1, 0, {10}},
      {"one_part_of_a_large_file", 100 * kMiB, 1, 0, {128}},
      {"empty_file", 0, 0, 0, {10}},
      {"no_parts_of_a_byte", 1, 0, 0, {}},
      {"parts_under_5_mib", 100 * kMiB, 30, 0, {}},
      {"largest_part", 5 * kGiB, 1, 0, {5120}},
      {"part_over_5_gib", 5 * kGiB + 1, 1, 0, {}},
      {"more_parts_than_allowed", 10001 * 5 * kMiB, 10001, 0, {}},
      {"named_size_fits", 21 * kMiB + 5, 4, 7 * kMiB, {7}},
      {"named_size_does_not_fit", 21 * kMiB + 5, 3, 7 * kMiB, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    uint64_t sizes[kMaxEtagCandidates];
    const int n = EtagCandidateSizes(row.file_size, row.parts, row.part_size, kMiB, sizes);
    std::vector<uint64_t> mib;
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(sizes[i] % kMiB, 0u);
      mib.push_back(sizes[i] / kMiB);
    }
    EXPECT_EQ(mib, row.mib);
  }
}

// --part-size's text and the size named in the ETag line.
TEST(EtagPartSize, ParsedAndNamed) {
  struct Row {
    const char* text;
    uint64_t bytes;  // 0: refused
    const char* named;
  };
  const Row rows[] = {
      {"5242880", 5 << 20, "5 MiB"},
      {"5242881", (5 << 20) + 1, "5242881 bytes"},
      {"8MiB", 8 << 20, "8 MiB"},
      {"15360KiB", 15 << 20, "15 MiB"},
      {"5121KiB", 5121 << 10, "5121 KiB"},
      {"5GiB", uint64_t{5} << 30, "5 GiB"},
      {"5120MiB", uint64_t{5} << 30, "5 GiB"},
      {"1536MiB", uint64_t{1536} << 20, "1536 MiB"},
      {"5242879", 0, ""},
      {"4MiB", 0, ""},
      {"5121MiB", 0, ""},
      {"6GiB", 0, ""},
      {"8 MiB", 0, ""},
      {"8mib", 0, ""},
      {"8M", 0, ""},
      {"MiB", 0, ""},
      {"", 0, ""},
      {"-8MiB", 0, ""},
      {"99999999999999999999999MiB", 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    uint64_t bytes = 0;
    EXPECT_EQ(ParseEtagPartSize(row.text, &bytes), row.bytes != 0);
    if (row.bytes == 0) continue;
    EXPECT_EQ(bytes, row.bytes);
    EXPECT_EQ(SizeText(bytes), row.named);
  }
}

// A read that comes up short without an error (the seam allows 10 bytes of a part) must be
// continued: a shifted part boundary would change every later part digest.
TEST_F(EtagTest, ShortReadDoesNotShiftParts) {
  if (!HaveProgram("python3")) GTEST_SKIP() << "python3 not found";
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, zipt::RandomBytes(700, 3));
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
// Default part sizes of 1 (no shared blocks) and 64 (shared blocks), and a part size the caller
// names (the limit holds for any size, 5 bytes standing in for 5 MiB).
TEST_F(EtagTest, PartLimit) {
  struct Row {
    const char* name;
    size_t part_size;
    size_t size;
    bool ok;
    bool named;  // passed as the caller's part size, not through the seam
  };
  const Row rows[] = {
      {"ten_thousand_single_bytes", 1, 10000, true, false},
      {"one_byte_too_many", 1, 10001, false, false},
      {"ten_thousand_blocks", 64, 640000, true, false},
      {"one_block_byte_too_many", 64, 640001, false, false},
      {"ten_thousand_named_parts", 5, 50000, true, true},
      {"named_parts_one_byte_too_many", 5, 50001, false, true},
  };
  const bool python = HaveProgram("python3");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string archive = dir_ / (std::string(row.name) + ".zip");
    WriteFile(archive, zipt::RandomBytes(row.size, 11));
    EtagOptions options;
    if (row.named) {
      options.part_size = row.part_size;
    } else {
      ASSERT_TRUE(SetEtagPartSizeForTesting(row.part_size));
    }
    const int parts = static_cast<int>((row.size + row.part_size - 1) / row.part_size);
    std::string console;
    EXPECT_EQ(Run(archive, &console, options), row.ok);
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
// and nothing more, no console output, and the ETag file from an earlier computation untouched;
// also with checksums being computed on the helper thread (a composite value of 100-byte parts).
TEST_F(EtagTest, StopAtProgressLineLeavesOldEtagFile) {
  const std::string archive = dir_ / "a.zip";
  const std::string etag_file = archive + ".md5";
  WriteFile(archive, zipt::RandomBytes(3 * 128, 5));
  ASSERT_TRUE(SetEtagPartSizeForTesting(128));  // three parts: four progress lines
  const ChecksumOptions checksums({"CRC64NVME", "SHA256"},
                                  {"SHA1:" + std::string(27, 'A') + "=-4"});
  for (int stop_at = 1; stop_at <= 8; ++stop_at) {
    SCOPED_TRACE("stop at progress line " + std::to_string((stop_at - 1) % 4 + 1) +
                 (stop_at > 4 ? ", with checksums" : ""));
    WriteFile(etag_file, "old text");
    EtagOptions options;
    if (stop_at > 4) {
      options = checksums.options;
      options.part_size = 100;
    }
    g_recorder.Reset();
    g_recorder.stop_at = (stop_at - 1) % 4 + 1;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ComputeEtag(archive.c_str(), options));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(g_recorder.calls, g_recorder.stop_at + 1);
    const int parts = options.part_size == 0 ? 3 : 4;
    EXPECT_EQ(g_recorder.Statuses()[static_cast<size_t>(g_recorder.stop_at) - 1],
              Progress(g_recorder.stop_at, parts));
    EXPECT_EQ(g_recorder.LastStatus(), "Stopped by user");
    EXPECT_TRUE(g_recorder.Logs().empty());
    EXPECT_EQ(ReadFile(etag_file), "old text");
    EXPECT_EQ(OtherFiles(dir_.path(), {"a.zip", "a.zip.md5"}), std::vector<std::string>{});
  }
}

// A pace that answers the progress lines late (as the one read does): the sink is asked at the
// line, but its answer comes only when the computation asks LateStop(), after the piece has been
// read. A stop so answered, with the piece's read failing meanwhile or not, must end the
// computation exactly as a stop answered at the line: the same reports, "Stopped by user", no
// console block, the old ETag file.
class LatePace final : public EtagReadPace {
 public:
  explicit LatePace(StopRequest* stop) : stop_(stop) {}
  void BeforeRead(uint64_t) override {}
  bool ProgressLine(Reporter& reporter, const char* text) override {
    const int before = g_recorder.stop_at;
    g_recorder.stop_at = 0;  // the answer is held back
    reporter.Report(kStatusLine, text);
    g_recorder.stop_at = before;
    owed_ = before != 0 && g_recorder.calls >= before;
    return reporter.StopRaised();
  }
  bool LateStop(Reporter& reporter) override {
    ++asked_;
    if (owed_) stop_->Raise();
    owed_ = false;
    return reporter.StopRaised();
  }
  int asked() const { return asked_; }

 private:
  StopRequest* stop_;
  bool owed_ = false;
  int asked_ = 0;
};

TEST_F(EtagTest, StopAnsweredLateEndsAsAtItsLine) {
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, zipt::RandomBytes(3 * 128, 5));
  ASSERT_TRUE(SetEtagPartSizeForTesting(128));  // three parts: four progress lines, four reads
  for (int stop_at = 1; stop_at <= 4; ++stop_at)
  for (bool fault : {false, true}) {
    SCOPED_TRACE("stop at line " + std::to_string(stop_at) + (fault ? ", its read fails" : ""));
    WriteFile(archive + ".md5", "old text");
    g_recorder.Reset();
    g_recorder.stop_at = stop_at;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(ComputeEtag(archive.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    const std::vector<std::string> want = g_recorder.All();
    ASSERT_EQ(g_recorder.LastStatus(), "Stopped by user");

    g_recorder.Reset();
    g_recorder.stop_at = stop_at;
    StopRequest stop;
    Reporter reporter(&g_recorder, &stop);
    LatePace pace(&stop);
    EtagCalculator etag;
    if (fault) InjectReadFault(static_cast<uint64_t>(stop_at), 0, true);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(etag.Compute(archive.c_str(), EtagOptions(), reporter, &pace));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ClearReadFault();
    EXPECT_EQ(g_recorder.All(), want);
    EXPECT_STREQ(etag.failure(), "Stopped by user");
    EXPECT_EQ(pace.asked(), stop_at);
    EXPECT_EQ(ReadFile(archive + ".md5"), "old text");
  }
}

// A failing read anywhere, the last one (which finds the end) too, and one that delivers all
// but a byte of its part before failing: the computation ends with its status line, reports no
// digest, leaves the old ETag file as it was and no temporary file beside it.
TEST_F(EtagTest, ReadErrorLeavesOldEtagFile) {
  const std::string archive = dir_ / "a.zip";
  WriteFile(archive, zipt::RandomBytes(1000, 6));
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
    SCOPED_TRACE("read " + std::to_string(row.nth) + " fails after " + std::to_string(row.allowed) +
                 " bytes");
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

// ETag files that cannot be written, each in a way that holds for root too (the tests run as
// root, for whom a read-only folder mode means nothing): a directory in the way; a file size
// limit (EFBIG, SIGXFSZ ignored; the failure shows only when the buffered text is flushed)
// inside the first line and one byte short of the whole text; a tmpfs with every block taken
// (ENOSPC); a read-only tmpfs (without a mount, a folder's mode, for anyone but root). Each
// reports the two log lines, then the failure; the old ETag file stays as it was and no
// temporary file remains.
TEST_F(EtagTest, EtagFileThatCannotBeWritten) {
  const std::string sized = dir_ / "sized/a.zip";
  WriteFile(sized, zipt::RandomBytes(5000, 9));
  ASSERT_TRUE(Run(sized));
  const size_t text_size = ReadFile(sized + ".md5").size();
  ASSERT_GT(text_size, 40u);
  SmallTmpfs full(dir_ / "full", "size=64k"), read_only(dir_ / "ro", "size=1m");
  struct Row {
    const char* name;
    std::string folder;
    rlim_t size_limit = RLIM_INFINITY;
    SmallTmpfs* tmpfs = nullptr;
  };
  const Row rows[] = {
      {"directory in the way", dir_ / "dir"},
      {"size limit of 10 bytes", dir_ / "sized", 10},
      {"size limit of 20 bytes", dir_ / "sized", 20},
      {"size limit one byte short", dir_ / "sized", static_cast<rlim_t>(text_size - 1)},
      {"full file system", dir_ / "full", RLIM_INFINITY, &full},
      {"read-only file system", dir_ / "ro", RLIM_INFINITY, &read_only},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string archive = row.folder + "/a.zip", etag_file = archive + ".md5";
    WriteFile(archive, "not much of an archive");
    if (row.folder == dir_ / "dir") {
      ASSERT_TRUE(std::filesystem::create_directory(etag_file));
    } else {
      WriteFile(etag_file, "old text");
    }
    if (row.tmpfs == &full) {
      if (!full.ok()) {
        std::cerr << "cannot mount a tmpfs here: " << full.why() << "\n";
        continue;
      }
      FILE* f = fopen((row.folder + "/filler").c_str(), "wb");
      ASSERT_NE(f, nullptr);
      const std::string block(4096, 'x');
      while (fwrite(block.data(), 1, block.size(), f) == block.size() && fflush(f) == 0) {
      }
      fclose(f);
    }
    if (row.tmpfs == &read_only) {
      if (read_only.ok()) {
        ASSERT_TRUE(read_only.MakeReadOnly());
      } else if (geteuid() != 0) {
        std::filesystem::permissions(
            row.folder, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
      } else {
        std::cerr << "root ignores folder modes and cannot mount here: " << read_only.why() << "\n";
        continue;
      }
    }
    struct rlimit old_limit;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    struct rlimit limit = old_limit;
    limit.rlim_cur = std::min(row.size_limit, old_limit.rlim_max);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const bool ok = Run(archive);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(ok);
    EXPECT_EQ(g_recorder.Logs().size(), 2u);
    EXPECT_EQ(g_recorder.LastStatus(), "Can't write ETag file");
    if (row.folder == dir_ / "dir") {
      EXPECT_TRUE(std::filesystem::is_empty(etag_file));
    } else {
      EXPECT_EQ(ReadFile(etag_file), "old text");
    }
    EXPECT_EQ(OtherFiles(row.folder, {"a.zip", "a.zip.md5", "filler"}), std::vector<std::string>{})
        << "a partial file stayed";
  }
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
