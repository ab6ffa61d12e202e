// Source folder walk and the per-file callback: visit order, kinds, name offsets and levels;
// which entries are passed over; how stops and failures end the walk; links; paths that would
// not fit. Trees are built per test under /tmp. Directory order is the file system's, so
// results are compared as sets plus the pre-order property, or trees have one entry per folder.
#include "folder_walk.h"

#include "opened_files.h"
#include "run_state.h"
#include "test_run.h"
#include "status_recorder.h"
#include "test_util.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <gtest/gtest.h>
#include <iostream>
#include <ostream>
#include <set>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The test program's run state, reporting to the recorder: the folder walk's per-file callback
// counts into it.
RunState& CountState() {
  RunState& run = TestVerification().state();
  run.reporter = Reporter(&g_recorder, &run.stop);
  return run;
}

using Lines = std::vector<std::string>;

struct Visit {
  std::string path;
  int32_t kind;
  int32_t name_offset;
  int32_t level;
  auto operator<=>(const Visit&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Visit& v) {
  return out << "{" << v.path << ", kind " << v.kind << ", offset " << v.name_offset << ", level "
             << v.level << "}";
}

Visit Folder(const std::string& path, int32_t level) {
  return {path, kEntryFolder, static_cast<int32_t>(path.rfind('/') + 1), level};
}
Visit File(const std::string& path, int32_t level) {
  return {path, kEntryFile, static_cast<int32_t>(path.rfind('/') + 1), level};
}

constexpr size_t kRunawayVisits = 10000;  // no tree here comes near; a walk in a loop does
constexpr int32_t kRunaway = 99;

struct Recording {
  std::vector<Visit> visits;
  size_t stop_at = 0;  // return stop_value at this visit (1 = the first); 0 = never
  int32_t stop_value = 1;
};

int32_t RecordVisit(const char* path, int32_t kind, EntryPosition position, void* context) {
  auto* rec = static_cast<Recording*>(context);
  rec->visits.push_back({path, kind, position.name_offset, position.level});
  if (rec->visits.size() >= kRunawayVisits) return kRunaway;
  return rec->visits.size() == rec->stop_at ? rec->stop_value : 0;
}

std::multiset<Visit> AsSet(const std::vector<Visit>& visits) {
  return {visits.begin(), visits.end()};
}

// Each folder's content follows it at once, as one block, and everything lies in the first
// visit's folder.
void ExpectPreOrder(const std::vector<Visit>& visits) {
  ASSERT_FALSE(visits.empty());
  ASSERT_EQ(visits[0].kind, kEntryFolder);
  for (size_t i = 0; i < visits.size(); ++i) {
    if (visits[i].kind != kEntryFolder) continue;
    const std::string& p = visits[i].path;
    std::string prefix = p.empty() || p.back() == '/' ? p : p + "/";
    size_t next = i + 1;
    for (size_t j = 0; j < visits.size(); ++j) {
      if (j == i || visits[j].path.compare(0, prefix.size(), prefix) != 0) continue;
      EXPECT_EQ(j, next) << visits[j] << " is not in the block after " << visits[i];
      next = j + 1;
    }
  }
}

void MakeFolder(const std::string& path) { fs::create_directories(path); }
void MakeLink(const std::string& target, const std::string& link) {
  fs::create_symlink(target, link);
}

// Runs `walk` with the current folder set to `folder`, then goes back.
template <typename F>
void InFolder(const std::string& folder, F walk) {
  int back = open(".", O_RDONLY | O_DIRECTORY);
  ASSERT_GE(back, 0);
  ASSERT_EQ(chdir(folder.c_str()), 0);
  walk();
  EXPECT_EQ(fchdir(back), 0);
  close(back);
}

class FolderWalkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_recorder.Reset();
    CountState().folder_file_count = 0;
    CountState().not_in_archive_count = 0;
    CountState().folder_list = nullptr;
  }
  void TearDown() override {
    if (CountState().folder_list != nullptr) fclose(CountState().folder_list);
    CountState().folder_list = nullptr;
  }
  TempDir dir_;
  const std::string& root() const { return dir_.path(); }
};

