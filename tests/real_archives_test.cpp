// Archives written at test time by real producers (Info-ZIP zip, Python's zipfile, 7-Zip,
// bsdtar) must verify internally and against the folder they were made from. Then damage
// sweeps over small real archives: every prefix, every prefix with the end records kept, and
// seeded bit flips must each end in success or in exactly one failure line, never a crash or
// a hang. A missing producer skips its case with the reason.
#include "test_run.h"
#include "status_recorder.h"
#include "stream_io.h"
#include "test_util.h"
#include "zip_builder.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

// Writes a zip of the folder `src` (the current folder of the command) to `out`.
const char* kPython = R"PY(
import io, os, sys, zipfile
mode, src, out = sys.argv[1], sys.argv[2], sys.argv[3]

class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)

def entries():
    for root, dirs, files in os.walk(src):
        dirs.sort()
        rel = os.path.relpath(root, src)
        if rel != '.':
            yield rel.replace(os.sep, '/') + '/', None
        for name in sorted(files):
            path = os.path.join(root, name)
            yield os.path.relpath(path, src).replace(os.sep, '/'), path

method = {'stored': zipfile.ZIP_STORED, 'bzip2': zipfile.ZIP_BZIP2,
          'lzma': zipfile.ZIP_LZMA}.get(mode, zipfile.ZIP_DEFLATED)
with open(out, 'wb') as raw:
    target = Unseekable(raw) if mode == 'unseekable' else raw
    with zipfile.ZipFile(target, 'w', method) as z:
        for name, path in entries():
            if path is None:
                z.writestr(zipfile.ZipInfo(name), b'')
                continue
            info = zipfile.ZipInfo.from_file(path, name)
            info.compress_type = method
            zip64 = mode in ('zip64', 'unseekable')
            with open(path, 'rb') as f, z.open(info, 'w', force_zip64=zip64) as dest:
                dest.write(f.read())
)PY";

struct Producer {
  const char* name;
  const char* program;       // what must be installed
  std::string command;       // run inside the source folder; {out} is the archive, {py} the script
  bool from_parent = false;  // run in the parent: names start with the folder's own name
  const char* name_prefix = "";  // what the producer puts before a relative name
};

void PrintTo(const Producer& p, std::ostream* out) { *out << p.name; }

std::string Replace(std::string text, const std::string& key, const std::string& value) {
  for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), value);
  return text;
}

const Producer kProducers[] = {
    {"zip", "zip", "zip -qr {out} ."},
    {"zip_stored", "zip", "zip -qr0 {out} ."},
    {"zip_descriptors", "zip", "zip -qr -fd {out} ."},
    {"zip_zip64", "zip", "zip -qr -fz {out} ."},
    {"zip_from_parent", "zip", "zip -qr {out} src", true},
    {"zip_streamed", "zip", "zip -qr - . | cat > {out}"},
    {"python", "python3", "python3 {py} plain . {out}"},
    {"python_stored", "python3", "python3 {py} stored . {out}"},
    {"python_zip64", "python3", "python3 {py} zip64 . {out}"},
    {"python_unseekable_zip64", "python3", "python3 {py} unseekable . {out}"},
    {"7z", "7z", "7z a -tzip -bd {out} . >/dev/null"},
    {"7z_stored", "7z", "7z a -tzip -mm=Copy -bd {out} . >/dev/null"},
    {"7z_deflate64", "7z", "7z a -tzip -mm=Deflate64 -bd {out} . >/dev/null"},
    {"7z_bzip2", "7z", "7z a -tzip -mm=BZip2 -bd {out} . >/dev/null"},
    {"7z_lzma", "7z", "7z a -tzip -mm=LZMA -bd {out} . >/dev/null"},
    {"python_bzip2", "python3", "python3 {py} bzip2 . {out}"},
    {"python_lzma", "python3", "python3 {py} lzma . {out}"},
    {"bsdtar", "bsdtar", "bsdtar --format zip -cf {out} .", false, "./"},
    {"bsdtar_stored", "bsdtar", "bsdtar --format zip --options zip:compression=store -cf {out} .",
     false, "./"},
    {"bsdtar_zip64", "bsdtar", "bsdtar --format zip --options zip:zip64 -cf {out} .", false, "./"},
    // Written to a pipe, bsdtar pads the archive with zeros after the end record.
    {"bsdtar_streamed", "bsdtar", "bsdtar --format zip -cf - . | cat > {out}", false, "./"},
};

