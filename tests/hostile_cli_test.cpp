// Hostile archives through vormic-cli: names with control characters and invalid bytes, ".."
// components (with '/' and with backslash), absolute names, names of 300 bytes, NUL bytes
// inside names, entries that overlap. Each must end in one clear outcome (exit status, failure
// lines, the verdict as the last line), and under strace no file outside the compared folder
// (and its parent, where the second lookup goes) may be opened: a sentinel file outside holds
// exactly the bytes the hostile entries carry, so reading it would even make the comparison
// pass. Counts and offsets beyond the file are rows of archive_walk_test.cpp's tables, where
// every run records its opens through the engine's open hook; the escaping of names on the
// terminal is checked byte for byte by cli_test.sh (hostile_names).
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"
#include "zip_builder.h"

namespace fs = std::filesystem;
using zipt::Plan;
using zipt::Stored;
using zipt::ZipPlan;

namespace {

const std::string kSecret = "the sentinel's bytes: reading them would be a breach\n";
const std::string kPlain = "an ordinary file\n";


// <tmp>/outside/secret.txt is the sentinel; <tmp>/p/top is the compared folder, <tmp>/p its
// parent (the second lookup's place), <tmp>/a.zip the archive.
struct Layout {
  std::string root, folder, parent, sentinel, archive, lists;
};

// 300 bytes, whose first 259 name the file deep/<120 n>/<133 m> (no component over 255).
std::string LongName() { return "deep/" + std::string(120, 'n') + "/" + std::string(174, 'm'); }
const std::string kControlName = std::string("ctl\x01\x1b[2J\r\x7f\xff") + "name.txt";

struct Row {
  const char* name;
  std::function<std::string(const Layout&)> archive;
  std::function<void(const Layout&)> folder;  // files of the compared folder
  bool external;
  std::string result;
  std::vector<std::string> failures;  // log lines besides the opening and closing ones
  bool cli_success;
};

std::vector<Row> Rows() {
  auto none = [](const Layout&) {};
  auto plain = [](const Layout& l) { WriteFile(l.folder + "/a.txt", kPlain); };
  const std::string failed = "Verification failed";
  return {
      {"control characters and an invalid byte in a name",
       [](const Layout&) { return zipt::BuildZip(Plan({Stored(kControlName, kPlain)})); },
       [](const Layout& l) { WriteFile(l.folder + "/" + kControlName, kPlain); }, true, "OK", {},
       true},
      {"'..' components",
       [](const Layout&) {
         return zipt::BuildZip(Plan({Stored("../../outside/secret.txt", kSecret)}));
       },
       none, true, failed, {"Unsafe name in archive: ../../outside/secret.txt"}, false},
      {"'..' components with backslashes",
       [](const Layout&) {
         return zipt::BuildZip(Plan({Stored("..\\..\\outside\\secret.txt", kSecret)}));
       },
       none, true, failed, {"Unsafe name in archive: ..\\..\\outside\\secret.txt"}, false},
      {"absolute name",
       [](const Layout& l) { return zipt::BuildZip(Plan({Stored(l.sentinel, kSecret)})); },
       none, true, "Number of files in archive does not match source folder (1 != 0)",
       {"0: Can't open {sentinel}"}, false},
      {"300-byte name",
       [](const Layout&) { return zipt::BuildZip(Plan({Stored(LongName(), kPlain)})); },
       [](const Layout& l) { WriteFile(l.folder + "/" + LongName().substr(0, 259), kPlain); },
       true, "OK", {}, true},
      {"NUL byte inside a name",
       [](const Layout&) {
         return zipt::BuildZip(
             Plan({Stored(std::string("a.txt\0/../../outside/secret.txt", 32), kPlain)}));
       },
       plain, true, "OK", {}, true},
      {"two entries sharing one local header",
       [](const Layout&) {
         ZipPlan s = Plan({Stored("a.txt", kPlain), Stored("a.txt", kPlain)});
         zipt::ZipLayout z = zipt::BuildZipLayout(s);
         // The second central header points at the first local header.
         zipt::Poke32(z.bytes, z.entries[1].central + zipt::kCentralLocalOffsetAt,
                      z.entries[0].local);
         return z.bytes;
       },
       plain, true, "Number of files in archive does not match source folder (2 != 1)", {},
       false},
      {"local header offset into the central directory",
       [](const Layout&) {
         zipt::ZipLayout z = zipt::BuildZipLayout(Plan({Stored("a.txt", kPlain)}));
         zipt::Poke32(z.bytes, z.entries[0].central + zipt::kCentralLocalOffsetAt,
                      z.central_dir);
         return z.bytes;
       },
       plain, true, failed, {"Bad local signature"}, false},
  };
}

std::string Subst(std::string text, const Layout& l) {
  for (size_t at; (at = text.find("{sentinel}")) != std::string::npos;)
    text.replace(at, 10, l.sentinel);
  return text;
}

// Whether `path` (made absolute and free of "." and "..") lies inside `folder`.
bool Inside(const std::string& path, const std::string& folder) {
  std::string p = fs::weakly_canonical(path).string();
  std::string f = fs::weakly_canonical(folder).string();
  return p == f || p.rfind(f + "/", 0) == 0;
}

class HostileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    l_.root = dir_.path();
    l_.parent = dir_ / "p";
    l_.folder = dir_ / "p/top";
    l_.sentinel = dir_ / "outside/secret.txt";
    l_.archive = dir_ / "a.zip";
    l_.lists = dir_ / "lists";
    fs::create_directories(l_.lists);
  }
  // A fresh folder, sentinel and archive for `row`.
  void Prepare(const Row& row) {
    fs::remove_all(l_.parent);
    fs::create_directories(l_.folder);
    WriteFile(l_.sentinel, kSecret);
    row.folder(l_);
    WriteFile(l_.archive, row.archive(l_));
  }
  // Opens outside the allowed places, among `paths`.
  std::vector<std::string> Breaches(const std::vector<std::string>& paths) const {
    std::vector<std::string> out;
    for (const auto& p : paths) {
      if (!Inside(p, l_.root)) continue;  // system files of the process itself
      if (Inside(p, l_.parent) || Inside(p, l_.lists) || Inside(p, l_.archive)) continue;
      out.push_back(p);
    }
    return out;
  }

  TempDir dir_;
  Layout l_;
};