// --- Shape of the walk ---------------------------------------------------------------------

// Each folder before its content, with name offsets and levels, however the start is named;
// the start level -1 visits the starting folder's files only (a linked folder is a folder for
// that rule too), any other value is the starting folder's level.
TEST_F(FolderWalkTest, VisitsEachFolderBeforeItsContent) {
  WriteFile(dir_ / "a.txt", "a");
  WriteFile(dir_ / "sub/b.txt", "b");
  MakeLink("sub", dir_ / "link");
  struct Row {
    const char* name;
    bool trailing_slash;
    bool current_folder;  // walk "" from inside the root: entry paths are bare names
    int32_t start_level;
  } rows[] = {{"plain path", false, false, 0},
              {"path ending in a slash gets no second one", true, false, 0},
              {"empty path walks the current folder", false, true, 0},
              {"-1 visits the starting folder's files only", false, false, -1},
              {"any other level is the starting folder's", false, false, 7}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string start = row.current_folder ? "" : root() + (row.trailing_slash ? "/" : "");
    std::string base = row.current_folder ? "" : root() + "/";
    auto at = [&](size_t extra) { return static_cast<int32_t>(base.size() + extra); };
    int32_t start_offset =
        row.current_folder
            ? 0
            : static_cast<int32_t>(row.trailing_slash ? root().size() + 1 : root().rfind('/') + 1);
    Recording rec;
    int32_t result = -2;
    InFolder(row.current_folder ? root() : ".",
             [&] { result = WalkSourceFolder(start.c_str(), RecordVisit, row.start_level, &rec); });
    EXPECT_EQ(result, 0);
    const int32_t l = row.start_level == -1 ? 0 : row.start_level;
    ASSERT_FALSE(rec.visits.empty());
    EXPECT_EQ(rec.visits[0], (Visit{start, kEntryFolder, start_offset, l}));
    std::multiset<Visit> expected = {{start, kEntryFolder, start_offset, l},
                                     {base + "a.txt", kEntryFile, at(0), l + 1}};
    if (row.start_level != -1) {
      expected.insert({{base + "sub", kEntryFolder, at(0), l + 1},
                       {base + "sub/b.txt", kEntryFile, at(4), l + 2},
                       {base + "link", kEntryFolder, at(0), l + 1},
                       {base + "link/b.txt", kEntryFile, at(5), l + 2}});
    }
    EXPECT_EQ(AsSet(rec.visits), expected);
    ExpectPreOrder(rec.visits);
  }
}

// --- Ending the walk -----------------------------------------------------------------------