// Makes the archive of `folder` with `p`; false with the reason in *why when it cannot.
bool Produce(const Producer& p, const std::string& folder, const std::string& out,
             const std::string& script, std::string* why) {
  if (!HaveProgram(p.program)) return *why = std::string(p.program) + " is not installed", false;
  std::string cwd = p.from_parent ? fs::path(folder).parent_path().string() : folder;
  std::string cmd =
      "cd '" + cwd + "' && " +
      Replace(Replace(p.command, "{out}", "'" + out + "'"), "{py}", "'" + script + "'");
  int rc = RunCommand(cmd);
  if (rc != 0) return *why = cmd + " exited with " + std::to_string(rc), false;
  return true;
}

struct Outcome {
  std::string result;
  Lines logs;
};

Outcome VerifyWith(int jobs, const std::string& folder, const std::string& archive,
                   bool external) {
  g_testJobs = jobs;
  TestVerification().SetHandOverLengths(0, 0);  // every entry goes through a worker
  g_recorder.Reset();
  int fds = CountOpenFds();
  const char* result = RunVerification(folder.c_str(), archive.c_str(), external);
  EXPECT_FALSE(TestVerification().HoldsOpenStreams());
  EXPECT_EQ(CountOpenFds(), fds) << "a descriptor was left open";
  return {result, g_recorder.Logs()};
}

// With one job, and again with TestJobs() when that is more: every report and the result must
// be the same.
Outcome Verify(const std::string& folder, const std::string& archive, bool external) {
  Outcome one = VerifyWith(1, folder, archive, external);
  if (TestJobs() == 1) return one;
  const Lines reports = g_recorder.All();
  Outcome many = VerifyWith(TestJobs(), folder, archive, external);
  EXPECT_EQ(many.result, one.result) << "with " << TestJobs() << " jobs";
  EXPECT_EQ(g_recorder.All(), reports) << "with " << TestJobs() << " jobs";
  return one;
}

class RealArchives : public ::testing::TestWithParam<Producer> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetNameListFolder(dir_.path().c_str()));
    src_ = dir_ / "src";
    WriteFile(src_ + "/hello.txt", "hello, world\n");
    WriteFile(src_ + "/empty.txt", "");
    WriteFile(src_ + "/random.bin", zipt::RandomBytes(70000, 5));  // more than one 16 KiB chunk
    std::string text;
    for (int i = 0; i < 5000; ++i) text += "row " + std::to_string(i) + ", compressible\n";
    WriteFile(src_ + "/text.log", text);
    WriteFile(src_ + "/sub/deeper/note.txt", "deep\n");
    fs::create_directories(src_ + "/sub/empty-folder");
    WriteFile(dir_ / "make_zip.py", kPython);
  }
  void TearDown() override { SetNameListFolder(kDefaultNameListFolder); }
  TempDir dir_;
  std::string src_;
};

TEST_P(RealArchives, VerifyInternallyAndAgainstTheirFolder) {
  const Producer& p = GetParam();
  std::string out = dir_ / "out.zip";
  std::string why;
  if (!Produce(p, src_, out, dir_ / "make_zip.py", &why)) GTEST_SKIP() << why;

  Outcome internal = Verify("", out, false);
  EXPECT_EQ(internal.result, "OK");
  EXPECT_EQ(internal.logs, (Lines{"Verifying internally...", "Verified 5 files"}));
  if (TestJobs() > 1) {
    EXPECT_GE(TestVerification().TakenFromWorkers(), 4) << "checked ahead";
  }

  Outcome external = Verify(src_, out, true);
  EXPECT_EQ(external.result, "OK");
  EXPECT_EQ(external.logs, (Lines{"Verifying externally...", "Verified 5 files",
                                  "0 couldn't be opened externally", "5 compared correctly"}));
  if (TestJobs() > 1) {
    EXPECT_GE(TestVerification().TakenFromWorkers(), 4) << "compared ahead";
  }

  // One changed byte in the folder is caught by the comparison.
  WriteFile(src_ + "/text.log", ReadFile(src_ + "/text.log").replace(1000, 1, "#"));
  Outcome changed = Verify(src_, out, true);
  EXPECT_EQ(changed.result, "Verification failed");
  std::string looked_up =
      p.from_parent ? dir_ / "src/text.log" : src_ + "/" + p.name_prefix + "text.log";
  EXPECT_EQ(changed.logs.back(), "Contents differ in file " + looked_up);
}