struct CliRun {
  int status = -1;
  std::string output;                // standard output and standard error, as the terminal gets them
  std::vector<std::string> opened;   // every path passed to an open call (with strace)
};

std::string CliPath() {
  const char* build = getenv("VORMIC_BUILD_DIR");
  return std::string(build != nullptr ? build : ".") + "/cli/vormic-cli";
}

// The paths of open, openat, openat2 and creat calls in an strace log: the first quoted
// argument of each call.
std::vector<std::string> OpenedPaths(const std::string& log) {
  std::vector<std::string> out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find("open") == std::string::npos && line.find("creat(") == std::string::npos)
      continue;
    size_t start = line.find('"');
    if (start == std::string::npos) continue;
    std::string path;
    for (size_t i = start + 1; i < line.size() && line[i] != '"'; ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;  // strace's escapes: keep the next char
      path.push_back(line[i]);
    }
    out.push_back(path);
  }
  return out;
}

CliRun RunCli(const Layout& l, bool external, bool use_strace) {
  CliRun run;
  const std::string out_file = l.root + "/cli-output", trace_file = l.root + "/cli-trace";
  std::string command;
  // LeakSanitizer cannot run under ptrace; the untraced run of the same row keeps it.
  if (use_strace)
    command = "ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" "
              "strace -f -qq -e trace=open,openat,openat2,creat -o '" + trace_file + "' ";
  command += "'" + CliPath() + "' -q -l '" + l.lists + "' ";
  if (external) command += "-f '" + l.folder + "' ";
  command += "'" + l.archive + "' >'" + out_file + "' 2>&1";
  run.status = RunCommand(command);
  run.output = ReadFile(out_file);
  if (use_strace) {
    run.opened = OpenedPaths(ReadFile(trace_file));
  }
  fs::remove(out_file);
  fs::remove(trace_file);
  return run;
}

// Each row through vormic-cli twice: plain, for its outcome (and LeakSanitizer), and under
// strace, for every open of the process (LeakSanitizer cannot run under ptrace).
TEST_F(HostileTest, OneClearOutcomeAndNothingOpenedOutside) {
  if (!fs::exists(CliPath())) GTEST_SKIP() << "vormic-cli is not built: " << CliPath();
  bool traced = HaveProgram("strace") && RunCommand("strace -qq -o /dev/null true") == 0;
  if (!traced) std::cerr << "strace is missing or cannot trace here: opens are not checked\n";
  // The detector itself: the sentinel counts as a breach however its path is spelt.
  EXPECT_EQ(Breaches({l_.sentinel, l_.folder + "/../../outside/secret.txt", l_.folder + "/x"}),
            (std::vector<std::string>{l_.sentinel, l_.folder + "/../../outside/secret.txt"}));
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    Prepare(row);
    CliRun run = RunCli(l_, row.external, false);
    EXPECT_EQ(run.status, row.cli_success ? 0 : 1) << run.output;
    // The outcome is the last line; every failure line comes before it.
    std::string outcome = row.result == "OK" ? "Successful verification" : row.result;
    ASSERT_GE(run.output.size(), outcome.size() + 1);
    EXPECT_EQ(run.output.substr(run.output.size() - outcome.size() - 1), outcome + "\n");
    for (const auto& line : row.failures)
      EXPECT_NE(run.output.find(Subst(line, l_) + "\n"), std::string::npos)
          << "missing: " << Subst(line, l_) << "\nin:\n" << run.output;
    if (!traced) continue;
    Prepare(row);
    CliRun trace = RunCli(l_, row.external, true);
    EXPECT_EQ(trace.status, run.status) << trace.output;
    EXPECT_EQ(Breaches(trace.opened), std::vector<std::string>{});
    // The trace saw the archive opened: an empty trace would prove nothing.
    bool saw_archive = false;
    for (const auto& p : trace.opened) saw_archive = saw_archive || p == l_.archive;
    EXPECT_TRUE(saw_archive) << "strace did not record the archive's open";
  }
}

}  // namespace