TEST_F(FolderWalkTest, VisitResultEndsTheWalk) {
  WriteFile(dir_ / "d1/d2/d3/f.txt", "");  // one entry per folder: the order is fixed
  const std::vector<Visit> chain = {Folder(root(), 0), Folder(dir_ / "d1", 1),
                                    Folder(dir_ / "d1/d2", 2), Folder(dir_ / "d1/d2/d3", 3),
                                    File(dir_ / "d1/d2/d3/f.txt", 4)};
  struct Row {
    const char* name;
    bool missing_start;  // a search would fail with -1, so a result of 1 shows none was made
    size_t stop_at;
    int32_t value;
  } rows[] = {{"at the starting folder, before any search", true, 1, 1},
              {"at a folder deep down", false, 3, 3},
              {"negative value from the deepest file", false, 5, -7},
              {"never", false, 0, 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string start = row.missing_start ? dir_ / "missing" : root();
    int fds = CountOpenFds();
    Recording rec;
    rec.stop_at = row.stop_at;
    rec.stop_value = row.value;
    EXPECT_EQ(WalkSourceFolder(start.c_str(), RecordVisit, 0, &rec), row.value);
    EXPECT_EQ(CountOpenFds(), fds) << "every level closes its folder";
    if (row.missing_start) {
      EXPECT_EQ(rec.visits, std::vector<Visit>{Folder(start, 0)});
    } else {
      size_t n = row.stop_at == 0 ? chain.size() : row.stop_at;
      EXPECT_EQ(rec.visits, std::vector<Visit>(chain.begin(), chain.begin() + n));
    }
  }
}

// Start folders whose walk is the one visit of the folder itself.
TEST_F(FolderWalkTest, StartFolderVisitedAlone) {
  WriteFile(dir_ / "a.txt", "");
  MakeFolder(dir_ / "empty");
  struct Row {
    const char* name;
    std::string path;
    int32_t result;
  } rows[] = {{"empty folder", dir_ / "empty", 0},
              {"missing folder", dir_ / "nope", -1},
              {"a file is not a folder", dir_ / "a.txt", -1},
              {"name longer than the system takes", dir_ / std::string(300, 'n'), 0},
              {"path longer than PATH_MAX", "/" + std::string(PATH_MAX + 10, 'x'), 0}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Recording rec;
    EXPECT_EQ(WalkSourceFolder(row.path.c_str(), RecordVisit, 0, &rec), row.result);
    EXPECT_EQ(rec.visits, std::vector<Visit>{Folder(row.path, 0)});
  }
}

TEST_F(FolderWalkTest, FolderThatWontOpenDeepDownEndsTheWalk) {
  std::string deep = root();
  for (int i = 0; i < 30; ++i) deep += "/d";
  WriteFile(deep + "/f.txt", "");
  int fds = CountOpenFds();
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(fds + 8);  // runs out of descriptors some levels down
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  Recording rec;
  int32_t result = WalkSourceFolder(root().c_str(), RecordVisit, 0, &rec);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(result, -1);
  EXPECT_EQ(CountOpenFds(), fds);
  ASSERT_GT(rec.visits.size(), 2u);
  EXPECT_LT(rec.visits.size(), 31u);
  for (const Visit& v : rec.visits) EXPECT_EQ(v.kind, kEntryFolder) << v;
}

// --- The per-file callback -----------------------------------------------------------------

TEST_F(FolderWalkTest, CountFolderFileNameRules) {
  struct Row {
    const char* name;
    const char* path;
    int32_t kind;
    bool counted;
  } rows[] = {
      {"file", "/d/a.txt", kEntryFile, true},
      {"folders never count", "/d/sub", kEntryFolder, false},
      {".DS_Store", "/d/.DS_Store", kEntryFile, false},
      {"other letter case counts", "/d/.ds_store", kEntryFile, true},
      {"longer name counts", "/d/x.DS_Store", kEntryFile, true},
      {"bare name", ".DS_Store", kEntryFile, false},
      {"after a backslash when there is no slash", "x\\.DS_Store", kEntryFile, false},
      {"a slash wins over a later backslash", "d/x\\.DS_Store", kEntryFile, true},
  };
  std::string list_path = dir_ / "x2.txt";
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    g_recorder.Reset();
    CountState().folder_file_count = 5;  // counted on from where the run left it
    CountState().folder_list = fopen(list_path.c_str(), "wb");
    ASSERT_NE(CountState().folder_list, nullptr);
    EXPECT_EQ(CountFolderFile(row.path, row.kind, {0, 0}, &CountState()), 0);
    fclose(CountState().folder_list);
    CountState().folder_list = nullptr;
    EXPECT_EQ(g_recorder.Statuses(), std::vector<std::string>{row.path});
    EXPECT_EQ(CountState().folder_file_count, row.counted ? 6 : 5);
    EXPECT_EQ(ReadFile(list_path), row.counted ? std::string(row.path) + "\n" : "");
  }
}