INSTANTIATE_TEST_SUITE_P(Producers, RealArchives, ::testing::ValuesIn(kProducers),
                         [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(RealArchivesStdin, ZipOfStandardInputStreamedToStandardOutput) {
  // `zip - -` reads the data from standard input and writes a streamed ZIP64-style entry "-".
  if (!HaveProgram("zip")) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  ASSERT_TRUE(SetNameListFolder(dir.path().c_str()));
  std::string data = zipt::RandomBytes(50000, 9) + std::string(50000, 'z');
  WriteFile(dir / "in.bin", data);
  WriteFile(dir / "folder/-", data);
  ASSERT_EQ(RunCommand("zip -q - - < '" + (dir / "in.bin") + "' | cat > '" + (dir / "s.zip") + "'"),
            0);
  ASSERT_EQ(RunCommand("zip -q - - < '" + (dir / "in.bin") + "' > '" + (dir / "f.zip") + "'"), 0);
  for (const char* name : {"s.zip", "f.zip"}) {
    SCOPED_TRACE(name);
    Outcome internal = Verify("", dir / name, false);
    EXPECT_EQ(internal.logs, (Lines{"Verifying internally...", "Verified 1 files"}));
    Outcome external = Verify(dir / "folder", dir / name, true);
    EXPECT_EQ(external.logs, (Lines{"Verifying externally...", "Verified 1 files",
                                    "0 couldn't be opened externally", "1 compared correctly"}));
    EXPECT_EQ(external.result, "OK");
  }
  SetNameListFolder(kDefaultNameListFolder);
}

TEST(RealArchivesBroken, ZipForcedZip64StreamedToAPipeIsRefused) {
  // Info-ZIP 3.0 with -fz writing to a pipe marks the end record's directory offset 0xFFFFFFFF
  // but writes no ZIP64 end record or locator, so nothing says where the directory is (unzip
  // refuses it as well). The walk must take the offset as it stands and fail, not pass.
  if (!HaveProgram("zip")) GTEST_SKIP() << "zip is not installed";
  TempDir dir;
  ASSERT_TRUE(SetNameListFolder(dir.path().c_str()));
  WriteFile(dir / "src/a.txt", "hello\n");
  ASSERT_EQ(RunCommand("cd '" + (dir / "src") + "' && zip -q -fz - a.txt | cat > ../s.zip"), 0);
  std::string bytes = ReadFile(dir / "s.zip");
  ASSERT_GE(bytes.size(), 22u);
  ASSERT_EQ(bytes.substr(bytes.size() - 6, 4), std::string(4, '\xff'))
      << "this zip writes a different end record; the case no longer applies";
  Outcome got = Verify("", dir / "s.zip", false);
  EXPECT_EQ(got.logs, (Lines{"Verifying internally...", "Error reading archive (5)"}));
  EXPECT_EQ(got.result, "Verification failed");
  SetNameListFolder(kDefaultNameListFolder);
}

// --- Every method, damaged and cut short; encrypted entries -----------------------------------

// Each producer's archive of one file, then: a byte in the middle of its data changed, and its
// compressed length (central directory) cut by a quarter. Methods 93 and 95, which no Debian
// producer writes into ZIP archives, are built from the zstd and xz tools' streams. The damage
// is caught by the decoder (bzip2, xz and zstd check their data) or by the CRC-32 (Deflate64 and
// LZMA may decode it into other bytes); a cut stream never ends.
TEST(RealArchivesMethods, DamagedAndCutShortAndEncrypted) {
  TempDir dir;
  ASSERT_TRUE(SetNameListFolder(dir.path().c_str()));
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "row " + std::to_string(i * 37 % 1009) + ", compressible\n";
  const std::string data = text + zipt::RandomBytes(30000, 12);
  WriteFile(dir / "src/data.bin", data);
  WriteFile(dir / "zipit.py",
            "import sys, zipfile\n"
            "m = {'bzip2': zipfile.ZIP_BZIP2, 'lzma': zipfile.ZIP_LZMA}[sys.argv[1]]\n"
            "with zipfile.ZipFile(sys.argv[2], 'w', m) as z: z.write('data.bin')\n");
  const std::string inf = "inf() error: -3";
  const std::string crc = "Central directory and calculated CRCs not equal";
  const std::string encrypted = "Encrypted entry; not necessarily corrupted.";
  const std::string entry = "Entry 0: data.bin";  // the line before a fault inside the entry
  struct Row {
    const char* name;
    const char* program;
    std::string command;  // run in src; writes ../out.zip, or ../raw for `method`
    uint16_t method;      // 0: the command writes the archive
    Lines damaged;        // the failure lines a changed byte may give
  };
  const Row rows[] = {
      {"7z Deflate64", "7z", "7z a -tzip -mm=Deflate64 ../out.zip data.bin", 0, {inf, crc}},
      {"7z bzip2", "7z", "7z a -tzip -mm=BZip2 ../out.zip data.bin", 0, {inf}},
      {"7z LZMA", "7z", "7z a -tzip -mm=LZMA ../out.zip data.bin", 0, {inf, crc}},
      {"python bzip2", "python3", "python3 ../zipit.py bzip2 ../out.zip", 0, {inf}},
      {"python LZMA", "python3", "python3 ../zipit.py lzma ../out.zip", 0, {inf, crc}},
      {"xz stream", "xz", "xz --format=xz -c data.bin > ../raw", 95, {inf}},
      {"zstd stream", "zstd", "zstd -q -c data.bin > ../raw", 93, {inf}},
  };
  int ran = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (!HaveProgram(row.program)) continue;
    ++ran;
    fs::remove(dir / "out.zip");
    ASSERT_EQ(RunCommand("cd '" + (dir / "src") + "' && (" + row.command + ") >/dev/null 2>&1"), 0);
    if (row.method != 0) {
      zipt::ZipEntry e = zipt::Entry("data.bin", data, row.method);
      e.compressed = ReadFile(dir / "raw");
      WriteFile(dir / "out.zip", zipt::BuildZip(zipt::Plan({e})));
    }
    const std::string good = ReadFile(dir / "out.zip");
    EXPECT_EQ(Verify(dir / "src", dir / "out.zip", true).logs,
              (Lines{"Verifying externally...", "Verified 1 files",
                     "0 couldn't be opened externally", "1 compared correctly"}));

    zipt::FirstEntry e;  // data.bin, the only entry
    ASSERT_TRUE(zipt::FindFirstEntry(good, &e));

    std::string damaged = good;
    damaged[e.data + e.compressed / 2] ^= 0x04;
    WriteFile(dir / "out.zip", damaged);
    Outcome got = Verify("", dir / "out.zip", false);
    ASSERT_EQ(got.logs.size(), 3u);
    EXPECT_EQ(got.logs[1], entry);
    EXPECT_NE(std::find(row.damaged.begin(), row.damaged.end(), got.logs[2]), row.damaged.end())
        << got.logs[2];

    std::string cut = good;
    zipt::Poke32(cut, e.central + zipt::kCentralCompressedAt, e.compressed - e.compressed / 4);
    WriteFile(dir / "out.zip", cut);
    EXPECT_EQ(Verify("", dir / "out.zip", false).logs,
              (Lines{"Verifying internally...", entry, inf}));
    EXPECT_EQ(Verify(dir / "src", dir / "out.zip", true).logs,
              (Lines{"Verifying externally...", entry,
                     "Error decompressing file " + (dir / "src/data.bin") + " (-3)"}));
  }

  // Encrypted entries: traditional encryption (flag bit 0) and AES (method 99).
  const Row encrypted_rows[] = {
      {"zip -P", "zip", "zip -q -P secret ../out.zip data.bin", 0, {}},
      {"7z AES-256", "7z", "7z a -tzip -psecret -mem=AES256 ../out.zip data.bin", 0, {}},
      {"7z ZipCrypto", "7z", "7z a -tzip -psecret ../out.zip data.bin", 0, {}},
  };
  for (const Row& row : encrypted_rows) {
    SCOPED_TRACE(row.name);
    if (!HaveProgram(row.program)) continue;
    ++ran;
    fs::remove(dir / "out.zip");
    ASSERT_EQ(RunCommand("cd '" + (dir / "src") + "' && (" + row.command + ") >/dev/null 2>&1"), 0);
    EXPECT_EQ(Verify("", dir / "out.zip", false).logs,
              (Lines{"Verifying internally...", entry, encrypted}));
  }
  SetNameListFolder(kDefaultNameListFolder);
  if (ran == 0) GTEST_SKIP() << "none of 7z, python3, xz, zstd, zip is installed";
}

// --- Damage sweeps, served from memory through the open hook ------------------------------------

const char* kMemoryName = "memory.zip";
std::string g_image;  // what the hook serves for kMemoryName

FILE* ServeImage(const char* path) {
  if (std::string(path) != kMemoryName) {
    SetOpenHook(nullptr);
    FILE* real = OpenRegularFile(path);
    SetOpenHook(ServeImage);
    return real;
  }
  if (g_image.empty()) return nullptr;
  return fmemopen(g_image.data(), g_image.size(), "rb");
}

bool IsClosingLine(const std::string& line) {
  return line.rfind("Verified ", 0) == 0 ||
         line.find(" couldn't be opened externally") != std::string::npos ||
         line.find(" compared correctly") != std::string::npos;
}

// Checks the one outcome a damaged archive may have: every closing line and "OK" or a count
// mismatch, or exactly one failure line and "Verification failed", after the line naming the
// entry when there is one. Lines "N: Can't open ..." and "Not in archive: ..." of an external
// run may come among either. Returns false after reporting why.
bool OneOutcome(const Outcome& run, bool external, bool may_succeed, const std::string& what) {
  std::string opening = external ? "Verifying externally..." : "Verifying internally...";
  Lines rest;
  for (size_t i = 0; i < run.logs.size(); ++i) {
    if (i == 0) {
      if (run.logs[0] != opening) return ADD_FAILURE() << what << ": no opening line", false;
      continue;
    }
    if (external && run.logs[i].find(": Can't open ") != std::string::npos) continue;
    if (external && run.logs[i].rfind("Not in archive: ", 0) == 0) continue;
    rest.push_back(run.logs[i]);
  }
  if (run.result == "Verification failed") {
    if (rest.size() == 2 && rest[0].rfind("Entry ", 0) == 0) rest.erase(rest.begin());
    if (rest.size() == 1 && !IsClosingLine(rest[0])) return true;
  } else if (may_succeed) {
    size_t closing = external ? 3 : 1;
    bool all_closing = rest.size() == closing;
    for (const auto& line : rest) all_closing = all_closing && IsClosingLine(line);
    if (all_closing) return true;
  }
  std::string joined;
  for (const auto& line : run.logs) joined += "\n  " + line;
  ADD_FAILURE() << what << ": result " << run.result << ", log lines:" << joined;
  return false;
}

// Saves a damaged archive that broke a rule so the case can be replayed.
void SaveImage(const std::string& image, const std::string& what) {
  std::string path = "/tmp/vormic-failing-" + what + ".zip";
  WriteFile(path, image);
  ADD_FAILURE() << "image saved as " << path;
}

class DamageSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SetNameListFolder(dir_.path().c_str()));
    src_ = dir_ / "src";
    WriteFile(src_ + "/a.txt", "alpha alpha alpha alpha alpha\n");
    WriteFile(src_ + "/b/c.txt", "gamma\n");
    WriteFile(src_ + "/d.bin", zipt::RandomBytes(300, 2));
    WriteFile(dir_ / "make_zip.py", kPython);
    SetOpenHook(ServeImage);
  }
  void TearDown() override {
    SetOpenHook(nullptr);
    SetNameListFolder(kDefaultNameListFolder);
    g_image.clear();
  }
  // Small archives of the folder by the producers that are installed.
  std::vector<std::pair<std::string, std::string>> Archives() {
    std::vector<std::pair<std::string, std::string>> out;
    for (const char* name : {"zip", "zip_zip64", "python_unseekable_zip64", "bsdtar_streamed"}) {
      for (const Producer& p : kProducers) {
        if (p.name != std::string(name)) continue;
        std::string path = dir_ / (std::string(name) + ".zip"), why;
        if (Produce(p, src_, path, dir_ / "make_zip.py", &why))
          out.push_back({name, ReadFile(path)});
      }
    }
    return out;
  }
  Outcome Walk(const std::string& image, bool external) {
    g_image = image;
    return Verify(external ? src_ : "", kMemoryName, external);
  }
  TempDir dir_;
  std::string src_;
};