TEST_F(FolderWalkTest, CountsAndListsFilesOfTheWalk) {
  for (const char* name : {"a.txt", "sub/b.txt", "sub/.DS_Store", ".ds_store", ".DS_Store/in"})
    WriteFile(dir_ / name, "");
  MakeLink(dir_ / "a.txt", dir_ / "link.txt");  // the same file as a.txt
  TempDir lists;
  std::string list_path = lists / "x2.txt";
  CountState().folder_list = fopen(list_path.c_str(), "wb");
  ASSERT_NE(CountState().folder_list, nullptr);
  // As if a run had opened a.txt (through a path other than the walk's) and nothing else.
  ForgetOpenedFiles(CountState().opened_files);
  struct stat opened;
  ASSERT_EQ(stat((dir_ / "sub/../a.txt").c_str(), &opened), 0);
  RecordOpenedFile(CountState().opened_files, opened);
  SortOpenedFiles(CountState().opened_files);
  EXPECT_EQ(WalkSourceFolder(root().c_str(), CountFolderFile, 0, &CountState()), 0);
  fclose(CountState().folder_list);
  CountState().folder_list = nullptr;

  // Every visit is a status line, folders and .DS_Store files too.
  std::vector<std::string> statuses = g_recorder.Statuses();
  std::multiset<std::string> shown(statuses.begin(), statuses.end());
  std::multiset<std::string> expected_shown = {root(),
                                               dir_ / "a.txt",
                                               dir_ / "sub",
                                               dir_ / "sub/b.txt",
                                               dir_ / "sub/.DS_Store",
                                               dir_ / ".ds_store",
                                               dir_ / ".DS_Store",
                                               dir_ / ".DS_Store/in",
                                               dir_ / "link.txt"};
  EXPECT_EQ(shown, expected_shown);
  // Logged: the counted files that are not the opened one, in the order they were shown.
  Lines not_in_archive;
  for (const std::string& s : statuses)
    if (s == dir_ / "sub/b.txt" || s == dir_ / ".ds_store" || s == dir_ / ".DS_Store/in")
      not_in_archive.push_back("Not in archive: " + s);
  EXPECT_EQ(g_recorder.Logs(), not_in_archive);
  EXPECT_EQ(CountState().not_in_archive_count, 3);

  // Counted and listed: the files not named .DS_Store (a folder of that name is walked), in
  // the order they were shown.
  std::set<std::string> counted = {dir_ / "a.txt", dir_ / "sub/b.txt", dir_ / ".ds_store",
                                   dir_ / ".DS_Store/in", dir_ / "link.txt"};
  std::string expected_list;
  for (const std::string& s : statuses)
    if (counted.count(s) != 0) expected_list += s + "\n";
  EXPECT_EQ(CountState().folder_file_count, 5);
  EXPECT_EQ(ReadFile(list_path), expected_list);

  // Without the list the files are still counted.
  g_recorder.Reset();
  CountState().folder_file_count = 0;
  EXPECT_EQ(WalkSourceFolder(root().c_str(), CountFolderFile, 0, &CountState()), 0);
  EXPECT_EQ(CountState().folder_file_count, 5);
  ForgetOpenedFiles(CountState().opened_files);
}

TEST_F(FolderWalkTest, StopRequestDeepDownEndsTheWalk) {
  WriteFile(dir_ / "d1/d2/d3/f.txt", "");
  struct Row {
    const char* name;
    int stop_at;  // the status report that hands back the stop request
    int32_t result;
    int32_t counted;
  } rows[] = {{"at a deep folder", 4, 1, 0},
              {"at the file: it is not counted", 5, 1, 0},
              {"never", 0, 0, 1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    g_recorder.Reset();
    g_recorder.stop_at = row.stop_at;
    CountState().folder_file_count = 0;
    EXPECT_EQ(WalkSourceFolder(root().c_str(), CountFolderFile, 0, &CountState()), row.result);
    EXPECT_EQ(g_recorder.Statuses().size(), row.stop_at == 0 ? 5u : size_t(row.stop_at))
        << "no status line after the stop";
    EXPECT_EQ(CountState().folder_file_count, row.counted);
  }
}

// --- Access, links and path length ---------------------------------------------------------

// Runs `check` as user nobody in a child process (root reads anything, whatever the mode bits);
// without root it runs here. False with `why` when privileges can't be dropped; else *passed
// is what `check` returned.
template <typename F>
bool AsNobody(F check, bool* passed, std::string* why) {
  if (geteuid() != 0) return *passed = check(), true;
  const pid_t child = fork();
  if (child < 0) return *why = "cannot start a child process", false;
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(77);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77)
    return *why = "cannot switch to user nobody (65534)", false;
  *passed = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return true;
}

TEST_F(FolderWalkTest, UnreadableFoldersAreVisitedNotSearched) {
  WriteFile(dir_ / "open.txt", "");
  WriteFile(dir_ / "locked/secret.txt", "");  // mode 000: not even listed
  WriteFile(dir_ / "listed/seen.txt", "");    // mode 444: names listed, nothing inside entered
  WriteFile(dir_ / "listed/inner/hidden.txt", "");
  ASSERT_EQ(chmod(root().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir_ / "locked").c_str(), 0), 0);
  ASSERT_EQ(chmod((dir_ / "listed").c_str(), 0444), 0);
  const std::multiset<Visit> expected = {Folder(root(), 0),
                                         File(dir_ / "open.txt", 1),
                                         Folder(dir_ / "locked", 1),
                                         Folder(dir_ / "listed", 1),
                                         File(dir_ / "listed/seen.txt", 2),
                                         Folder(dir_ / "listed/inner", 2)};
  bool passed = false;
  std::string why;
  const bool ran = AsNobody(
      [&] {
        Recording rec;
        const int32_t result = WalkSourceFolder(root().c_str(), RecordVisit, 0, &rec);
        if (result == 0 && AsSet(rec.visits) == expected) return true;
        std::cerr << "result " << result << ", visits:";
        for (const Visit& v : rec.visits) std::cerr << " " << v;
        std::cerr << "\n";
        return false;
      },
      &passed, &why);
  if (!ran) GTEST_SKIP() << why;
  EXPECT_TRUE(passed) << "the walk as nobody went elsewhere (its visits are on standard error)";
}

// Dot names are walked; a folder named "$Recycle.Bin" (Windows' bin) is passed over with its
// content, not a file of that name nor another spelling. Links are followed, but not into a
// folder on the path that leads to them.
TEST_F(FolderWalkTest, PassesOverTheRecycleBinAndLinkLoops) {
  WriteFile(dir_ / ".hidden/h.txt", "");
  WriteFile(dir_ / "$Recycle.Bin/r.txt", "");
  WriteFile(dir_ / "$recycle.bin/s.txt", "");
  WriteFile(dir_ / "sub/$Recycle.Bin", "");
  TempDir outside;
  WriteFile(outside / "x.txt", "");
  MakeLink(root(), outside / "home");  // back to the start through the outside folder
  WriteFile(dir_ / "a/f.txt", "");
  WriteFile(dir_ / "a/b/g.txt", "");
  MakeLink("..", dir_ / "a/up");
  MakeLink(".", dir_ / "a/self");
  MakeLink("../../a", dir_ / "a/b/back");
  MakeLink(outside.path(), dir_ / "out1");  // the same folder twice is no loop: walked twice
  MakeLink(outside.path(), dir_ / "out2");
  MakeLink(outside / "x.txt", dir_ / "file_link");
  MakeLink(dir_ / "nowhere", dir_ / "dangling");
  MakeLink("loop2", dir_ / "loop1");
  MakeLink("loop1", dir_ / "loop2");

  Recording rec;
  EXPECT_EQ(WalkSourceFolder(root().c_str(), RecordVisit, 0, &rec), 0);
  std::multiset<Visit> expected = {Folder(root(), 0),
                                   Folder(dir_ / ".hidden", 1),
                                   File(dir_ / ".hidden/h.txt", 2),
                                   Folder(dir_ / "$recycle.bin", 1),
                                   File(dir_ / "$recycle.bin/s.txt", 2),
                                   Folder(dir_ / "sub", 1),
                                   File(dir_ / "sub/$Recycle.Bin", 2),
                                   Folder(dir_ / "a", 1),
                                   File(dir_ / "a/f.txt", 2),
                                   Folder(dir_ / "a/b", 2),
                                   File(dir_ / "a/b/g.txt", 3),
                                   Folder(dir_ / "out1", 1),
                                   File(dir_ / "out1/x.txt", 2),
                                   Folder(dir_ / "out2", 1),
                                   File(dir_ / "out2/x.txt", 2),
                                   File(dir_ / "file_link", 1),
                                   File(dir_ / "dangling", 1),
                                   File(dir_ / "loop1", 1),
                                   File(dir_ / "loop2", 1)};
  EXPECT_EQ(AsSet(rec.visits), expected);
  ExpectPreOrder(rec.visits);
}