// Every prefix fails (only bytes up to the end of the end record's comment count: a streamed
// bsdtar archive carries padding after it). So does every body cut short while the end records
// stay: their offsets then point into missing or shifted bytes, which reaches the directory,
// local header and data read sites.
TEST_F(DamageSweep, EveryCutFails) {
  auto archives = Archives();
  if (archives.empty()) GTEST_SKIP() << "neither zip, python3 nor bsdtar is installed";
  for (const auto& [name, bytes] : archives) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Walk(bytes, false).result, "OK");
    const size_t end = bytes.rfind(std::string("PK\x05\x06", 4));
    ASSERT_NE(end, std::string::npos);
    const size_t records_end = end + 22 + zipt::Peek(bytes, end + zipt::kEndCommentLenAt, 2);
    int broken = 0;
    for (size_t n = 1; n < records_end && broken < 3; ++n) {
      std::string prefix = bytes.substr(0, n);
      if (!OneOutcome(Walk(prefix, false), false, false, name + " cut to " + std::to_string(n)))
        ++broken, SaveImage(prefix, name + "-prefix-" + std::to_string(n));
    }

    size_t tail = end;  // the ZIP64 end record and locator go with it
    size_t z64 = bytes.rfind(std::string("PK\x06\x06", 4), end);
    if (z64 != std::string::npos && bytes.find(std::string("PK\x06\x07", 4), z64) < end) tail = z64;
    // Where the central directory starts: the end record's offset, or the ZIP64 record's.
    uint64_t directory = zipt::Peek(bytes, end + zipt::kEndDirOffsetAt, 4);
    if (directory == 0xFFFFFFFF && tail != end)
      directory = zipt::Peek(bytes, tail + zipt::kZip64EndDirOffsetAt, 8);
    ASSERT_LT(directory, tail);
    broken = 0;
    for (size_t n = 0; n < tail && broken < 3; ++n) {
      std::string image = bytes.substr(0, n) + bytes.substr(tail);
      // A cut inside the central directory may take only unused bytes of its last header (the
      // end records then stand in for them) and pass; a cut before it shifts the directory
      // away from where the end record says it is, which must fail.
      bool may_pass = n >= directory;
      if (!OneOutcome(Walk(image, false), false, may_pass,
                      name + " body cut to " + std::to_string(n)))
        ++broken, SaveImage(image, name + "-body-" + std::to_string(n));
    }
  }
}

TEST_F(DamageSweep, SeededBitFlips) {
  auto archives = Archives();
  if (archives.empty()) GTEST_SKIP() << "neither zip, python3 nor bsdtar is installed";
  std::mt19937 gen(20261207);
  int successes = 0, failures = 0;
  for (const auto& [name, bytes] : archives) {
    SCOPED_TRACE(name);
    int broken = 0;
    for (int i = 0; i < 600 && broken < 3; ++i) {
      std::string image = bytes;
      int flips = 1 + static_cast<int>(gen() % 3);
      for (int f = 0; f < flips; ++f)
        image[gen() % image.size()] ^= static_cast<char>(1u << (gen() % 8));
      bool external = i % 4 == 3;
      Outcome run = Walk(image, external);
      std::string what = name + " flip " + std::to_string(i);
      if (!OneOutcome(run, external, true, what))
        ++broken, SaveImage(image, name + "-flip-" + std::to_string(i));
      (run.result == "Verification failed" ? failures : successes)++;
    }
  }
  // Most flips land in data or names and are caught; some land in unused fields and pass.
  EXPECT_GT(failures, 0);
  EXPECT_GT(successes, 0);
}

}  // namespace