// Removes `name` in the folder `at` with everything in it, by descriptors, since paths below
// it may be longer than any path call takes.
void RemoveTreeAt(int at, const char* name) {
  int fd = openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  if (fd < 0) {
    unlinkat(at, name, 0);
    return;
  }
  DIR* d = fdopendir(fd);
  if (d == nullptr) {
    close(fd);
    return;
  }
  while (dirent* e = readdir(d))
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) RemoveTreeAt(fd, e->d_name);
  closedir(d);
  unlinkat(at, name, AT_REMOVEDIR);
}

TEST_F(FolderWalkTest, WalksAsDeepAsPathsGo) {
  // One-letter folders down to the longest path: about PATH_MAX / 2 levels, each holding its
  // folder open, so the walk needs that many descriptors and must not need a path buffer per
  // level on the stack. In the deepest, a file whose path fills PATH_MAX - 1 exactly is
  // visited; a file and a folder one character longer are passed over.
  const rlim_t needed = PATH_MAX / 2 + 64;
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit wide = saved;
  if (wide.rlim_cur < needed) wide.rlim_cur = needed;
  if (wide.rlim_cur > wide.rlim_max || setrlimit(RLIMIT_NOFILE, &wide) != 0)
    GTEST_SKIP() << "needs " << needed << " open descriptors, the limit is " << saved.rlim_max;
  std::string deep = root();
  int32_t levels = 0;
  bool built = true;
  while (built && deep.size() + 2 + 8 <= PATH_MAX - 1) {  // std::filesystem gives up on these
    deep += "/d";
    ++levels;
    built = mkdir(deep.c_str(), 0755) == 0;
  }
  const size_t room = PATH_MAX - 1 - (deep.size() + 1);  // the longest name that still fits
  const std::string fits(room, 'f'), too_long(room + 1, 'g'), too_long_folder(room + 1, 'h');
  int at = open(deep.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_GE(at, 0);
  close(openat(at, fits.c_str(), O_WRONLY | O_CREAT, 0644));
  close(openat(at, too_long.c_str(), O_WRONLY | O_CREAT, 0644));
  EXPECT_EQ(mkdirat(at, too_long_folder.c_str(), 0755), 0);
  int inner = openat(at, too_long_folder.c_str(), O_RDONLY | O_DIRECTORY);
  close(openat(inner, "z.txt", O_WRONLY | O_CREAT, 0644));
  close(inner);
  close(at);
  Recording rec;
  int32_t result = WalkSourceFolder(root().c_str(), RecordVisit, 0, &rec);
  // Removed here by descriptors while they are plenty: path by path it takes seconds.
  at = open(root().c_str(), O_RDONLY | O_DIRECTORY);
  RemoveTreeAt(at, "d");
  close(at);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(built) << "could not make " << deep;
  EXPECT_EQ((deep + "/" + fits).size(), size_t(PATH_MAX - 1)) << "the fixture's boundary";
  EXPECT_EQ(result, 0);
  ASSERT_EQ(rec.visits.size(), static_cast<size_t>(levels) + 2);
  EXPECT_EQ(rec.visits.back(), File(deep + "/" + fits, levels + 1));
}

}  // namespace
